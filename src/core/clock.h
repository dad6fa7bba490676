#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

namespace sonvale {

// The time source of every component that measures intervals or stamps wall time. Components
// take a `std::shared_ptr<const Clock>` when they are built, never by default: the receiver's
// start takes `system_clock()` once and hands it to every part, tests pass a fake they advance
// by hand. Implementations are thread-safe.
class Clock {
 public:
  using time_point = std::chrono::steady_clock::time_point;
  using wall_time_point = std::chrono::system_clock::time_point;

  virtual ~Clock() = default;
  // Monotonic time: instants, deadlines and intervals.
  virtual time_point now() const = 0;
  // Wall-clock time, for values that a peer reads as a date.
  virtual wall_time_point wall_now() const = 0;
};

// Milliseconds since the Unix epoch (whole seconds times 1000 plus the sub-second part); 0 for an
// instant before the epoch.
inline std::uint64_t unix_millis(Clock::wall_time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  return ms < 0 ? 0 : static_cast<std::uint64_t>(ms);
}

// The process's real clocks (`std::chrono::steady_clock` and `system_clock`). Never null; the
// same object for the whole process.
const std::shared_ptr<const Clock>& system_clock();

}  // namespace sonvale
