#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "media/aac_player.h"
#include "media/latency_telemetry.h"
#include "media/presentation_clock.h"
#include "media/stream_keys.h"

namespace sonvale {

// `run_media_reader` with the outputs it opens given by the caller. Runs on the reader thread
// until the media generation moves on (success) or a failure ends it: a framing or RTP error, a
// read failure or the phone's close of the connection, or a decoding error.
[[nodiscard]] Result<> run_media_reader_with(
    const ReaderOutputs& outputs, Fd audio, std::optional<StreamKeys> keys,
    std::optional<std::string> output_device, std::shared_ptr<std::atomic<bool>> blocked,
    std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
    std::shared_ptr<ZeDidiPresentationClock> clock,
    std::shared_ptr<ZeDidiLatencyTelemetry> telemetry, std::uint64_t generation,
    std::shared_ptr<std::atomic<std::uint64_t>> media_generation, EventSink events);

}  // namespace sonvale
