#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/event_sink.h"
#include "core/net.h"
#include "media/session_context.h"
#include "media/stream/reader_loop.h"

namespace sonvale {

// Thread body of "sonvale-image-drain": reads and discards the image connection until it ends or
// fails, then closes it. Reports nothing.
void image_drain_main(Fd image);

// Thread body of "sonvale-audio": runs the media reader and reports how it ended: nothing after
// success, a replaced generation or the session's own shutdown; "media_channel_closed" when the
// phone closed the connection; otherwise one "error" event "sonvale_audio_stream_failed".
void media_reader_main(MediaReaderInputs inputs);

// When `failure` is (beneath any context) a RemoteChannelClosed, emits "media_channel_closed"
// with its details and `generation` and returns true; otherwise emits nothing and returns false.
bool emit_normal_channel_close(const EventSink& events, const Error& failure,
                               std::uint64_t generation);

// Start the two threads detached; a failure to start one is dropped (its connection is closed).
void spawn_image_drain(Fd image);
void spawn_media_reader(MediaReaderInputs inputs);

}  // namespace sonvale
