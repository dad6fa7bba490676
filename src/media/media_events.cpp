#include "media/media_events.h"

#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "media/clock/latency_telemetry.h"
#include "media/clock/presentation_clock.h"
#include "media/format/adts.h"

namespace sonvale {
namespace {

constexpr std::string_view kProtocol = "xiaomi_zedidi";

Json float_or_null(float v) {
  if (!std::isfinite(v)) return nullptr;
  return static_cast<double>(v);
}

// The shortest decimal text of a 32-bit float read back as a double, so that the event shows
// 0.1 rather than the double nearest the float (0.10000000149011612).
double float_as_json_number(float x) {
  const std::string text = fmt::format("{}", x);
  return std::strtod(text.c_str(), nullptr);
}

}  // namespace

Json media_connecting_event(const std::string& source) {
  return Json{{"event", "status"},
              {"message", "已连接小米妙播 RTSP 源 " + source},
              {"state", "media_connecting"}};
}

Json media_session_replaced_event(std::uint64_t generation) {
  return Json{{"event", "media_session_replaced"},
              {"media_generation", generation},
              {"protocol", kProtocol}};
}

Json media_channel_closed_event(const RemoteChannelClosed& closed, std::uint64_t generation) {
  return Json{{"event", "media_channel_closed"},
              {"bytes_expected", closed.bytes_expected},
              {"bytes_read", closed.bytes_read},
              {"channel", closed.channel},
              {"media_generation", generation},
              {"outcome", "normal"},
              {"protocol", kProtocol}};
}

Json rtsp_failed_event(std::uint64_t generation, const Error& failure) {
  Json event = error_event("sonvale_rtsp_failed", "小米妙播媒体通道失败：" + failure.to_string());
  event["media_generation"] = generation;
  return event;
}

Json playback_state_event(int raw_state, bool session_active) {
  return Json{{"event", "playback_state"},
              {"raw_state", raw_state},
              {"playing", raw_state == 2},
              {"session_active", session_active}};
}

Json stream_started_event() {
  return Json{{"event", "stream_started"},
              {"source_codec", "aac"},
              {"source_sample_rate", 48000},
              {"source_channels", 2},
              {"source_bits", 16},
              {"transport", "rtp_mpegts_tcp"}};
}

Json stream_stopped_event(std::uint64_t generation) {
  return Json{{"event", "stream_stopped"}, {"source", "xiaomi"}, {"media_generation", generation}};
}

Json presentation_clock_updated_event(std::int64_t offset_us, bool synchronized) {
  return Json{{"event", "presentation_clock_updated"},
              {"protocol", kProtocol},
              {"time_offset_us", offset_us},
              {"clock_synchronized", synchronized}};
}

Json audio_stream_failed_event(const std::optional<std::string>& key_fingerprint,
                               std::uint64_t generation, const Error& failure) {
  Json event =
      error_event("sonvale_audio_stream_failed", "小米妙播音频流失败：" + failure.to_string());
  event["key_fingerprint"] = key_fingerprint ? Json(*key_fingerprint) : Json(nullptr);
  event["media_generation"] = generation;
  return event;
}

Json audio_format_event(std::uint32_t sample_rate, std::uint64_t bitrate, bool encrypted) {
  return Json{{"event", "audio_format"},
              {"codec", "AAC-LC"},
              {"sample_rate", sample_rate},
              {"required_sample_rate", kZeDidiSampleRate},
              {"channels", 2},
              {"bits_per_sample", 16},
              {"bitrate", bitrate},
              {"encrypted", encrypted},
              {"transport", "RTP/MP2T/TCP"}};
}

Json aac_pes_layout_event(std::size_t pes_payload_bytes, std::uint32_t frames_in_pes,
                          std::size_t buffered_adts_bytes) {
  return Json{{"event", "aac_pes_layout"},
              {"protocol", kProtocol},
              {"pes_payload_bytes", pes_payload_bytes},
              {"frames_in_pes", frames_in_pes},
              {"buffered_adts_bytes", buffered_adts_bytes}};
}

Json audio_pcm_decoded_event(const DecodedFrameReport& r) {
  return Json{{"event", "audio_pcm_decoded"},
              {"protocol", kProtocol},
              {"decoded_frames", r.decoded_frames},
              {"adts_frame_bytes", r.adts_frame_bytes},
              {"adts_header_hex", r.adts_header_hex},
              {"aac_payload_prefix_hex", r.aac_payload_prefix_hex},
              {"aac_first_element_id", r.aac_first_element_id},
              {"samples", r.samples},
              {"peak", float_or_null(r.peak)},
              {"rms", float_or_null(r.rms)},
              {"non_silent", r.non_silent}};
}

Json audio_output_fallback_event(const std::string& requested_device) {
  Json event = warning_event("sonvale_audio_output_fallback",
                             "Requested audio output is unavailable; using the system default "
                             "output.");
  event["protocol"] = kProtocol;
  event["requested_device"] = requested_device;
  return event;
}

Json audio_output_ready_event(const OutputReadyReport& r) {
  return Json{{"event", "audio_output_ready"},
              {"protocol", kProtocol},
              {"requested_device", r.requested_device ? Json(*r.requested_device) : Json(nullptr)},
              {"device_name", r.device_name},
              {"device_id", r.device_id},
              {"sample_rate", r.sample_rate},
              {"channels", r.channels},
              {"sample_format", std::string(r.sample_format)}};
}

Json audio_output_failed_event(const std::string& message) {
  return error_event("sonvale_audio_output_failed", "Native audio output error: " + message);
}

Json audio_output_callback_started_event(std::size_t frames, std::size_t channels) {
  return Json{{"event", "audio_output_callback_started"},
              {"protocol", kProtocol},
              {"frames", frames},
              {"channels", channels}};
}

Json audio_synchronization_started_event(const SynchronizationReport& r) {
  return Json{{"event", "audio_synchronization_started"},
              {"protocol", kProtocol},
              {"group_target_delay_ms", 800},
              {"queue_delay_ms", r.queue_delay_ms},
              {"output_latency_ms", r.output_latency_ms},
              {"output_callback_frames", r.output_callback_frames},
              {"output_sample_rate", r.output_sample_rate},
              {"synchronization_mode", std::string(r.synchronization_mode)}};
}

Json audio_output_signal_started_event(float peak) {
  return Json{{"event", "audio_output_signal_started"},
              {"protocol", kProtocol},
              {"peak", float_as_json_number(peak)}};
}

Json pcm_stream_connect_failed_event(const std::string& target, const Error& failure) {
  Json event =
      warning_event("pcm_stream_connect_failed", "PCM stream connect failed: " + failure.to_string());
  event["target"] = target;
  return event;
}

Json pcm_stream_connected_event(const std::string& target) {
  return Json{{"event", "pcm_stream_connected"}, {"target", target}};
}

Json pcm_stream_write_failed_event(const Error& failure) {
  return warning_event("pcm_stream_write_failed",
                       "PCM stream write failed: " + failure.to_string());
}

Json clock_sync_bind_failed_event(const Error& failure) {
  return error_event("sonvale_clock_sync_bind_failed",
                     "小米妙播同步时钟初始化失败：" + failure.to_string());
}

Json clock_sync_connect_failed_event(const Error& failure) {
  return error_event("sonvale_clock_sync_connect_failed",
                     "小米妙播同步时钟连接失败：" + failure.to_string());
}

Json clock_synchronized_event(const std::string& timer_server, const ClockUpdate& update,
                              const ClockEstimate& estimate) {
  return Json{
      {"event", "clock_synchronized"},
      {"protocol", kProtocol},
      {"timer_server", timer_server},
      {"server_minus_local_us", update.server_minus_local_us},
      {"target_server_minus_local_us", update.target_server_minus_local_us},
      {"phase_error_us", update.phase_error_us},
      {"frequency_ppm", update.frequency_ppm},
      {"round_trip_us", estimate.round_trip_us},
      {"filtered_samples", estimate.filtered_samples},
      {"fit_history_samples", estimate.fit_history_samples},
  };
}

Json latency_feedback_started_event(std::uint64_t latency_ms, const LatencySnapshot& snapshot) {
  const double residual = snapshot.arrival_residual_ms;
  return Json{{"event", "latency_feedback_started"},
              {"protocol", kProtocol},
              {"interval_ms", 250},
              {"rtp_clock_hz", 90000},
              {"latency_ms", latency_ms},
              {"bitrate_bps", snapshot.bitrate_bps},
              {"rtp_packet_number", snapshot.highest_sequence},
              {"arrival_residual_ms", std::isfinite(residual) ? Json(residual) : Json(nullptr)}};
}

}  // namespace sonvale
