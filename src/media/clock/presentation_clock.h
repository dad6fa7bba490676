#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/clock.h"

namespace sonvale {

// The timer clock estimator's result for one round.
struct ClockEstimate {
  std::int64_t anchor_local_us = 0;
  double offset_us = 0.0;  // server minus local at anchor_local_us
  double rate = 1.0;       // server clock rate against the local clock
  std::int64_t round_trip_us = 0;
  std::uint64_t filtered_samples = 0;
  std::uint64_t fit_history_samples = 0;
};

// What one update of the presentation clock did.
struct ClockUpdate {
  std::int64_t server_minus_local_us = 0;
  std::int64_t target_server_minus_local_us = 0;
  std::int64_t phase_error_us = 0;
  double frequency_ppm = 0.0;
};

// Maps the receiver's monotonic time onto the phone's timer clock. The clock synchronisation
// thread is the only writer of the mapping; the render callback reads it without locking (a
// sequence counter guards the three mapping fields).
class ZeDidiPresentationClock {
 public:
  // `base` is the moment of creation on `clock`'s monotonic time, which the mapping then reads.
  // `clock` is never null.
  static std::shared_ptr<ZeDidiPresentationClock> create(std::shared_ptr<const Clock> clock);

  ClockUpdate update_server_clock(const ClockEstimate& estimate);
  std::optional<std::int64_t> synchronized_server_now_micros() const;
  // The published rate correction: server time runs 1 + ppb / 1e9 times as fast as local time
  // (0 before the first update). Lock-free, for the render callback.
  std::int64_t frequency_ppb() const { return read_mapping().frequency_ppb; }
  void set_time_offset(std::int64_t offset_us);
  std::optional<std::int64_t> time_offset() const;
  bool is_synchronized() const;
  // Whole microseconds since `base`, saturating at the largest signed 64-bit value.
  std::int64_t local_now_us() const;

  explicit ZeDidiPresentationClock(std::shared_ptr<const Clock> clock);

  // The three mapping fields as one consistent read, and a raw publication of them; for tests of
  // the lock-free publication only.
  struct Mapping {
    std::int64_t anchor_local_us = 0;
    std::int64_t server_minus_local_us = 0;
    std::int64_t frequency_ppb = 0;
  };
  Mapping mapping_for_testing() const { return read_mapping(); }
  void publish_for_testing(const Mapping& m) { publish(m); }

 private:
  Mapping read_mapping() const;
  void publish(const Mapping& m);

  std::shared_ptr<const Clock> clock_;
  Clock::time_point base_;
  std::atomic<std::uint64_t> sequence_{0};
  std::atomic<std::int64_t> anchor_local_us_{0};
  std::atomic<std::int64_t> server_minus_local_us_{0};
  std::atomic<std::int64_t> frequency_ppb_{0};
  std::atomic<std::int64_t> time_offset_us_{0};
  std::atomic<bool> synchronized_{false};
  std::atomic<bool> time_offset_known_{false};
};

}  // namespace sonvale
