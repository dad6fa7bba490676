#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/error.h"
#include "core/event_sink.h"
#include "media/audio/audio_host.h"
#include "media/clock/latency_telemetry.h"
#include "media/output/pcm_queue.h"
#include "media/clock/presentation_clock.h"
#include "media/session_context.h"

namespace sonvale {

// A running native output: the queue its render callback drains, the stream itself, and the
// host it was opened on when the output keeps it alive (open_native_output). Destroying it stops
// the stream first (releasing the render state), then drops the queue handle, then the host.
struct NativeOutput {
  std::shared_ptr<audio::AudioHost> host;
  std::shared_ptr<PcmQueue> queue;
  std::unique_ptr<audio::OutputStream> stream;
};

// Opens the output device named by `requested_device` (an id text or a name, ASCII
// case-insensitive; absent for the system default) at 48000 Hz, reports "audio_output_ready",
// and starts a stream whose render callback plays the returned queue. A requested device that
// is not found falls back to the default output after a "sonvale_audio_output_fallback"
// warning. Runs on the media reader's thread; fails with the host's error under a context.
// The render callback plays against the session's parts: it holds while the gate is blocked,
// scales by the receiver's volume, paces by the presentation clock and reports into the
// telemetry and the events.
[[nodiscard]] Result<NativeOutput> open_native_audio_output(
    audio::AudioHost& host, std::optional<std::string> requested_device,
    const SessionShared& shared);

// The media reader's native output: open_native_audio_output on the receiver's audio host,
// which the returned output keeps alive for as long as its stream runs. Called on the reader
// thread; its error ends the reader unchanged.
[[nodiscard]] Result<NativeOutput> open_native_output(const MediaConfig& media,
                                                     std::optional<std::string> device,
                                                     const SessionShared& shared);

// Hands one decoded frame (interleaved stereo f32 at 48000 Hz) with its presentation time to
// the native output's queue: takes the queue's mutex (blocking), pushes, and stores the queued
// frames into the telemetry. Called on the reader thread once per decoded frame.
void push_native_frame(NativeOutput& output, ZeDidiLatencyTelemetry& telemetry,
                       std::span<const float> pcm, std::optional<double> pts_us);

}  // namespace sonvale
