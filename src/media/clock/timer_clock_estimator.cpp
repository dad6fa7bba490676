#include "media/clock/timer_clock_estimator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/numeric.h"

namespace sonvale {
namespace {

// Keeps k values starting at s of the sorted offsets: with five or fewer the largest is dropped (a
// single value is kept); from six on the middle half, one more dropped from the top than from the
// bottom when the split is uneven. The sum is exact; the mean truncates toward zero and, being a
// mean of 64-bit values, fits 64 bits.
std::int64_t trimmed_mean(std::vector<std::int64_t> offsets) {
  std::sort(offsets.begin(), offsets.end());
  const std::size_t n = offsets.size();
  const std::size_t k = n >= 6 ? n / 2 : std::max<std::size_t>(n - 1, 1);
  const std::size_t s = (n - k) / 2;
  Int128 sum = 0;
  for (std::size_t i = s; i < s + k; ++i) sum += offsets[i];
  return static_cast<std::int64_t>(sum / static_cast<Int128>(k));
}

}  // namespace

std::optional<ClockEstimate> TimerClockEstimator::observe_round(
    std::span<const TimerSample> round) {
  if (round.empty()) return std::nullopt;

  for (const TimerSample& sample : round) {
    if (sample_window_.size() >= kSampleWindow) sample_window_.pop_front();
    sample_window_.push_back(sample);
  }
  std::int64_t fastest = sample_window_.front().round_trip_us;
  for (const TimerSample& sample : sample_window_) {
    fastest = std::min(fastest, sample.round_trip_us);
  }
  const std::int64_t admitted = sat_add(fastest, kRoundTripMarginUs);
  std::vector<std::int64_t> offsets;
  offsets.reserve(sample_window_.size());
  for (const TimerSample& sample : sample_window_) {
    if (sample.round_trip_us <= admitted) offsets.push_back(sample.offset_us);
  }
  const std::int64_t filtered = trimmed_mean(std::move(offsets));

  // The first of the round's samples with the smallest round trip.
  const TimerSample* best = &round.front();
  for (const TimerSample& sample : round) {
    if (sample.round_trip_us < best->round_trip_us) best = &sample;
  }

  fit_history_.push_back(ClockFitPoint{best->local_mid_us, filtered});
  while (fit_history_.size() > kFitHistory) fit_history_.pop_front();

  const ClockFitPoint& newest = fit_history_.back();
  const std::size_t m = fit_history_.size();
  const std::int64_t span = sat_sub(newest.local_us, fit_history_.front().local_us);

  double offset = static_cast<double>(newest.offset_us);
  double rate = 1.0;
  if (m >= kMinFitPoints && span >= kMinFitSpanUs) {
    // Least squares with x measured from the newest point, so the line's value at x = 0 is the
    // offset at the anchor.
    const double count = static_cast<double>(m);
    double sum_x = 0.0;
    double sum_y = 0.0;
    for (const ClockFitPoint& p : fit_history_) {
      sum_x += static_cast<double>(sat_sub(p.local_us, newest.local_us));
      sum_y += static_cast<double>(p.offset_us);
    }
    const double mean_x = sum_x / count;
    const double mean_y = sum_y / count;
    double sxx = 0.0;
    double sxy = 0.0;
    for (const ClockFitPoint& p : fit_history_) {
      const double dx = static_cast<double>(sat_sub(p.local_us, newest.local_us)) - mean_x;
      const double dy = static_cast<double>(p.offset_us) - mean_y;
      sxx += dx * dx;
      sxy += dx * dy;
    }
    if (std::isfinite(sxx) && sxx > std::numeric_limits<double>::epsilon()) {
      const double slope = std::clamp(sxy / sxx, -kMaxSlope, kMaxSlope);
      offset = mean_y - mean_x * slope;
      rate = 1.0 + slope;
    }
  }

  return ClockEstimate{
      .anchor_local_us = newest.local_us,
      .offset_us = offset,
      .rate = rate,
      .round_trip_us = best->round_trip_us,
      .filtered_samples = sample_window_.size(),
      .fit_history_samples = m,
  };
}

}  // namespace sonvale
