#pragma once

// The receiver's shared control state: the active source, the control routes of every phone
// connection, the socket registry, the stream keys per phone address, the media generation, the
// receiver volume and the records of remote commands waiting for confirmation. It has no thread
// of its own; every operation runs on its caller's thread (listener, session threads, the host's
// command thread). Copies share all parts. Each part has its own lock or is one atomic; no
// operation holds two part locks at once, except send_confirmed, which takes `dispatch` first and
// then the others one at a time.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/channel.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/net.h"
#include "protocol/control_frame.h"
#include "protocol/control_payloads.h"
#include "protocol/media_launcher.h"
#include "protocol/receiver_command.h"
#include "protocol/remote_effects.h"

namespace sonvale {

using OutgoingSender = Sender<Outgoing>;
using SequenceCounter = std::shared_ptr<std::atomic<std::uint32_t>>;

// Takes the counter's value c and leaves c + 1, or 1 when c is 65535 or more.
std::uint32_t next_sequence(std::atomic<std::uint32_t>& counter);

struct ActiveSession {
  OutgoingSender sender;
  PlaybackGate gate;
  SequenceCounter sequence;
  std::uint64_t session_id = 0;
  Ipv4 peer;
};

struct ControlRoute {
  OutgoingSender sender;
  std::chrono::steady_clock::time_point updated_at;
  SequenceCounter sequence;
  Ipv4 peer;
  bool reverse_control_ready = false;
  bool play_source_registered = false;
  std::uint64_t session_id = 0;
};

struct SharedStreamKeys {
  StreamKeys keys;
  std::uint64_t session_id = 0;
};

struct RemoteCommandOutcome {
  bool dispatched = false;
  bool confirmed = false;
};

// What an open command made: the gate of the new active source and its media generation.
struct OpenedSource {
  PlaybackGate gate;
  std::uint64_t generation = 0;
};

// At most this many addresses have stream keys remembered; a new address beyond it displaces the
// one whose keys were set longest ago.
inline constexpr std::size_t kMaxRememberedStreamKeys = 256;

// At most this many control connections are open at once.
inline constexpr std::size_t kMaxControlConnections = 64;

// What the cap on control connections weighs: the peer's address, how recently a connection was
// active (a tick that grows with every registration and received frame) and whether it completed
// SafetyAuth.
struct ConnectionActivity {
  std::uint64_t session_id = 0;
  std::uint64_t last_active = 0;
  bool authenticated = false;
  Ipv4 peer;
};
// The connection to close to make room for a new one from `newcomer`, which holds N of `open`.
// SafetyAuth needs no secret, so it shields a connection only from addresses about as busy as its
// own: a connection that has not completed it can be closed when its address holds at least N
// connections, one that has when its address holds at least N + 2 (so that two addresses never
// take turns closing each other's). No address makes room at the cost of one holding fewer
// connections than itself. Of those that can be closed: those of the address holding the most,
// of them the unauthenticated first, then the least recently active. Nothing when none can be
// closed.
std::optional<std::uint64_t> connection_to_close(const std::vector<ConnectionActivity>& open,
                                                 Ipv4 newcomer);

// How a new connection fared under the cap.
struct Admission {
  bool admitted = true;
  std::optional<std::uint64_t> closed;  // the session shut down to make room for it
};

class ControlHub {
 public:
  static constexpr std::chrono::milliseconds kDuplicateWindow{750};

  // `clock` measures route instants, the duplicate-command window and the gates' resume grace.
  explicit ControlHub(std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                      std::shared_ptr<const Clock> clock);

  // --- socket registry (listener thread) ---
  // Keeps a duplicate of the connection's socket so that shutdown_sessions can wake its reader.
  // With kMaxControlConnections already registered, it first shuts down the connection that
  // connection_to_close names (its session then ends as a peer's close would end it) or, when
  // there is none, refuses the new one (not admitted, nothing kept).
  [[nodiscard]] Result<Admission> register_session(std::uint64_t session_id, const Fd& connection,
                                                   Ipv4 peer) const;
  // A frame arrived on the session's connection.
  void note_activity(std::uint64_t session_id) const;
  // The session completed SafetyAuth: the cap no longer closes it to make room.
  void mark_authenticated(std::uint64_t session_id) const;
  // Advances the media generation, ends every remote command waiting for confirmation (and the
  // wait of every later one), shuts down and closes every registered socket, clears routes.
  void shutdown_sessions() const;
  // The clock the hub measures on, for the sessions it serves to measure on too.
  const std::shared_ptr<const Clock>& clock() const { return clock_; }
  // Withdraws a session: socket duplicate, route, active source (if it is this session), its
  // pending effects (completed with false) and its last position.
  void deactivate(std::uint64_t session_id) const;

  // --- routes (session threads) ---
  void register_control_route(std::uint64_t session_id, Ipv4 peer, OutgoingSender sender,
                              SequenceCounter sequence) const;
  void mark_reverse_control_ready(std::uint64_t session_id) const;
  void mark_play_source_registered(std::uint64_t session_id) const;
  std::optional<ControlRoute> preferred_control_route(const ActiveSession& active) const;

  // --- stream keys ---
  // The last keys a session of the address set; they outlive the session (see
  // kMaxRememberedStreamKeys).
  void remember_stream_keys(Ipv4 peer, std::uint64_t session_id, const StreamKeys& keys) const;
  std::optional<SharedStreamKeys> stream_keys_for(Ipv4 peer) const;

  // --- active source ---
  // Makes the session the active source with a fresh gate; the media generation stays.
  PlaybackGate activate(std::uint64_t session_id, Ipv4 peer, OutgoingSender sender,
                        SequenceCounter sequence) const;
  // The open command's step: advances the media generation and activates the session as one
  // step under the active-source lock, so the source with the highest generation is the active
  // one whatever the order in which racing opens run.
  OpenedSource open_source(std::uint64_t session_id, Ipv4 peer, OutgoingSender sender,
                           SequenceCounter sequence) const;
  std::optional<std::uint64_t> active_source_session_id(std::uint64_t session_id, Ipv4 peer) const;
  // 0 when this is not the active source's session or address; else 3 blocked, 2 playing.
  std::uint32_t playback_state_for(std::uint64_t session_id, Ipv4 peer) const;
  std::optional<ActiveSession> active_session() const;

  // --- host commands ---
  [[nodiscard]] Result<> set_volume(std::uint8_t percent) const;
  // Queues the key command of `command` (a seek goes to `value` ms) and waits up to `timeout`
  // for the phone's reports to confirm it.
  [[nodiscard]] Result<RemoteCommandOutcome> send_confirmed(ReceiverCommand::Code command,
                                                            std::uint64_t value,
                                                            std::chrono::milliseconds timeout) const;

  // --- the phone's reports (session threads, with the active source's session id) ---
  void observe_playback(std::uint64_t session_id, bool paused) const;
  // (changed, weak_resumed)
  std::pair<bool, bool> observe_position(std::uint64_t session_id, std::uint64_t position_ms) const;
  bool observe_playback_snapshot(std::uint64_t session_id, bool paused) const;
  void observe_media_info(std::uint64_t session_id, const std::optional<MediaInfo>& info) const;
  bool resume_if_paused(std::uint64_t session_id, const PlaybackGate& gate) const;
  void remove_pending_effect(std::uint64_t effect_id) const;

  const std::shared_ptr<std::atomic<std::uint64_t>>& media_generation() const {
    return media_generation_;
  }
  const std::shared_ptr<std::atomic<std::uint32_t>>& receiver_volume() const {
    return receiver_volume_;
  }
  const std::shared_ptr<std::atomic<bool>>& output_suspended() const { return output_suspended_; }

  // Inspection for tests.
  std::size_t pending_effect_count() const;
  std::size_t route_count() const;
  std::size_t registered_socket_count() const;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> last_position() const;

 private:
  struct ActivePart {
    mutable std::mutex mu;
    std::optional<ActiveSession> session;
  };
  struct RegisteredSocket {
    Fd fd;
    std::uint64_t last_active = 0;
    bool authenticated = false;
    Ipv4 peer;
  };
  struct SocketPart {
    mutable std::mutex mu;
    std::map<std::uint64_t, RegisteredSocket> sockets;
    std::uint64_t activity_tick = 0;
  };
  struct RoutePart {
    mutable std::mutex mu;
    std::map<std::uint64_t, ControlRoute> routes;
  };
  struct RememberedKeys {
    SharedStreamKeys shared;
    std::uint64_t set_at = 0;  // KeyPart::tick when they were set
  };
  struct KeyPart {
    mutable std::mutex mu;
    std::map<std::uint32_t, RememberedKeys> keys;  // by IPv4 address
    std::uint64_t tick = 0;
  };

  std::optional<PlaybackGate> gate_of(std::uint64_t session_id) const;
  // The one step of activate and open_source: advances the media generation by
  // `generation_step` and installs the session with a fresh gate under the active-source lock.
  OpenedSource replace_active(std::uint64_t session_id, Ipv4 peer, OutgoingSender sender,
                              SequenceCounter sequence, std::uint64_t generation_step) const;

  std::shared_ptr<ActivePart> active_;
  std::shared_ptr<SocketPart> session_sockets_;
  std::shared_ptr<RoutePart> routes_;
  std::shared_ptr<KeyPart> stream_keys_;
  std::shared_ptr<std::atomic<std::uint64_t>> media_generation_;
  std::shared_ptr<RemoteEffects> effects_;
  std::shared_ptr<ControlDispatchState> dispatch_;
  std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume_;
  std::shared_ptr<std::atomic<bool>> output_suspended_;
  std::shared_ptr<const Clock> clock_;
};

}  // namespace sonvale
