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
#include "media/latency_telemetry.h"
#include "media/pcm_queue.h"
#include "media/presentation_clock.h"

namespace sonvale {

// The running native output of one media reader: the playout queue its render callback drains
// and the handle that keeps the device stream running (dropping it stops the output).
struct NativeOutput {
  std::shared_ptr<PcmQueue> queue;
  std::shared_ptr<void> stream;
};

// Opens the native output on `device` (the system default when absent) for one reader run.
// Called on the reader thread; its error ends the reader unchanged.
[[nodiscard]] Result<NativeOutput> open_native_output(
    std::optional<std::string> device, std::shared_ptr<std::atomic<bool>> blocked,
    std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
    std::shared_ptr<ZeDidiPresentationClock> clock,
    std::shared_ptr<ZeDidiLatencyTelemetry> telemetry, EventSink events);

// Test seam: every later `open_native_output` of this process opens its device on `host`
// instead of the platform's default host (null restores the default). The host is kept alive
// for as long as any stream opened on it. Meant for test executables, which call it before any
// media session starts; the receiver itself never does.
void set_native_audio_host_for_testing(std::shared_ptr<audio::AudioHost> host);

// Hands one decoded frame (interleaved stereo f32 at 48000 Hz) with its presentation time to
// the native output's queue: takes the queue's mutex (blocking), pushes, and stores the queued
// frames into the telemetry. Called on the reader thread once per decoded frame.
void push_native_frame(NativeOutput& output, ZeDidiLatencyTelemetry& telemetry,
                       std::span<const float> pcm, std::optional<double> pts_us);

}  // namespace sonvale
