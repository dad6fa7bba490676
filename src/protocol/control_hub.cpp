#include "protocol/control_hub.h"

#include <utility>
#include <vector>

namespace sonvale {

ControlHub::ControlHub(std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume)
    : session_sockets_(std::make_shared<SocketRegistry>()),
      media_generation_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      receiver_volume_(std::move(receiver_volume)),
      output_suspended_(std::make_shared<std::atomic<bool>>(false)) {}

Result<> ControlHub::register_session(std::uint64_t session_id, const Fd& connection) const {
  SV_ASSIGN_OR_RETURN(Fd dup, connection.duplicate());
  std::lock_guard lock(session_sockets_->mu);
  session_sockets_->sockets[session_id] = std::move(dup);
  return {};
}

void ControlHub::deactivate(std::uint64_t session_id) const {
  std::lock_guard lock(session_sockets_->mu);
  session_sockets_->sockets.erase(session_id);
}

void ControlHub::shutdown_sessions() const {
  media_generation_->fetch_add(1, std::memory_order_seq_cst);
  std::map<std::uint64_t, Fd> taken;
  {
    std::lock_guard lock(session_sockets_->mu);
    taken.swap(session_sockets_->sockets);
  }
  for (auto& [id, fd] : taken) shutdown_both(fd.get());
}

Result<RemoteCommandOutcome> ControlHub::send_confirmed(std::uint8_t, std::uint64_t,
                                                        std::chrono::milliseconds) const {
  return fail(Error::msg("no active Xiaomi ZeDidi source"));
}

Result<> ControlHub::set_volume(std::uint8_t) const {
  return fail(Error::msg("no active Xiaomi ZeDidi source"));
}

}  // namespace sonvale
