#pragma once

// The events that report what a phone says over its control session: volume, playback state,
// media information and the casting source's name. Each emits at most one event.

#include <cstdint>
#include <optional>

#include "core/bytes.h"
#include "core/event_sink.h"
#include "protocol/control_payloads.h"

namespace sonvale {

void emit_volume(std::uint32_t percent, const EventSink& events);
void emit_playback(bool playing, const EventSink& events);
// Nothing when the report held no media information.
void emit_media_info(const std::optional<MediaInfo>& info, const EventSink& events);
// Nothing unless the payload is JSON with a string "sourceName".
void emit_source_info(ByteSpan payload, const EventSink& events,
                      const ByteBudget* shared = nullptr);

// The "media_info" event of a report; emit_media_info sends it.
Json media_info_event(const MediaInfo& info);

}  // namespace sonvale
