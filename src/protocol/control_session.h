#pragma once

// One control connection: set-up (keys from the two socket addresses, the writer thread, the
// first frame, the hub route), the read loop that decodes and traces every frame, the SafetyAuth
// handshake and the dispatch of the phone's commands, including the open command that hands the
// cast over to the media pipeline.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "core/byte_budget.h"
#include "core/channel.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "protocol/control_events.h"
#include "protocol/control_frame.h"
#include "protocol/control_hub.h"
#include "protocol/device_identity.h"
#include "protocol/media_launcher.h"

namespace sonvale {

std::optional<std::string> auth_ack_field(const Json& value);
[[nodiscard]] Result<std::string> mirror_key_field(const Json& value, std::string_view name);
// "wfd://a.b.c.d:port[?query]"
[[nodiscard]] Result<std::pair<Ipv4, std::uint16_t>> parse_wfd_url(std::string_view text);

// What the phones' frames make the receiver hold is bounded across all control connections: a
// body longer than kUnbudgetedBodyBytes draws on one shared ByteBudget of kMaxBodyBytesInTransit
// while it is received and handled, and so does a JSON tree read from a body, for what it costs
// beyond kJsonUnsharedCost. The phone's own frames and documents are far smaller, so no peer can
// starve them by filling the budget.
inline constexpr std::size_t kUnbudgetedBodyBytes = 64 * 1024;
inline constexpr std::size_t kMaxBodyBytesInTransit = 64 * 1024 * 1024;
// A body must have arrived whole this long after its header.
inline constexpr std::chrono::seconds kControlBodyDeadline{10};

// Reads what is available into the buffer: at least one byte, or 0 at the end of the stream. With
// a deadline, a read that finds nothing until then fails with an error of IoKind kTimedOut.
using ReadSomeFn = std::function<Result<std::size_t>(std::span<std::uint8_t>,
                                                     std::optional<Clock::time_point> deadline)>;

// The connection that read_incoming reads frames from, and what limits them.
struct FrameSource {
  ReadSomeFn read;
  // Shared by every connection of the receiver; bodies above kUnbudgetedBodyBytes draw on it.
  ByteBudget bodies{kMaxBodyBytesInTransit};
  // Measures the body deadline. Never null.
  std::shared_ptr<const Clock> clock;
};

// Reads and decodes one frame. The body buffer grows only as its bytes arrive, so a length field
// never sizes an allocation by itself. Fails, before any body byte is read, when a body above
// kUnbudgetedBodyBytes does not fit into what is left of `source.bodies`, and when the body has not
// arrived kControlBodyDeadline after its header.
[[nodiscard]] Result<Incoming> read_incoming(const FrameSource& source,
                                             ControlCipher& receive_cipher);

// What one control session is started with. `launcher` is never empty.
struct SessionContext {
  std::uint64_t session_id = 0;
  DeviceIdentity identity;
  ControlHub hub;
  EventSink events;
  MediaLauncher launcher;
  // The bound on the bodies, and the JSON trees read from them, that all connections of the
  // receiver hold at once.
  ByteBudget bodies{kMaxBodyBytesInTransit};
};

// The handshake and dispatch state of one connection; runs on its session thread only.
class ControlSession {
 public:
  ControlSession(SessionContext context, SocketAddrV4 local, SocketAddrV4 peer,
                 OutgoingSender sender, SequenceCounter sequence, std::string own_challenge);

  // Dispatches one decoded frame; an error ends the session.
  [[nodiscard]] Result<> handle(const Incoming& frame);

  const std::string& auth_key() const { return auth_key_; }

 private:
  [[nodiscard]] Result<> queue(Outgoing message) const;
  [[nodiscard]] Result<> reply(const Incoming& frame, std::uint8_t command, Bytes body,
                               Outgoing::Mode mode = Outgoing::Mode::kEncrypted) const;
  [[nodiscard]] Result<> notify(Bytes body) const;
  [[nodiscard]] Result<> queue_own_challenge() const;

  // A handler of one command of the phone; `reply_command` is the id its answer goes out under.
  using Handler = Result<> (ControlSession::*)(const Incoming& frame, std::uint8_t reply_command);
  // One row of the dispatch table: {command, reply, handler}.
  struct CommandRoute {
    std::uint8_t command;
    std::uint8_t reply;
    Handler handler;
  };
  // The table for frames of `outer_type`: one for kOuterReport, one for every other outer type.
  static std::span<const CommandRoute> routes(std::uint8_t outer_type);

  [[nodiscard]] Result<> start(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> handshake_start(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> open(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> safety_auth(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> safety_auth_ack(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> play_state_report(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> set_volume(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> get_volume(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> media_info_report(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> reverse_control_ready(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> empty_ack(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> playback_state_query(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> device_info_query(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> initial_state_request(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> fixed_status_query(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> version_query(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> play_source(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> position_report(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> source_info(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> playback_snapshot(const Incoming& frame, std::uint8_t reply_command);
  [[nodiscard]] Result<> set_mirror_key(const Incoming& frame, std::uint8_t reply_command);
  void media_control_ack(const Incoming& frame) const;
  void unhandled(const Incoming& frame) const;
  std::optional<std::uint64_t> active_source() const;

  SessionContext ctx_;
  SocketAddrV4 local_;
  SocketAddrV4 peer_;
  std::string remote_;
  OutgoingSender sender_;
  SequenceCounter sequence_;
  std::string auth_key_;
  std::string own_challenge_;
  std::string own_auth_payload_;
  bool challenge_sent_ = false;
  // The answer to the phone's SafetyAuth, held back until the phone acknowledges our challenge.
  std::optional<Outgoing> pending_ack_;
  std::optional<StreamKeys> own_stream_keys_;
  bool media_info_announced_ = false;
};

// The body of one control connection; returns the error that ended it (it has no other end).
Error run_session(SessionContext context, Fd connection);

}  // namespace sonvale
