#include "media/playback_gate.h"

#include <utility>

namespace sonvale {

PlaybackGate PlaybackGate::with_output_suspension(
    std::shared_ptr<std::atomic<bool>> output_suspended, std::shared_ptr<const Clock> clock) {
  PlaybackGate g;
  g.blocked_ = std::make_shared<std::atomic<bool>>(output_suspended->load(std::memory_order_acquire));
  g.remote_paused_ = std::make_shared<std::atomic<bool>>(false);
  g.output_suspended_ = std::move(output_suspended);
  g.resume_grace_until_ = std::make_shared<Grace>();
  g.clock_ = std::move(clock);
  return g;
}

void PlaybackGate::recompute_blocked() const {
  if (remote_paused_->load(std::memory_order_acquire)) {
    blocked_->store(true, std::memory_order_release);
  } else {
    blocked_->store(output_suspended_->load(std::memory_order_acquire), std::memory_order_release);
  }
}

void PlaybackGate::set_paused(bool paused) const {
  remote_paused_->store(paused, std::memory_order_release);
  recompute_blocked();
  std::lock_guard lock(resume_grace_until_->mu);
  if (paused) {
    resume_grace_until_->until = clock_->now() + kResumeGrace;
  } else {
    resume_grace_until_->until.reset();
  }
}

bool PlaybackGate::accepts_weak_resume() const {
  if (output_suspended_->load(std::memory_order_acquire)) return false;
  if (!remote_paused_->load(std::memory_order_acquire)) return true;
  std::lock_guard lock(resume_grace_until_->mu);
  if (resume_grace_until_->until && clock_->now() < *resume_grace_until_->until) return false;
  resume_grace_until_->until.reset();
  bool expected = true;
  const bool exchanged = remote_paused_->compare_exchange_strong(expected, false,
                                                                 std::memory_order_acq_rel);
  if (exchanged) recompute_blocked();
  return exchanged;
}

std::optional<PlaybackGate::time_point> PlaybackGate::resume_grace_until() const {
  std::lock_guard lock(resume_grace_until_->mu);
  return resume_grace_until_->until;
}

}  // namespace sonvale
