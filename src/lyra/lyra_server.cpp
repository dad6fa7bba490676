#include "lyra/lyra_server.h"

#include <array>
#include <chrono>
#include <thread>
#include <utility>

#include "core/thread.h"

namespace sonvale {

Result<std::uint16_t> start_lyra_server(Ipv4 address, std::string lyra_instance_id,
                                        std::string name, std::string platform,
                                        std::uint8_t device_type,
                                        std::shared_ptr<std::atomic<bool>> stop_flag,
                                        EventSink events) {
  (void)lyra_instance_id;
  (void)name;
  (void)platform;
  (void)device_type;
  (void)events;
  const SocketAddrV4 bind_addr{address, kLyraPort};
  SV_ASSIGN_OR_RETURN(Fd socket, with_context(udp_bind(bind_addr), "bind Xiaomi Lyra command socket " +
                                                                      bind_addr.to_string()));
  SV_TRY(with_context(set_recv_timeout(socket.get(), std::chrono::milliseconds(50)),
                      "set Xiaomi Lyra command receive timeout"));
  SV_TRY(with_context(local_address(socket.get()), "read Xiaomi Lyra command address"));
  SV_ASSIGN_OR_RETURN(
      std::thread thread,
      with_context(spawn_named("sonvale-lyra-control",
                               [socket = std::move(socket), stop_flag = std::move(stop_flag)] {
                                 std::array<std::uint8_t, 2048> buf{};
                                 while (!stop_flag->load(std::memory_order_acquire)) {
                                   (void)udp_recv_from(socket.get(), buf);
                                 }
                               }),
                   "spawn Xiaomi Lyra command server"));
  thread.detach();
  return kLyraPort;
}

}  // namespace sonvale
