#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "core/clock.h"

namespace sonvale::testing {

// A clock that moves only when the test advances it. Both readings start at fixed, arbitrary
// instants and advance together. Safe to read from any thread while a test advances it.
class FakeClock final : public Clock {
 public:
  FakeClock() = default;

  time_point now() const override {
    return time_point(std::chrono::nanoseconds(kSteadyStart + offset_ns_.load()));
  }
  wall_time_point wall_now() const override {
    return wall_time_point(std::chrono::duration_cast<wall_time_point::duration>(
        std::chrono::nanoseconds(kWallStart + wall_shift_ns_.load() + offset_ns_.load())));
  }

  template <class Rep, class Period>
  void advance(std::chrono::duration<Rep, Period> d) {
    offset_ns_ += std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  }
  // Sets the wall reading to `t`; steady time is unaffected, and both go on advancing together.
  void set_wall(wall_time_point t) {
    wall_shift_ns_ =
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count() -
        kWallStart - offset_ns_.load();
  }

 private:
  // 1000 s after an arbitrary epoch, so instants computed "before" the start stay positive.
  static constexpr long long kSteadyStart = 1'000'000'000'000LL;
  // 2026-01-01T00:00:00Z.
  static constexpr long long kWallStart = 1'767'225'600'000'000'000LL;
  std::atomic<long long> offset_ns_{0};
  std::atomic<long long> wall_shift_ns_{0};
};

inline std::shared_ptr<FakeClock> make_fake_clock() { return std::make_shared<FakeClock>(); }

}  // namespace sonvale::testing
