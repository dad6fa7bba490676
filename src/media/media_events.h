#pragma once

// Every event the media pipeline emits, as builders of the event object: the RTSP session, the
// media reader and its player, the outputs, the clock synchronisation and the latency feedback.
// Each returns the event and emits nothing; the caller hands it to its sink (the render callback
// builds under the queue's lock and emits after releasing it). Depends on core only.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/event_sink.h"
#include "media/media_error.h"

namespace sonvale {

struct ClockEstimate;
struct ClockUpdate;
struct LatencySnapshot;

// The RTSP session.
Json media_connecting_event(const std::string& source);
Json media_session_replaced_event(std::uint64_t generation);
// The phone closed a media connection in an orderly way.
Json media_channel_closed_event(const RemoteChannelClosed& closed, std::uint64_t generation);
Json rtsp_failed_event(std::uint64_t generation, const Error& failure);
// 2 playing, 3 paused, 4 ended; `session_active` is false only at the session's failure.
Json playback_state_event(int raw_state, bool session_active);
Json stream_started_event();
Json stream_stopped_event(std::uint64_t generation);
Json presentation_clock_updated_event(std::int64_t offset_us, bool synchronized);

// The media reader and its player.
Json audio_stream_failed_event(const std::optional<std::string>& key_fingerprint,
                               std::uint64_t generation, const Error& failure);
Json audio_format_event(std::uint32_t sample_rate, std::uint64_t bitrate, bool encrypted);
Json aac_pes_layout_event(std::size_t pes_payload_bytes, std::uint32_t frames_in_pes,
                          std::size_t buffered_adts_bytes);
// What "audio_pcm_decoded" reports of one decoded frame.
struct DecodedFrameReport {
  std::uint64_t decoded_frames = 0;
  std::size_t adts_frame_bytes = 0;
  std::string adts_header_hex;
  std::string aac_payload_prefix_hex;
  std::uint8_t aac_first_element_id = 0;
  std::size_t samples = 0;
  float peak = 0.0f;  // a non-finite level is reported as null
  float rms = 0.0f;
  bool non_silent = false;
};
Json audio_pcm_decoded_event(const DecodedFrameReport& report);

// The native output.
Json audio_output_fallback_event(const std::string& requested_device);
struct OutputReadyReport {
  std::optional<std::string> requested_device;
  std::string device_name;
  std::string device_id;
  std::uint32_t sample_rate = 0;
  std::uint16_t channels = 0;
  std::string_view sample_format;
};
Json audio_output_ready_event(const OutputReadyReport& report);
Json audio_output_failed_event(const std::string& message);
Json audio_output_callback_started_event(std::size_t frames, std::size_t channels);
struct SynchronizationReport {
  double queue_delay_ms = 0.0;
  double output_latency_ms = 0.0;
  std::size_t output_callback_frames = 0;
  std::uint32_t output_sample_rate = 0;
  std::string_view synchronization_mode;
};
Json audio_synchronization_started_event(const SynchronizationReport& report);
// `peak` is shown as the shortest decimal text of the float.
Json audio_output_signal_started_event(float peak);

// The PCM stream.
Json pcm_stream_connect_failed_event(const std::string& target, const Error& failure);
Json pcm_stream_connected_event(const std::string& target);
Json pcm_stream_write_failed_event(const Error& failure);

// The clock synchronisation and the latency feedback.
Json clock_sync_bind_failed_event(const Error& failure);
Json clock_sync_connect_failed_event(const Error& failure);
Json clock_synchronized_event(const std::string& timer_server, const ClockUpdate& update,
                              const ClockEstimate& estimate);
Json latency_feedback_started_event(std::uint64_t latency_ms, const LatencySnapshot& snapshot);

}  // namespace sonvale
