#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/event_sink.h"
#include "media/audio/audio_host.h"
#include "media/clock/latency_telemetry.h"
#include "media/output/pcm_queue.h"
#include "media/clock/presentation_clock.h"
#include "media/session_context.h"

namespace sonvale {

// The render state of one native output stream. Created with the stream, before it starts, and
// owned by the stream's data callback: only the audio thread touches the plain fields.
struct RenderState {
  // The session's parts the callback reads: the gate (silence while it is blocked), the
  // receiver's volume, the presentation clock, the telemetry and the events.
  SessionShared session;
  std::shared_ptr<PcmQueue> queue;
  std::size_t channels = 2;
  std::uint32_t output_sample_rate = 48000;
  double output_latency_ms = 0.0;
  double base_step = 1.0;
  std::uint32_t latency_countdown = 0;
  bool latency_known = false;
  bool clock_locked = false;
  // Set by the first callback that reports the stream's start, its synchronisation and its
  // first audible signal.
  bool callback_reported = false;
  bool sync_reported = false;
  bool signal_reported = false;
};

// Queue depth that buffer-window pacing holds, for a given output latency.
std::uint64_t target_frames_for_latency(double output_latency_ms);

// Device sample conversions of a float sample.
std::int16_t f32_to_i16(float x);
std::uint16_t f32_to_u16(float x);

// The data callback of a native output stream, one instance per device sample type. Fills the
// whole buffer from the queue, paced against the phone's clock ("sender_clock") or towards a
// target queue depth ("buffer_window"). Never waits for the queue's lock (it renders silence
// when the media reader holds it) and never calls the event sink while holding that lock.
void render_callback(RenderState& state, std::span<float> buffer,
                     const audio::OutputTimestamp& timestamp);
void render_callback(RenderState& state, std::span<std::int16_t> buffer,
                     const audio::OutputTimestamp& timestamp);
void render_callback(RenderState& state, std::span<std::uint16_t> buffer,
                     const audio::OutputTimestamp& timestamp);

}  // namespace sonvale
