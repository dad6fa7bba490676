#include "protocol/control_server.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "core/thread.h"
#include "protocol/control_events.h"

namespace sonvale {
namespace {

struct ListenerState {
  Fd listener;
  std::shared_ptr<std::atomic<bool>> stop_flag;
  // What every session starts with; each gets its own session id.
  SessionContext sessions;
};

// Withdraws one session from the hub (its socket duplicate, route, active source and pending
// effects) exactly once: when `withdraw` is called, or else when the session thread leaves its
// body, however it leaves it.
class SessionWithdrawal {
 public:
  SessionWithdrawal(ControlHub hub, std::uint64_t id) : hub_(std::move(hub)), id_(id) {}
  SessionWithdrawal(const SessionWithdrawal&) = delete;
  SessionWithdrawal& operator=(const SessionWithdrawal&) = delete;
  ~SessionWithdrawal() { withdraw(); }

  void withdraw() {
    if (std::exchange(pending_, false)) hub_.deactivate(id_);
  }

 private:
  ControlHub hub_;
  std::uint64_t id_;
  bool pending_ = true;
};

// run_session, with an exception (std::bad_alloc under memory pressure) as one more failure.
Error run_session_caught(SessionContext context, Fd connection) {
  try {
    return run_session(std::move(context), std::move(connection));
  } catch (const std::exception& e) {
    return Error::msg(e.what()).context("run ZeDidi control session");
  }
}

void control_session_main(SessionContext context, Fd connection, SocketAddrV4 peer) {
  const EventSink events = context.events;
  SessionWithdrawal withdrawal(context.hub, context.session_id);
  const std::string remote = peer.to_string();
  events(transport_connected_event(remote));
  const Error ended = run_session_caught(std::move(context), std::move(connection));
  if (is_normal_peer_disconnect(ended)) {
    events(probe_finished_event(remote));
  } else {
    events(session_failed_event(ended));
  }
  withdrawal.withdraw();
  events(transport_disconnected_event(remote));
}

void report_accept_failure(const ListenerState& st, const std::string& error) {
  st.sessions.events(accept_failed_event(error));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
}

// One pass of the accept loop: accepts, registers and starts the session of one connection.
void accept_next(ListenerState& st, std::uint64_t& next_id) {
  auto accepted = accept_connection(st.listener.get());
  if (!accepted) {
    if (accepted.error().io_kind() == IoKind::kWouldBlock) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else {
      report_accept_failure(st, accepted.error().to_string());
    }
    return;
  }
  const std::uint64_t id = next_id++;
  const ControlHub& hub = st.sessions.hub;
  const EventSink& events = st.sessions.events;
  auto reg = hub.register_session(id, accepted->fd, accepted->peer.ip);
  if (!reg) {
    events(session_register_failed_event(reg.error()));
    return;
  }
  if (!reg->admitted) {  // every open connection has completed SafetyAuth
    events(connection_limit_event(kMaxControlConnections, accepted->peer.to_string()));
    return;
  }
  if (st.stop_flag->load(std::memory_order_acquire)) {
    hub.shutdown_sessions();
    return;
  }
  SessionContext context = st.sessions;
  context.session_id = id;
  auto thread = spawn_named("sonvale-control-" + std::to_string(id),
                            [context = std::move(context), fd = std::move(accepted->fd),
                             peer = accepted->peer]() mutable {
                              control_session_main(std::move(context), std::move(fd), peer);
                            });
  if (!thread) {
    hub.deactivate(id);
    events(session_spawn_failed_event(thread.error()));
    return;
  }
  thread->detach();
}

void control_listener_main(ListenerState st) {
  std::uint64_t next_id = 1;
  while (!st.stop_flag->load(std::memory_order_acquire)) {
    try {
      accept_next(st, next_id);
    } catch (const std::exception& e) {  // std::bad_alloc: the listener goes on
      report_accept_failure(st, e.what());
    }
  }
}

}  // namespace

bool is_normal_peer_disconnect(const Error& error) {
  switch (error.io_kind()) {
    case IoKind::kConnectionReset:
    case IoKind::kConnectionAborted:
    case IoKind::kTimedOut:
    case IoKind::kUnexpectedEof:
      return true;
    default:
      return false;
  }
}

Result<ControlServer> start_control_server(ControlServerParams params) {
  const SocketAddrV4 bind_addr = params.address;
  SV_ASSIGN_OR_RETURN(Fd listener,
                      with_context(tcp_listen(bind_addr, 128, true),
                                   [&] {
                                     return "bind Xiaomi ZeDidi control socket " +
                                            bind_addr.to_string();
                                   }));
  SV_TRY(set_nonblocking(listener.get(), true));
  SV_ASSIGN_OR_RETURN(const SocketAddrV4 local, local_address(listener.get()));
  ControlHub hub(std::move(params.receiver_volume), std::move(params.clock));
  ListenerState state{
      .listener = std::move(listener),
      .stop_flag = std::move(params.stop_flag),
      .sessions = SessionContext{.session_id = 0,
                                 .identity = std::move(params.identity),
                                 .hub = hub,
                                 .events = std::move(params.events),
                                 .launcher = std::move(params.launcher)},
  };
  SV_ASSIGN_OR_RETURN(std::thread thread,
                      with_context(spawn_named("sonvale-control-listener",
                                               [state = std::move(state)]() mutable {
                                                 control_listener_main(std::move(state));
                                               }),
                                   "spawn Xiaomi ZeDidi control listener"));
  thread.detach();
  return ControlServer{.hub = std::move(hub), .port = local.port};
}

}  // namespace sonvale
