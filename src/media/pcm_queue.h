#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

namespace sonvale {

// The playout buffer of one native output: 48000 Hz interleaved stereo f32 samples with the
// presentation time (sender media clock, microseconds) of the oldest frame. The whole queue is
// one critical section: every method below requires the caller to hold `mutex()`. The media
// reader locks it (blocking); the render callback only try-locks it.
class PcmQueue {
 public:
  static constexpr std::size_t kMaxSamples = 144000;  // 1.5 s

  static std::shared_ptr<PcmQueue> create();

  std::mutex& mutex() { return mu_; }

  void push_samples(std::span<const float> chunk, std::optional<double> chunk_pts_us);
  void clear();
  // Drops up to `frames` frames from the front, always leaving at least 2; returns how many.
  std::uint64_t drop_frames(std::uint64_t frames);
  // One output frame interpolated at the read position, which then advances by `step`.
  std::pair<float, float> render_stereo(double step);
  std::uint64_t queued_frames() const;

  std::optional<double> head_pts_us() const { return head_pts_us_; }
  double position() const { return position_; }
  bool started() const { return started_; }
  void set_started(bool started) { started_ = started; }

 private:
  std::mutex mu_;
  std::optional<double> head_pts_us_;
  std::deque<float> samples_;
  std::size_t max_samples_ = kMaxSamples;
  double position_ = 0.0;
  bool started_ = false;
};

}  // namespace sonvale
