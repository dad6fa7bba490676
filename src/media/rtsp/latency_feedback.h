#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/event_sink.h"
#include "media/clock/latency_telemetry.h"
#include "media/session_context.h"

namespace sonvale {

// Tells the phone, four times a second, the receiver's playout latency, the received bit rate and
// the highest RTP sequence number seen, as VIDEO_LATENCY requests on the RTSP connection.
inline constexpr std::chrono::milliseconds kLatencyFeedbackInterval{250};
inline constexpr std::uint32_t kFirstLatencyFeedbackCseq = 1000;

// Playout latency in whole milliseconds (rounded, halves up) of `queued_frames` stereo frames at
// 48000 Hz plus `output_latency_us`; every step saturates and the result is capped at 2^32 - 1.
std::uint64_t latency_feedback_ms(std::uint64_t queued_frames, std::uint64_t output_latency_us);

std::string format_video_latency_request(std::uint32_t cseq, std::uint64_t latency_ms,
                                         std::uint64_t bitrate_bps,
                                         std::uint64_t rtp_packet_number);

// The feedback state of one RTSP session, driven by the session thread alone.
class LatencyFeedback {
 public:
  using Instant = std::chrono::steady_clock::time_point;

  explicit LatencyFeedback(Instant session_start)
      : deadline_(session_start + kLatencyFeedbackInterval) {}

  // One step, run first thing in every pass of the session loop with the instant the pass began.
  // Writes a request when `session_id` is non-empty, the deadline has passed and the telemetry
  // has seen a packet; re-arms the deadline from `now` whenever an attempt was due. The write is
  // given up when `token` is no longer current (see write_rtsp). A failed write carries "write
  // ZeDidi VIDEO_LATENCY feedback".
  [[nodiscard]] Result<> step(int fd, const SessionToken& token, Instant now,
                              const std::string& session_id,
                              const ZeDidiLatencyTelemetry& telemetry, const EventSink& events);

  Instant deadline() const { return deadline_; }
  std::uint32_t next_cseq() const { return cseq_; }

 private:
  Instant deadline_;
  std::uint32_t cseq_ = kFirstLatencyFeedbackCseq;
  bool announced_ = false;
};

}  // namespace sonvale
