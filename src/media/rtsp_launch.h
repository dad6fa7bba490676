#pragma once

// What an open command of the phone hands to the media pipeline, and the part of it that the
// RTSP session keeps for its whole life.

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/event_sink.h"
#include "media/playback_gate.h"
#include "media/session_context.h"

namespace sonvale {

// Everything an open command hands over: the session's parameters and the control side's parts
// that the session's threads will share (SessionShared is made from them).
struct RtspLaunch {
  RtspSessionParams params;
  PlaybackGate gate;
  std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume;
  EventSink events;
};

}  // namespace sonvale
