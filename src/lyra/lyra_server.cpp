#include "lyra/lyra_server.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "core/thread.h"

namespace sonvale {
namespace {

struct ServerState {
  std::unique_ptr<UdpSocket> socket;
  SocketAddrV4 local;
  lyra::LyraDevice device;
  std::shared_ptr<std::atomic<bool>> stop_flag;
  EventSink events;
  std::shared_ptr<const Clock> clock;
};

// The address an IPv4 socket is bound to.
Result<SocketAddrV4> local_v4(const UdpSocket& socket) {
  SV_ASSIGN_OR_RETURN(const SocketAddr local, socket.local_address());
  const auto v4 = local.as_v4();
  if (!v4) return fail(Error::os(EAFNOSUPPORT));
  return *v4;
}

void lyra_control_main(ServerState st) {
  st.events(Json{{"event", "lyra_command_ready"},
                 {"protocol", "xiaomi_zedidi"},
                 {"address", st.local.to_string()},
                 {"external_service_required", false}});
  const std::shared_ptr<const Clock>& clock = st.clock;
  const lyra::LyraDevice& device = st.device;
  const EventSink& events = st.events;
  lyra::SegmentTransport transport(
      *st.socket, clock, st.events,
      [&device, &events, &clock](ByteSpan payload, lyra::PeerSession& session, SocketAddrV4 peer) {
        const lyra::FrameContext ctx{device, *clock, peer, events};
        return lyra::handle_payload(payload, session, ctx);
      });
  lyra::run_server(*st.socket, transport, *clock, *st.stop_flag, st.events);
}

}  // namespace

Result<std::uint16_t> start_lyra_server_on(SocketAddrV4 address, lyra::LyraDevice device,
                                           std::shared_ptr<std::atomic<bool>> stop_flag,
                                           EventSink events, std::shared_ptr<const Clock> clock) {
  SV_ASSIGN_OR_RETURN(UdpSocket socket,
                      with_context(UdpSocket::bound(SocketAddr(address)),
                                   [&] {
                                     return "bind Xiaomi Lyra command socket " +
                                            address.to_string();
                                   }));
  SV_TRY(with_context(socket.set_recv_timeout(std::chrono::milliseconds(50)),
                      "set Xiaomi Lyra command receive timeout"));
  SV_ASSIGN_OR_RETURN(const SocketAddrV4 local,
                      with_context(local_v4(socket), "read Xiaomi Lyra command address"));
  ServerState st{std::make_unique<UdpSocket>(std::move(socket)), local, std::move(device),
                 std::move(stop_flag), std::move(events), std::move(clock)};
  SV_ASSIGN_OR_RETURN(std::thread thread,
                      with_context(spawn_named("sonvale-lyra-control",
                                               [st = std::move(st)]() mutable {
                                                 lyra_control_main(std::move(st));
                                               }),
                                   "spawn Xiaomi Lyra command server"));
  thread.detach();
  return local.port;
}

Result<std::uint16_t> start_lyra_server(Ipv4 address, std::string lyra_instance_id,
                                        std::string name, std::string platform,
                                        std::uint8_t device_type,
                                        std::shared_ptr<std::atomic<bool>> stop_flag,
                                        EventSink events, std::shared_ptr<const Clock> clock) {
  lyra::LyraDevice device{std::move(lyra_instance_id), std::move(name), std::move(platform),
                          device_type};
  SV_TRY(start_lyra_server_on(SocketAddrV4{address, kLyraPort}, std::move(device),
                              std::move(stop_flag), std::move(events), std::move(clock)));
  return kLyraPort;
}

namespace lyra {

void run_server(DatagramSocket& socket, SegmentTransport& transport, const Clock& clock,
                const std::atomic<bool>& stop_flag, const EventSink& events) {
  std::vector<std::uint8_t> buffer(65535);
  while (!stop_flag.load(std::memory_order_acquire)) {
    transport.resend_due(clock.now());
    auto datagram = socket.receive(buffer);
    if (!datagram) {
      const IoKind kind = datagram.error().io_kind();
      if (kind != IoKind::kWouldBlock && kind != IoKind::kTimedOut) {
        events(Json{{"event", "error"},
                    {"code", "zedidi_lyra_receive_failed"},
                    {"message", datagram.error().to_string()}});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      continue;
    }
    // The socket is IPv4: every source has the IPv4 form.
    if (const auto from = datagram->from.as_v4()) {
      transport.on_datagram(ByteSpan(buffer.data(), datagram->size), *from);
    }
  }
}

}  // namespace lyra
}  // namespace sonvale
