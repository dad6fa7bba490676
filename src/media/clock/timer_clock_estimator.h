#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>

#include "media/clock/presentation_clock.h"

namespace sonvale {

// One accepted timer exchange. Times are local microseconds as the presentation clock counts them.
struct TimerSample {
  std::int64_t local_mid_us = 0;   // half way between sending the request and reading the reply
  std::int64_t offset_us = 0;      // measured server time minus local time
  std::int64_t round_trip_us = 0;  // round trip less the time the server held the request

  friend bool operator==(const TimerSample&, const TimerSample&) = default;
};

// One point of the rate fit: a round's filtered offset at the local time of its best sample.
struct ClockFitPoint {
  std::int64_t local_us = 0;
  std::int64_t offset_us = 0;

  friend bool operator==(const ClockFitPoint&, const ClockFitPoint&) = default;
};

// Turns rounds of timer samples into estimates of the server clock against the local clock: a
// trimmed mean of the latest offsets of the exchanges that were about as fast as the fastest, and a
// least-squares rate over the history of filtered points once that history is long enough in count
// and in time. Owned by one clock synchronisation thread; not thread-safe. Does no I/O and reads no
// clock.
class TimerClockEstimator {
 public:
  static constexpr std::size_t kSampleWindow = 10;
  static constexpr std::size_t kFitHistory = 32;
  // The fit is used only with at least this many points spanning at least this long.
  static constexpr std::size_t kMinFitPoints = 20;
  static constexpr std::int64_t kMinFitSpanUs = 5'000'000;
  // Fitted slopes are clamped to ±500 ppm.
  static constexpr double kMaxSlope = 0.0005;
  // An exchange's offset is off by half the difference of its two one-way delays, which only a
  // slow exchange can make large: a reply held up on its way back by 5 ms reads the server 2.5 ms
  // behind. The offsets filtered are those of the window's samples whose round trip is at most
  // this much above the window's smallest, so a delay on one leg can move them at most half of it
  // further than the fastest exchange.
  static constexpr std::int64_t kRoundTripMarginUs = 500;

  TimerClockEstimator() = default;

  // Adds one round's samples (in the order they were taken) and returns the new estimate. A round
  // without samples changes nothing and yields no estimate.
  std::optional<ClockEstimate> observe_round(std::span<const TimerSample> round);

  const std::deque<TimerSample>& sample_window() const { return sample_window_; }
  const std::deque<ClockFitPoint>& fit_history() const { return fit_history_; }

 private:
  std::deque<TimerSample> sample_window_;
  std::deque<ClockFitPoint> fit_history_;
};

}  // namespace sonvale
