#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace sonvale {

// The playout buffer of one native output: 48000 Hz interleaved stereo f32 samples with the
// presentation time (sender media clock, microseconds) of the oldest frame. The whole queue is
// one critical section: every method below requires the caller to hold `mutex()`. The media
// reader locks it (blocking); the render callback only try-locks it.
class PcmQueue {
 public:
  static constexpr std::size_t kMaxSamples = 144000;  // 1.5 s
  static constexpr double kFrameUs = 1000000.0 / 48000.0;

  // An empty queue with room for kMaxSamples reserved, so pushes in normal operation never
  // allocate.
  static std::shared_ptr<PcmQueue> create();

  std::mutex& mutex() { return mu_; }

  // Appends one chunk of interleaved stereo samples whose first frame is due at `chunk_pts_us`.
  // A time more than 100 ms away from the end of the queued audio clears the queue first; the
  // oldest audio is dropped in whole frames to stay within kMaxSamples.
  void push_samples(std::span<const float> chunk, std::optional<double> chunk_pts_us);
  void clear();
  // Drops up to `frames` frames from the front, always leaving at least 2; returns how many.
  std::uint64_t drop_frames(std::uint64_t frames);
  // One output frame interpolated at the read position, which then advances by `step`.
  std::pair<float, float> render_stereo(double step);
  std::uint64_t queued_frames() const { return size_ / 2; }
  std::size_t queued_samples() const { return size_; }

  std::optional<double> head_pts_us() const { return head_pts_us_; }
  double position() const { return position_; }
  bool started() const { return started_; }
  void set_started(bool started) { started_ = started; }

  explicit PcmQueue(std::size_t reserve);

 private:
  // Ring of samples: `size_` samples starting at `head_`, wrapping at `ring_.size()`.
  float at(std::size_t i) const {
    std::size_t idx = head_ + i;
    if (idx >= ring_.size()) idx -= ring_.size();
    return ring_[idx];
  }
  void pop_front(std::size_t samples);
  void append(std::span<const float> chunk);
  void advance_head_time(std::size_t removed_samples);

  std::mutex mu_;
  std::optional<double> head_pts_us_;
  std::vector<float> ring_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::size_t max_samples_ = kMaxSamples;
  double position_ = 0.0;
  bool started_ = false;
};

}  // namespace sonvale
