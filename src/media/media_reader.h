#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "media/latency_telemetry.h"
#include "media/presentation_clock.h"
#include "media/stream_keys.h"

namespace sonvale {

// The media reader of one audio data connection: reads the '$'-framed RTP packets, demultiplexes
// and decrypts the audio, decodes it and hands it to the chosen output. Returns success when it
// stopped because the media generation moved on, otherwise the failure that ended it. The
// connection is owned by the reader and shut down and closed when it returns, however it ends.
[[nodiscard]] Result<> run_media_reader(
    Fd audio, std::optional<StreamKeys> keys, std::optional<std::string> output_device,
    std::shared_ptr<std::atomic<bool>> blocked,
    std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
    std::shared_ptr<ZeDidiPresentationClock> clock,
    std::shared_ptr<ZeDidiLatencyTelemetry> telemetry, std::uint64_t generation,
    std::shared_ptr<std::atomic<std::uint64_t>> media_generation, EventSink events);

}  // namespace sonvale
