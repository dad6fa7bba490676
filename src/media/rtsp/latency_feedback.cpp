#include "media/rtsp/latency_feedback.h"

#include <cmath>
#include <limits>

#include "core/net.h"
#include "media/media_events.h"
#include "media/rtsp/rtsp_transport.h"

namespace sonvale {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_mul_overflow(a, b, &r) ? kMax : r;
}

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_add_overflow(a, b, &r) ? kMax : r;
}

}  // namespace

std::uint64_t latency_feedback_ms(std::uint64_t queued_frames, std::uint64_t output_latency_us) {
  const std::uint64_t queue_us = sat_mul(queued_frames, 1'000'000) / 48'000;
  const std::uint64_t total_us = sat_add(output_latency_us, queue_us);
  const std::uint64_t ms = sat_add(total_us, 500) / 1000;
  return std::min<std::uint64_t>(ms, std::numeric_limits<std::uint32_t>::max());
}

std::string format_video_latency_request(std::uint32_t cseq, std::uint64_t latency_ms,
                                         std::uint64_t bitrate_bps,
                                         std::uint64_t rtp_packet_number) {
  const std::string lines =
      "Content-Type: text/parameters\r\nlatency:" + std::to_string(latency_ms) +
      "\r\nbitrate:" + std::to_string(bitrate_bps) +
      "\r\nrtpPacketNum:" + std::to_string(rtp_packet_number) + "\r\nContent-Length:0\r\n";
  return format_rtsp_request("VIDEO_LATENCY", "rtsp://localhost/wfd1.0", cseq, lines);
}

Result<> LatencyFeedback::step(int fd, const SessionToken& token, Instant now,
                               const std::string& session_id,
                               const ZeDidiLatencyTelemetry& telemetry, const EventSink& events) {
  if (session_id.empty() || now < deadline_) return {};
  deadline_ = now + kLatencyFeedbackInterval;
  const std::optional<LatencySnapshot> snap = telemetry.snapshot();
  if (!snap) return {};

  const std::uint64_t latency_ms =
      latency_feedback_ms(snap->queued_frames, snap->output_latency_us);
  const std::string request =
      format_video_latency_request(cseq_, latency_ms, snap->bitrate_bps, snap->highest_sequence);
  SV_TRY(with_context(write_rtsp(fd, request, token), "write ZeDidi VIDEO_LATENCY feedback"));
  ++cseq_;
  if (!announced_) {
    announced_ = true;
    events(latency_feedback_started_event(latency_ms, *snap));
  }
  return {};
}

}  // namespace sonvale
