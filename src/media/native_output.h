#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/event_sink.h"
#include "media/audio/audio_host.h"
#include "media/latency_telemetry.h"
#include "media/pcm_queue.h"
#include "media/presentation_clock.h"

namespace sonvale {

// A running native output: the queue its render callback drains and the stream itself.
// Destroying it stops the stream first (releasing the render state), then the queue handle.
struct NativeAudioOutput {
  std::shared_ptr<PcmQueue> queue;
  std::unique_ptr<audio::OutputStream> stream;
};

// Opens the output device named by `requested_device` (an id text or a name, ASCII
// case-insensitive; absent for the system default) at 48000 Hz, reports "audio_output_ready",
// and starts a stream whose render callback plays the returned queue. A requested device that
// is not found falls back to the default output after a "sonvale_audio_output_fallback"
// warning. Runs on the media reader's thread; fails with the host's error under a context.
[[nodiscard]] Result<NativeAudioOutput> open_native_audio_output(
    audio::AudioHost& host, std::optional<std::string> requested_device,
    std::shared_ptr<std::atomic<bool>> blocked,
    std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
    std::shared_ptr<ZeDidiPresentationClock> clock,
    std::shared_ptr<ZeDidiLatencyTelemetry> telemetry, EventSink events);

// The same on the platform's default audio host.
[[nodiscard]] Result<NativeAudioOutput> open_native_audio_output(
    std::optional<std::string> requested_device, std::shared_ptr<std::atomic<bool>> blocked,
    std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
    std::shared_ptr<ZeDidiPresentationClock> clock,
    std::shared_ptr<ZeDidiLatencyTelemetry> telemetry, EventSink events);

// ASCII case-insensitive equality: same length, A-Z folded onto a-z, every other byte as is.
bool ascii_iequal(std::string_view a, std::string_view b);

}  // namespace sonvale
