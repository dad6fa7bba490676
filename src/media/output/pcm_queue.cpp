#include "media/output/pcm_queue.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sonvale {

std::shared_ptr<PcmQueue> PcmQueue::create() { return std::make_shared<PcmQueue>(kMaxSamples); }

PcmQueue::PcmQueue(std::size_t reserve) : ring_(std::max<std::size_t>(reserve, 4)) {}

void PcmQueue::advance_head_time(std::size_t removed_samples) {
  if (head_pts_us_) *head_pts_us_ += static_cast<double>(removed_samples / 2) * kFrameUs;
}

void PcmQueue::pop_front(std::size_t samples) {
  samples = std::min(samples, size_);
  head_ += samples;
  if (head_ >= ring_.size()) head_ -= ring_.size();
  size_ -= samples;
  if (size_ == 0) head_ = 0;
}

void PcmQueue::append(std::span<const float> chunk) {
  if (size_ + chunk.size() > ring_.size()) {
    // Only a chunk larger than the bound gets here; the ring grows once and keeps its order.
    std::vector<float> grown(size_ + chunk.size());
    for (std::size_t i = 0; i < size_; ++i) grown[i] = at(i);
    ring_ = std::move(grown);
    head_ = 0;
  }
  std::size_t tail = head_ + size_;
  if (tail >= ring_.size()) tail -= ring_.size();
  const std::size_t first = std::min(chunk.size(), ring_.size() - tail);
  std::copy_n(chunk.begin(), first, ring_.begin() + static_cast<std::ptrdiff_t>(tail));
  std::copy(chunk.begin() + static_cast<std::ptrdiff_t>(first), chunk.end(), ring_.begin());
  size_ += chunk.size();
}

void PcmQueue::push_samples(std::span<const float> chunk, std::optional<double> chunk_pts_us) {
  if (chunk.size() < 2) return;
  bool restarted = false;
  if (head_pts_us_ && chunk_pts_us) {
    const double expected = *head_pts_us_ + static_cast<double>(queued_frames()) * kFrameUs;
    if (std::abs(*chunk_pts_us - expected) > 100000.0) {
      clear();
      head_pts_us_ = chunk_pts_us;
      restarted = true;
    }
  }
  if (!restarted) {
    if (size_ == 0) {
      head_pts_us_ = chunk_pts_us;
    } else if (!head_pts_us_ && chunk_pts_us) {
      head_pts_us_ = *chunk_pts_us - static_cast<double>(queued_frames()) * kFrameUs;
    }
  }
  std::size_t total = size_;
  if (__builtin_add_overflow(total, chunk.size(), &total)) {
    total = std::numeric_limits<std::size_t>::max();
  }
  if (total > max_samples_) {
    std::size_t excess = total - max_samples_;
    if (excess % 2 != 0) ++excess;
    const std::size_t removed = std::min(size_, excess);
    pop_front(removed);
    advance_head_time(removed);
  }
  append(chunk);
}

void PcmQueue::clear() {
  head_ = 0;
  size_ = 0;
  head_pts_us_.reset();
  position_ = 0.0;
  started_ = false;
}

std::uint64_t PcmQueue::drop_frames(std::uint64_t frames) {
  std::uint64_t requested = 0;
  if (__builtin_mul_overflow(frames, std::uint64_t{2}, &requested)) {
    requested = std::numeric_limits<std::uint64_t>::max();
  }
  const std::uint64_t removable = size_ >= 4 ? size_ - 4 : 0;
  const auto dropped = static_cast<std::size_t>(std::min(requested, removable));
  pop_front(dropped);
  advance_head_time(dropped);
  return dropped / 2;
}

std::pair<float, float> PcmQueue::render_stereo(double step) {
  if (size_ < 4) {
    started_ = false;
    position_ = 0.0;
    return {0.0f, 0.0f};
  }
  const float l0 = at(0), r0 = at(1), l1 = at(2), r1 = at(3);
  const auto p = static_cast<float>(position_);
  const std::pair<float, float> out{l0 + (l1 - l0) * p, r0 + (r1 - r0) * p};
  if (!(step > 0.0)) step = 0.0;  // negative and not-a-number steps read nothing
  position_ += step;
  if (position_ >= 1.0) {
    // Bounded by the queue anyway: everything past the queued frames is clamped below.
    const double whole = std::floor(position_);
    const double max_frames = static_cast<double>(size_);
    const auto n = static_cast<std::size_t>(std::min(whole, max_frames));
    std::size_t want = 0;
    if (__builtin_mul_overflow(n, std::size_t{2}, &want)) want = std::numeric_limits<std::size_t>::max();
    const std::size_t drop = std::min(want, size_ - 2);
    pop_front(drop);
    advance_head_time(drop);
    position_ -= static_cast<double>(drop / 2);
  }
  return out;
}

}  // namespace sonvale
