#include "media/clock_sync.h"

namespace sonvale {

// INTERIM: the timer exchange is not built yet; no thread is started and the presentation clock
// stays unsynchronised.
void spawn_timer_synchronizer(SocketAddrV4 timer_server, EventSink events,
                              std::shared_ptr<std::atomic<bool>> session_alive,
                              std::shared_ptr<std::atomic<std::uint64_t>> media_generation,
                              std::shared_ptr<std::atomic<bool>> blocked,
                              std::shared_ptr<ZeDidiPresentationClock> clock,
                              std::shared_ptr<std::atomic<bool>> play_received,
                              std::uint64_t generation) {
  (void)timer_server;
  (void)events;
  (void)session_alive;
  (void)media_generation;
  (void)blocked;
  (void)clock;
  (void)play_received;
  (void)generation;
}

}  // namespace sonvale
