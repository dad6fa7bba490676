#pragma once

// The control protocol's one seam to the media pipeline: what an open command of the phone hands
// over, and the launcher the receiver builds around its media configuration. The protocol sees no
// more of the pipeline than the playback gate, the stream keys and the session token.

#include <cstdint>
#include <functional>
#include <optional>

#include "core/net.h"
#include "media/format/stream_keys.h"
#include "media/playback_gate.h"
#include "media/session_token.h"

namespace sonvale {

// One open command: the phone's RTSP address, the stream keys (none: the phone sends the stream
// unencrypted), the session's generation and the gate of the source that opened it.
struct CastOpen {
  Ipv4 rtsp_ip;
  std::uint16_t rtsp_port = 0;
  std::optional<StreamKeys> keys;
  SessionToken token;
  PlaybackGate gate;
};

// Starts the media session of an open command; called on the control session's thread, it must
// not block. The receiver passes one that starts the RTSP session; tests pass one that records.
using MediaLauncher = std::function<void(CastOpen)>;

}  // namespace sonvale
