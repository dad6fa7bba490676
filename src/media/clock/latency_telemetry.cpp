#include "media/clock/latency_telemetry.h"

#include <cmath>
#include <limits>

#include "core/numeric.h"

namespace sonvale {
namespace {

constexpr std::size_t kArrivalWindow = 128;
constexpr auto kByteWindow = std::chrono::seconds(2);
// Packets the bit rate is taken over at most: a peer's packet rate does not size the window.
constexpr std::size_t kByteWindowPackets = 4096;

// Extends a wrapped counter of `bits` bits against the reference R, as RFC 3550 appendix A.1
// does for sequence numbers: a value far below R has wrapped forward, one far above it belongs
// to the previous cycle (when there is one).
std::uint64_t extend(std::uint64_t reference, std::uint64_t value, unsigned bits) {
  const std::uint64_t cycle = std::uint64_t{1} << bits;
  const std::uint64_t half = cycle >> 1;
  const std::uint64_t candidate = (reference & ~(cycle - 1)) | value;
  if (sat_add(candidate, half) < reference) return sat_add(candidate, cycle);
  if (candidate > sat_add(reference, half) && (reference >> bits) != 0) return candidate - cycle;
  return candidate;
}

}  // namespace

void RtpTelemetryState::observe_packet(std::uint16_t sequence, std::uint32_t timestamp,
                                       Instant arrival, std::uint64_t frame_length) {
  const std::uint64_t seq = highest_sequence ? extend(*highest_sequence, sequence, 16) : sequence;
  highest_sequence = highest_sequence ? std::max(*highest_sequence, seq) : seq;
  const std::uint64_t ts = last_timestamp ? extend(*last_timestamp, timestamp, 32) : timestamp;
  last_timestamp = ts;

  if (!first_arrival) first_arrival = arrival;
  const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(arrival - *first_arrival);
  const double ticks = static_cast<double>(since.count()) / 1e9 * 90000.0;

  arrival_window.emplace_back(static_cast<double>(ts), ticks);
  while (arrival_window.size() > kArrivalWindow) arrival_window.pop_front();
  const std::size_t n = arrival_window.size();
  if (n < 2) {
    arrival_residual_ms = 0.0;
  } else {
    double sx = 0.0;
    double sy = 0.0;
    for (const auto& [x, y] : arrival_window) {
      sx += x;
      sy += y;
    }
    const double mx = sx / static_cast<double>(n);
    const double my = sy / static_cast<double>(n);
    double sxx = 0.0;
    double sxy = 0.0;
    for (const auto& [x, y] : arrival_window) {
      sxx += (x - mx) * (x - mx);
      sxy += (x - mx) * (y - my);
    }
    if (std::isfinite(sxx) && sxx > std::numeric_limits<double>::epsilon()) {
      const double slope = sxy / sxx;
      const double intercept = my - slope * mx;
      const auto& [nx, ny] = arrival_window.back();
      arrival_residual_ms = (ny - (intercept + slope * nx)) / 90.0;
    } else {
      arrival_residual_ms = 0.0;
    }
  }

  byte_window.emplace_back(arrival, frame_length);
  window_bytes = sat_add(window_bytes, frame_length);
  bool capped = false;
  while (!byte_window.empty() && (arrival - byte_window.front().first > kByteWindow ||
                                  byte_window.size() > kByteWindowPackets)) {
    capped = capped || byte_window.size() > kByteWindowPackets;
    window_bytes = sat_sub(window_bytes, byte_window.front().second);
    byte_window.pop_front();
  }
  const double span =
      std::chrono::duration<double>(arrival - byte_window.front().first).count();
  // A window cut to its packet bound measures the rate over those packets, however short.
  if (span >= 0.25 || (capped && span > 0.0)) {
    bitrate_bps = round_to_u64(static_cast<double>(window_bytes) * 8.0 / span);
  }
}

std::shared_ptr<ZeDidiLatencyTelemetry> ZeDidiLatencyTelemetry::create() {
  return std::make_shared<ZeDidiLatencyTelemetry>();
}

void ZeDidiLatencyTelemetry::observe_packet(std::uint16_t sequence, std::uint32_t timestamp,
                                            RtpTelemetryState::Instant arrival,
                                            std::uint64_t frame_length) {
  std::lock_guard lock(mu_);
  rtp_state_.observe_packet(sequence, timestamp, arrival, frame_length);
}

std::optional<LatencySnapshot> ZeDidiLatencyTelemetry::snapshot() const {
  std::lock_guard lock(mu_);
  if (!rtp_state_.highest_sequence) return std::nullopt;
  LatencySnapshot s;
  s.highest_sequence = *rtp_state_.highest_sequence;
  s.bitrate_bps = rtp_state_.bitrate_bps;
  s.arrival_residual_ms = rtp_state_.arrival_residual_ms;
  s.queued_frames = queued_frames.load(std::memory_order_acquire);
  s.output_latency_us = output_latency_us.load(std::memory_order_acquire);
  return s;
}

RtpTelemetryState ZeDidiLatencyTelemetry::rtp_state() const {
  std::lock_guard lock(mu_);
  return rtp_state_;
}

}  // namespace sonvale
