#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/event_sink.h"
#include "core/net.h"
#include "media/playback_gate.h"
#include "media/stream_keys.h"

namespace sonvale {

// Starts the detached media session thread "sonvale-rtsp" towards the phone's RTSP address. The
// session ends by itself once `media_generation` no longer holds `generation`. Returns at once; a
// failure to start the thread is dropped.
void spawn_rtsp_receiver(Ipv4 rtsp_ip, std::uint16_t rtsp_port, std::optional<StreamKeys> keys,
                         std::optional<std::string> output_device, PlaybackGate gate,
                         std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                         std::uint64_t generation,
                         std::shared_ptr<std::atomic<std::uint64_t>> media_generation,
                         EventSink events);

}  // namespace sonvale
