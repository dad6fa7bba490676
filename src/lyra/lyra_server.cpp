#include "lyra/lyra_server.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "core/thread.h"
#include "lyra/lyra_events.h"

namespace sonvale {
namespace {

// The address an IPv4 socket is bound to.
Result<SocketAddrV4> local_v4(const UdpSocket& socket) {
  SV_ASSIGN_OR_RETURN(const SocketAddr local, socket.local_address());
  const auto v4 = local.as_v4();
  if (!v4) return fail(Error::os(EAFNOSUPPORT));
  return *v4;
}

void lyra_control_main(const LyraServerParams& params, UdpSocket& socket, SocketAddrV4 local) {
  params.events(lyra::command_ready_event(local));
  const lyra::LyraDevice& device = params.device;
  const EventSink& events = params.events;
  const Clock& clock = *params.clock;
  lyra::SegmentTransport transport(
      socket, params.clock, params.events,
      [&device, &events, &clock](ByteSpan payload, lyra::PeerSession& session, SocketAddrV4 peer) {
        const lyra::FrameContext ctx{device, clock, peer, events};
        return lyra::handle_payload(payload, session, ctx);
      });
  lyra::run_server(socket, transport, clock, *params.stop_flag, params.events);
}

}  // namespace

Result<std::uint16_t> start_lyra_server(LyraServerParams params) {
  SV_ASSIGN_OR_RETURN(UdpSocket socket,
                      with_context(UdpSocket::bound(SocketAddr(params.address)),
                                   [&] {
                                     return "bind Xiaomi Lyra command socket " +
                                            params.address.to_string();
                                   }));
  SV_TRY(with_context(socket.set_recv_timeout(std::chrono::milliseconds(50)),
                      "set Xiaomi Lyra command receive timeout"));
  SV_ASSIGN_OR_RETURN(const SocketAddrV4 local,
                      with_context(local_v4(socket), "read Xiaomi Lyra command address"));
  SV_ASSIGN_OR_RETURN(
      std::thread thread,
      with_context(spawn_named("sonvale-lyra-control",
                               [params = std::move(params),
                                socket = std::make_unique<UdpSocket>(std::move(socket)), local] {
                                 lyra_control_main(params, *socket, local);
                               }),
                   "spawn Xiaomi Lyra command server"));
  thread.detach();
  return local.port;
}

namespace lyra {

void run_server(DatagramSocket& socket, SegmentTransport& transport, const Clock& clock,
                const std::atomic<bool>& stop_flag, const EventSink& events) {
  std::vector<std::uint8_t> buffer(65535);
  const auto report = [&events](const Error& e) { events(receive_failed_event(e.to_string())); };
  while (!stop_flag.load(std::memory_order_acquire)) {
    transport.resend_due(clock.now());
    const auto datagram = receive_or_report(socket, buffer, std::chrono::milliseconds(100), report);
    if (!datagram) continue;
    // The socket is IPv4: every source has the IPv4 form.
    if (const auto from = datagram->from.as_v4()) {
      transport.on_datagram(ByteSpan(buffer.data(), datagram->size), *from);
    }
  }
}

}  // namespace lyra
}  // namespace sonvale
