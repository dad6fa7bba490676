#pragma once

// The events that report what a phone says over its control session: volume, playback state,
// media information and the casting source's name. Each emits at most one event.

#include <cstdint>

#include "core/bytes.h"
#include "core/event_sink.h"

namespace sonvale {

void emit_volume(std::uint32_t percent, const EventSink& events);
void emit_playback(bool playing, const EventSink& events);
// Nothing when the payload holds no JSON.
void emit_media_info(ByteSpan payload, const EventSink& events);
// Nothing unless the payload is JSON with a string "sourceName".
void emit_source_info(ByteSpan payload, const EventSink& events);

// The "media_info" event of a payload, or nothing; emit_media_info sends it.
std::optional<Json> media_info_event(ByteSpan payload);

}  // namespace sonvale
