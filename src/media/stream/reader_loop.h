#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "media/stream/aac_player.h"
#include "media/session_context.h"

namespace sonvale {

// What the RTSP session hands to the media reader thread of its audio data connection.
struct MediaReaderInputs {
  Fd audio;  // owned by the reader from now on
  MediaSessionContext session;
};

// The media reader of one audio data connection: reads the '$'-framed RTP packets, demultiplexes
// and decrypts the audio, decodes it and hands it to the output the media configuration chose.
// Runs on the reader thread until the session token is no longer current (success) or a failure
// ends it: a framing or RTP error, a read failure or the phone's close of the connection, or a
// decoding error. The connection is owned by the reader and shut down and closed when it
// returns, however it ends.
[[nodiscard]] Result<> run_media_reader(MediaReaderInputs inputs);

// The same with the outputs it opens given by the caller.
[[nodiscard]] Result<> run_media_reader_with(ReaderOutputs& outputs, MediaReaderInputs inputs);

}  // namespace sonvale
