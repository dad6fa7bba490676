#include "media/media_session.h"

#include <poll.h>

#include <array>
#include <thread>

#include "core/thread.h"

namespace sonvale {

// INTERIM: until the RTSP sink session lands, the session thread only connects to the phone's
// RTSP address and holds the connection until the phone closes it or the generation moves on.
void spawn_rtsp_receiver(Ipv4 rtsp_ip, std::uint16_t rtsp_port, std::optional<StreamKeys> keys,
                         std::optional<std::string> output_device, PlaybackGate gate,
                         std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                         std::uint64_t generation,
                         std::shared_ptr<std::atomic<std::uint64_t>> media_generation,
                         EventSink events) {
  (void)keys;
  (void)output_device;
  (void)gate;
  (void)receiver_volume;
  (void)events;
  auto thread = spawn_named("sonvale-rtsp", [=] {
    auto conn = tcp_connect({rtsp_ip, rtsp_port});
    if (!conn) return;
    std::array<std::uint8_t, 4096> buf{};
    while (media_generation->load(std::memory_order_acquire) == generation) {
      pollfd p{conn->get(), POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      auto n = read_some(conn->get(), buf);
      if (!n || *n == 0) return;
    }
  });
  if (thread) thread->detach();
}

}  // namespace sonvale
