#include "protocol/control_server.h"

#include <chrono>
#include <thread>
#include <utility>

#include "core/thread.h"

namespace sonvale {
namespace {

void control_listener_main(Fd listener, ControlHub hub, std::shared_ptr<std::atomic<bool>> stop_flag,
                           EventSink events) {
  std::uint64_t next_id = 1;
  while (!stop_flag->load(std::memory_order_acquire)) {
    auto accepted = accept_connection(listener.get());
    if (!accepted) {
      if (accepted.error().io_kind() == IoKind::kWouldBlock) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      } else {
        events(Json{{"event", "error"},
                    {"code", "sonvale_control_accept_failed"},
                    {"message", "小米妙播控制端接受连接失败：" + accepted.error().to_string()}});
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
      continue;
    }
    const std::uint64_t id = next_id++;
    if (auto reg = hub.register_session(id, accepted->fd); !reg) {
      events(Json{{"event", "error"},
                  {"code", "sonvale_control_session_failed"},
                  {"message", "小米妙播控制会话登记失败：" + reg.error().to_string()}});
      continue;
    }
    if (stop_flag->load(std::memory_order_acquire)) {
      hub.shutdown_sessions();
      continue;
    }
    // No control session can run yet: withdraw the connection and close it.
    hub.deactivate(id);
  }
}

}  // namespace

Result<ControlHub> start_control_server(Ipv4 address, DeviceIdentity identity,
                                        std::optional<std::string> output_device,
                                        std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                                        std::shared_ptr<std::atomic<bool>> stop_flag,
                                        EventSink events) {
  (void)identity;
  (void)output_device;
  const SocketAddrV4 bind_addr{address, kControlPort};
  SV_ASSIGN_OR_RETURN(Fd listener,
                      with_context(tcp_listen(bind_addr, 128, true),
                                   "bind Xiaomi ZeDidi control socket " + bind_addr.to_string()));
  SV_TRY(set_nonblocking(listener.get(), true));
  ControlHub hub(std::move(receiver_volume));
  SV_ASSIGN_OR_RETURN(
      std::thread thread,
      with_context(spawn_named("sonvale-control-listener",
                               [listener = std::move(listener), hub, stop_flag = std::move(stop_flag),
                                events = std::move(events)]() mutable {
                                 control_listener_main(std::move(listener), std::move(hub),
                                                       std::move(stop_flag), std::move(events));
                               }),
                   "spawn Xiaomi ZeDidi control listener"));
  thread.detach();
  return hub;
}

}  // namespace sonvale
