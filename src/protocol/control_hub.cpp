#include "protocol/control_hub.h"

#include <map>
#include <tuple>
#include <vector>

#include "protocol/control_commands.h"
#include "protocol/control_payloads.h"

namespace sonvale {
namespace {

Outgoing notification(Bytes body, std::uint32_t value_type) {
  Outgoing out;
  out.body = std::move(body);
  out.value_type = value_type;
  out.mode = Outgoing::Mode::kEncrypted;
  out.command = control_command::kNotify;
  return out;
}

}  // namespace

std::uint32_t next_sequence(std::atomic<std::uint32_t>& counter) {
  std::uint32_t c = counter.load(std::memory_order_relaxed);
  while (!counter.compare_exchange_weak(c, c >= 65535 ? 1 : c + 1, std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
  }
  return c;
}

ControlHub::ControlHub(std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                       std::shared_ptr<const Clock> clock)
    : active_(std::make_shared<ActivePart>()),
      session_sockets_(std::make_shared<SocketPart>()),
      routes_(std::make_shared<RoutePart>()),
      stream_keys_(std::make_shared<KeyPart>()),
      media_generation_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      effects_(std::make_shared<RemoteEffects>()),
      dispatch_(std::make_shared<ControlDispatchState>()),
      receiver_volume_(std::move(receiver_volume)),
      output_suspended_(std::make_shared<std::atomic<bool>>(false)),
      clock_(std::move(clock)) {}

std::optional<std::uint64_t> connection_to_close(const std::vector<ConnectionActivity>& open,
                                                 Ipv4 newcomer) {
  std::map<std::uint32_t, std::size_t> held;  // connections per address
  for (const auto& c : open) ++held[c.peer.value];
  const auto own_it = held.find(newcomer.value);
  const std::size_t own = own_it == held.end() ? 0 : own_it->second;
  const ConnectionActivity* chosen = nullptr;
  std::size_t chosen_held = 0;
  for (const auto& c : open) {
    const std::size_t n = held[c.peer.value];
    if (n < (c.authenticated ? own + 2 : own)) continue;
    const bool better =
        chosen == nullptr ||
        std::tuple(chosen_held, c.authenticated, c.last_active) <
            std::tuple(n, chosen->authenticated, chosen->last_active);
    if (better) {
      chosen = &c;
      chosen_held = n;
    }
  }
  if (chosen == nullptr) return std::nullopt;
  return chosen->session_id;
}

Result<Admission> ControlHub::register_session(std::uint64_t session_id, const Fd& connection,
                                               Ipv4 peer) const {
  SV_ASSIGN_OR_RETURN(Fd dup, with_context(connection.duplicate(),
                                           "clone ZeDidi control socket for shutdown"));
  Admission admission;
  Fd closed;
  {
    std::lock_guard lock(session_sockets_->mu);
    auto& sockets = session_sockets_->sockets;
    if (sockets.size() >= kMaxControlConnections) {
      std::vector<ConnectionActivity> open;
      open.reserve(sockets.size());
      for (const auto& [id, s] : sockets) open.push_back({id, s.last_active, s.authenticated, s.peer});
      admission.closed = connection_to_close(open, peer);
      if (!admission.closed) return Admission{false, std::nullopt};
      closed = std::move(sockets.extract(*admission.closed).mapped().fd);
    }
    sockets[session_id] =
        RegisteredSocket{std::move(dup), ++session_sockets_->activity_tick, false, peer};
  }
  if (closed.valid()) shutdown_both(closed.get());
  return admission;
}

void ControlHub::note_activity(std::uint64_t session_id) const {
  std::lock_guard lock(session_sockets_->mu);
  const auto it = session_sockets_->sockets.find(session_id);
  if (it != session_sockets_->sockets.end()) it->second.last_active = ++session_sockets_->activity_tick;
}

void ControlHub::mark_authenticated(std::uint64_t session_id) const {
  std::lock_guard lock(session_sockets_->mu);
  const auto it = session_sockets_->sockets.find(session_id);
  if (it != session_sockets_->sockets.end()) it->second.authenticated = true;
}

void ControlHub::shutdown_sessions() const {
  media_generation_->fetch_add(1, std::memory_order_seq_cst);
  // The host's commands waiting for the phone end now, not when the sessions have wound down.
  effects_->end_all();
  std::map<std::uint64_t, RegisteredSocket> taken;
  {
    std::lock_guard lock(session_sockets_->mu);
    taken.swap(session_sockets_->sockets);
  }
  for (auto& [id, s] : taken) {
    shutdown_both(s.fd.get());
    s.fd.reset();
  }
  std::map<std::uint64_t, ControlRoute> routes;
  {
    std::lock_guard lock(routes_->mu);
    routes.swap(routes_->routes);
  }
}

void ControlHub::deactivate(std::uint64_t session_id) const {
  {
    std::lock_guard lock(session_sockets_->mu);
    session_sockets_->sockets.erase(session_id);
  }
  std::optional<ControlRoute> route;
  {
    std::lock_guard lock(routes_->mu);
    if (auto node = routes_->routes.extract(session_id)) route = std::move(node.mapped());
  }
  std::optional<ActiveSession> ended;
  {
    std::lock_guard lock(active_->mu);
    if (active_->session && active_->session->session_id == session_id) {
      ended = std::move(active_->session);
      active_->session.reset();
    }
  }
  effects_->end_session(session_id);
}

void ControlHub::register_control_route(std::uint64_t session_id, Ipv4 peer, OutgoingSender sender,
                                        SequenceCounter sequence) const {
  ControlRoute route;
  route.sender = std::move(sender);
  route.updated_at = clock_->now();
  route.sequence = std::move(sequence);
  route.peer = peer;
  route.session_id = session_id;
  std::optional<ControlRoute> replaced;
  std::lock_guard lock(routes_->mu);
  auto [it, inserted] = routes_->routes.try_emplace(session_id, route);
  if (!inserted) {
    replaced = std::move(it->second);
    it->second = std::move(route);
  }
}

void ControlHub::mark_reverse_control_ready(std::uint64_t session_id) const {
  std::lock_guard lock(routes_->mu);
  const auto it = routes_->routes.find(session_id);
  if (it == routes_->routes.end()) return;
  it->second.reverse_control_ready = true;
  it->second.updated_at = clock_->now();
}

void ControlHub::mark_play_source_registered(std::uint64_t session_id) const {
  std::lock_guard lock(routes_->mu);
  const auto it = routes_->routes.find(session_id);
  if (it == routes_->routes.end()) return;
  it->second.play_source_registered = true;
  it->second.updated_at = clock_->now();
}

std::optional<ControlRoute> ControlHub::preferred_control_route(const ActiveSession& active) const {
  std::lock_guard lock(routes_->mu);
  const ControlRoute* best = nullptr;
  auto key = [&](const ControlRoute& r) {
    return std::make_tuple(r.reverse_control_ready, r.play_source_registered, r.updated_at,
                           r.session_id == active.session_id);
  };
  for (const auto& [id, route] : routes_->routes) {
    if (route.peer != active.peer) continue;
    if (best == nullptr || !(key(*best) > key(route))) best = &route;
  }
  if (best == nullptr) return std::nullopt;
  return *best;
}

void ControlHub::remember_stream_keys(Ipv4 peer, std::uint64_t session_id,
                                      const StreamKeys& keys) const {
  std::lock_guard lock(stream_keys_->mu);
  auto& remembered = stream_keys_->keys;
  if (remembered.size() >= kMaxRememberedStreamKeys && !remembered.contains(peer.value)) {
    auto oldest = remembered.begin();
    for (auto it = remembered.begin(); it != remembered.end(); ++it) {
      if (it->second.set_at < oldest->second.set_at) oldest = it;
    }
    remembered.erase(oldest);
  }
  remembered[peer.value] = RememberedKeys{SharedStreamKeys{keys, session_id}, ++stream_keys_->tick};
}

std::optional<SharedStreamKeys> ControlHub::stream_keys_for(Ipv4 peer) const {
  std::lock_guard lock(stream_keys_->mu);
  const auto it = stream_keys_->keys.find(peer.value);
  if (it == stream_keys_->keys.end()) return std::nullopt;
  return it->second.shared;
}

OpenedSource ControlHub::replace_active(std::uint64_t session_id, Ipv4 peer, OutgoingSender sender,
                                       SequenceCounter sequence,
                                       std::uint64_t generation_step) const {
  PlaybackGate gate = PlaybackGate::with_output_suspension(output_suspended_, clock_);
  std::optional<ActiveSession> previous;  // released after the lock
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(active_->mu);
    generation =
        media_generation_->fetch_add(generation_step, std::memory_order_acq_rel) + generation_step;
    previous = std::move(active_->session);
    active_->session =
        ActiveSession{std::move(sender), gate, std::move(sequence), session_id, peer};
  }
  effects_->reset_track();
  return OpenedSource{std::move(gate), generation};
}

PlaybackGate ControlHub::activate(std::uint64_t session_id, Ipv4 peer, OutgoingSender sender,
                                  SequenceCounter sequence) const {
  return replace_active(session_id, peer, std::move(sender), std::move(sequence), 0).gate;
}

OpenedSource ControlHub::open_source(std::uint64_t session_id, Ipv4 peer, OutgoingSender sender,
                                     SequenceCounter sequence) const {
  return replace_active(session_id, peer, std::move(sender), std::move(sequence), 1);
}

std::optional<ActiveSession> ControlHub::active_session() const {
  std::lock_guard lock(active_->mu);
  return active_->session;
}

std::optional<std::uint64_t> ControlHub::active_source_session_id(std::uint64_t session_id,
                                                                  Ipv4 peer) const {
  std::lock_guard lock(active_->mu);
  if (!active_->session) return std::nullopt;
  if (active_->session->session_id == session_id || active_->session->peer == peer) {
    return active_->session->session_id;
  }
  return std::nullopt;
}

std::uint32_t ControlHub::playback_state_for(std::uint64_t session_id, Ipv4 peer) const {
  const auto active = active_session();
  if (!active || (active->session_id != session_id && active->peer != peer)) return 0;
  return active->gate.blocked() ? 3 : 2;
}

std::optional<PlaybackGate> ControlHub::gate_of(std::uint64_t session_id) const {
  std::lock_guard lock(active_->mu);
  if (!active_->session || active_->session->session_id != session_id) return std::nullopt;
  return active_->session->gate;
}

Result<> ControlHub::set_volume(std::uint8_t percent) const {
  const std::uint8_t v = std::min<std::uint8_t>(percent, 100);
  const auto active = active_session();
  if (!active) return fail(Error::msg("no active Xiaomi ZeDidi source"));
  const auto route = preferred_control_route(*active);
  const OutgoingSender& sender = route ? route->sender : active->sender;
  const SequenceCounter& sequence = route ? route->sequence : active->sequence;
  const std::uint32_t c = next_sequence(*sequence);
  // The volume is in place before the notification can reach the wire: a phone that reads the
  // volume as soon as it is told gets the new one. A failed send puts the old one back.
  const std::uint32_t previous = receiver_volume_->exchange(v, std::memory_order_acq_rel);
  if (auto sent = sender.send(notification(volume_notification(v), c)); !sent) {
    std::uint32_t expected = v;
    receiver_volume_->compare_exchange_strong(expected, previous, std::memory_order_acq_rel);
    return fail(std::move(sent).error().context("send Xiaomi ZeDidi receiver-volume notification"));
  }
  return {};
}

Result<RemoteCommandOutcome> ControlHub::send_confirmed(ReceiverCommand::Code command,
                                                        std::uint64_t value,
                                                        std::chrono::milliseconds timeout) const {
  using Type = RemoteEffectKind::Type;
  std::unique_lock dispatch_lock(dispatch_->mu);
  bool resolved_from_toggle = false;
  KeyCommand key;
  RemoteEffectKind kind;
  switch (command) {
    case ReceiverCommand::kToggle: {
      bool remote_paused = false;
      {
        std::lock_guard lock(active_->mu);
        if (active_->session) remote_paused = active_->session->gate.remote_paused();
      }
      resolved_from_toggle = true;
      key = remote_paused ? KeyCommand::kResume : KeyCommand::kPause;
      kind.type = Type::kPlayState;
      kind.target_paused = !remote_paused;
      break;
    }
    case ReceiverCommand::kPause:
    case ReceiverCommand::kResume:
      key = command == ReceiverCommand::kPause ? KeyCommand::kPause : KeyCommand::kResume;
      kind.type = Type::kPlayState;
      kind.target_paused = command == ReceiverCommand::kPause;
      break;
    case ReceiverCommand::kPrevious:
    case ReceiverCommand::kNext:
      key = command == ReceiverCommand::kPrevious ? KeyCommand::kPrevious : KeyCommand::kNext;
      kind.type = Type::kTrackChange;
      break;
    case ReceiverCommand::kSeek:
      key = KeyCommand::kSeek;
      kind.type = Type::kSeekPosition;
      kind.target_position_ms = value;
      break;
    default:
      return fail(Error::msg("unknown receiver command " + std::to_string(+command)));
  }
  const Bytes body = key_command_body(key, value);

  const auto active = active_session();
  if (!active) return fail(Error::msg("no active Xiaomi ZeDidi source"));
  const auto route = preferred_control_route(*active);
  const OutgoingSender& sender = route ? route->sender : active->sender;
  const SequenceCounter& sequence = route ? route->sequence : active->sequence;

  const bool play_state = kind.type == Type::kPlayState;
  if (play_state && !resolved_from_toggle && kind.target_paused == active->gate.remote_paused()) {
    return RemoteCommandOutcome{false, true};
  }
  if (play_state) {
    const auto& last = dispatch_->last_dispatch;
    if (last && last->session_id == active->session_id && last->paused == kind.target_paused &&
        clock_->now() - last->sent_at < kDuplicateWindow) {
      return RemoteCommandOutcome{true, false};
    }
  }

  auto expected = effects_->expect(active->session_id, kind);
  const std::uint32_t seq = next_sequence(*sequence);
  if (auto sent = sender.send(notification(body, seq)); !sent) {
    effects_->forget(expected.id);
    return fail(std::move(sent).error().context("send Xiaomi ZeDidi receiver-control notification"));
  }
  if (play_state) {
    active->gate.set_paused(kind.target_paused);
    dispatch_->last_dispatch =
        ControlDispatchState::LastDispatch{clock_->now(), active->session_id, kind.target_paused};
  }
  dispatch_lock.unlock();

  const auto got = expected.confirmation.recv_for(timeout);
  effects_->forget(expected.id);
  return RemoteCommandOutcome{true, got.has_value() && *got};
}

void ControlHub::remove_pending_effect(std::uint64_t effect_id) const {
  effects_->forget(effect_id);
}

void ControlHub::observe_playback(std::uint64_t session_id, bool paused) const {
  const auto gate = gate_of(session_id);
  if (!gate) return;
  gate->set_paused(paused);
  effects_->observe_playback(session_id, paused);
}

std::pair<bool, bool> ControlHub::observe_position(std::uint64_t session_id,
                                                   std::uint64_t position_ms) const {
  const auto seen = effects_->observe_position(session_id, position_ms);
  bool weak_resumed = false;
  if (seen.moved_on) {
    const auto gate = gate_of(session_id);
    if (gate && gate->blocked()) weak_resumed = resume_if_paused(session_id, *gate);
  }
  return {seen.changed, weak_resumed};
}

bool ControlHub::observe_playback_snapshot(std::uint64_t session_id, bool paused) const {
  const auto gate = gate_of(session_id);
  if (!gate || paused) return false;
  return resume_if_paused(session_id, *gate);
}

bool ControlHub::resume_if_paused(std::uint64_t session_id, const PlaybackGate& gate) const {
  if (!gate.accepts_weak_resume()) return false;
  effects_->confirm_resume(session_id);
  return true;
}

void ControlHub::observe_media_info(std::uint64_t session_id,
                                    const std::optional<MediaInfo>& info) const {
  effects_->observe_media_info(session_id, info);
}

std::size_t ControlHub::pending_effect_count() const { return effects_->pending_count(); }

std::size_t ControlHub::route_count() const {
  std::lock_guard lock(routes_->mu);
  return routes_->routes.size();
}

std::size_t ControlHub::registered_socket_count() const {
  std::lock_guard lock(session_sockets_->mu);
  return session_sockets_->sockets.size();
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> ControlHub::last_position() const {
  return effects_->last_position();
}

}  // namespace sonvale
