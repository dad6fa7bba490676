#pragma once

// What an open command of the phone hands to the media pipeline, and the part of it that the
// RTSP session keeps for its whole life.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "core/event_sink.h"
#include "core/net.h"
#include "media/playback_gate.h"
#include "media/session_context.h"
#include "media/stream_keys.h"

namespace sonvale {

// What one media session runs against: the phone's RTSP address, the stream keys (none: the
// phone sends the stream unencrypted), the receiver's media configuration and the session's
// generation.
struct RtspSessionParams {
  Ipv4 rtsp_ip;
  std::uint16_t rtsp_port = 0;
  std::optional<StreamKeys> keys;
  std::shared_ptr<const MediaConfig> media;
  SessionToken token;
};

// Everything an open command hands over: the session's parameters and the control side's parts
// that the session's threads will share (SessionShared is made from them).
struct RtspLaunch {
  RtspSessionParams params;
  PlaybackGate gate;
  std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume;
  EventSink events;
};

}  // namespace sonvale
