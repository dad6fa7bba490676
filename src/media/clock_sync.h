#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/event_sink.h"
#include "core/net.h"
#include "media/presentation_clock.h"

namespace sonvale {

// Starts the detached clock synchronisation thread "sonvale-clock-sync" of one media session
// towards the phone's timer server. It keeps `clock` in step with the server, holds off while
// `blocked` is set, has its pause between rounds cut short by `play_received`, and ends once
// `session_alive` is false or `media_generation` no longer holds `generation`. A failure to start
// the thread is dropped.
void spawn_timer_synchronizer(SocketAddrV4 timer_server, EventSink events,
                              std::shared_ptr<std::atomic<bool>> session_alive,
                              std::shared_ptr<std::atomic<std::uint64_t>> media_generation,
                              std::shared_ptr<std::atomic<bool>> blocked,
                              std::shared_ptr<ZeDidiPresentationClock> clock,
                              std::shared_ptr<std::atomic<bool>> play_received,
                              std::uint64_t generation);

}  // namespace sonvale
