#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace sonvale {

// Per-packet RTP arrival statistics of one media session.
struct RtpTelemetryState {
  using Instant = std::chrono::steady_clock::time_point;

  std::optional<std::uint64_t> highest_sequence;  // extended, never moves backwards
  std::optional<std::uint64_t> last_timestamp;    // extended, of the latest packet
  std::deque<std::pair<double, double>> arrival_window;       // (timestamp, arrival ticks), <= 128
  std::deque<std::pair<Instant, std::uint64_t>> byte_window;  // (arrival, frame length), last 2 s, <= 4096
  std::optional<Instant> first_arrival;
  std::uint64_t window_bytes = 0;
  std::uint64_t bitrate_bps = 0;
  double arrival_residual_ms = 0.0;

  // `frame_length` is the '$' frame's length L (the whole RTP packet).
  void observe_packet(std::uint16_t sequence, std::uint32_t timestamp, Instant arrival,
                      std::uint64_t frame_length);
};

// What one latency feedback report is made of.
struct LatencySnapshot {
  std::uint64_t highest_sequence = 0;
  std::uint64_t bitrate_bps = 0;
  double arrival_residual_ms = 0.0;
  std::uint64_t queued_frames = 0;
  std::uint64_t output_latency_us = 0;
};

// The shared record from which the latency feedback is made. Written by the media reader (RTP
// statistics, queued frames) and the render callback (queued frames, output latency); read by the
// RTSP session thread.
class ZeDidiLatencyTelemetry {
 public:
  static std::shared_ptr<ZeDidiLatencyTelemetry> create();

  // Takes the mutex and records one RTP packet.
  void observe_packet(std::uint16_t sequence, std::uint32_t timestamp,
                      RtpTelemetryState::Instant arrival, std::uint64_t frame_length);
  // Absent until the first packet has been observed.
  std::optional<LatencySnapshot> snapshot() const;
  // A copy of the RTP statistics, for tests and diagnostics.
  RtpTelemetryState rtp_state() const;

  // Stereo frames in the playout queue at the last store; release stores, acquire loads.
  std::atomic<std::uint64_t> queued_frames{0};
  // The render callback's smoothed output latency in microseconds, 0 while unknown.
  std::atomic<std::uint64_t> output_latency_us{0};

 private:
  mutable std::mutex mu_;
  RtpTelemetryState rtp_state_;
};

}  // namespace sonvale
