#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "core/clock.h"

namespace sonvale {

// The shared pause state of one source. Copies share all four cells and the clock. `blocked` is the only cell
// the audio thread reads, with a single acquire load.
class PlaybackGate {
 public:
  using time_point = Clock::time_point;
  static constexpr std::chrono::nanoseconds kResumeGrace = std::chrono::milliseconds(1500);

  // A new gate whose `blocked` starts as the suspension flag's present value. The resume grace
  // is measured on `clock`.
  static PlaybackGate with_output_suspension(std::shared_ptr<std::atomic<bool>> output_suspended,
                                             std::shared_ptr<const Clock> clock);

  // Records the source's pause state and arms (paused) or clears the weak-resume grace.
  void set_paused(bool paused) const;
  // Whether an inferred resume may clear the pause; clears it when so.
  bool accepts_weak_resume() const;

  bool blocked() const { return blocked_->load(std::memory_order_acquire); }
  bool remote_paused() const { return remote_paused_->load(std::memory_order_acquire); }
  const std::shared_ptr<std::atomic<bool>>& blocked_cell() const { return blocked_; }
  std::optional<time_point> resume_grace_until() const;

  bool shares_cells_with(const PlaybackGate& o) const { return blocked_ == o.blocked_; }

 private:
  struct Grace {
    std::mutex mu;
    std::optional<time_point> until;
  };
  PlaybackGate() = default;
  void recompute_blocked() const;

  std::shared_ptr<std::atomic<bool>> blocked_;
  std::shared_ptr<std::atomic<bool>> remote_paused_;
  std::shared_ptr<std::atomic<bool>> output_suspended_;
  std::shared_ptr<Grace> resume_grace_until_;
  std::shared_ptr<const Clock> clock_;
};

}  // namespace sonvale
