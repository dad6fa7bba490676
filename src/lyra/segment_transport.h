#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "core/bytes.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/udp_socket.h"
#include "core/amplification_limit.h"
#include "lyra/peer_session.h"
#include "lyra/segment.h"

namespace sonvale::lyra {

// Bounds on what peers can make the transport hold. A spoofed source can create sessions and
// replies at will, so every table has a cap and the reply bytes have an overall budget.
struct TransportLimits {
  std::size_t max_sessions = 256;          // see SegmentTransport for which one gives way
  std::size_t max_cached_replies = 64;     // per session, oldest dropped
  std::size_t max_pending_replies = 64;    // per session, oldest dropped
  std::size_t max_reply_bytes = 8u << 20;  // cached plus pending segments of all sessions
  std::size_t max_budget_addresses = 1024;  // send budgets of addresses not yet acknowledging
};

inline constexpr auto kResendInterval = std::chrono::milliseconds(250);
inline constexpr std::uint8_t kMaxTransmissions = 8;
// A session with a key or a logical connection that has been silent this long may give way to a
// new one like a session without.
inline constexpr auto kTrustedIdleLimit = std::chrono::minutes(10);
// A peer that acknowledges a reply and, within kResendInterval, pushes what gets the very same
// reply again has made one turn of answering our replies (another receiver, a reflecting host).
// After this many turns in a row its replies are no longer sent, which ends the exchange.
inline constexpr std::uint8_t kMaxEchoTurns = 8;

// Handles the payload of one new push: a failure, nothing to send, or reply bytes.
using FrameHandler =
    std::function<Result<std::optional<Bytes>>(ByteSpan payload, PeerSession& session, SocketAddrV4 peer)>;

// The segment layer of the Lyra server: one session per peer socket address, every push
// acknowledged, each new push handed to the frame handler, replies cached per pushed `sn` and
// resent every 250 ms until acknowledged (8 transmissions at most). A push with another `conv`
// than the session's starts a fresh conversation: its cache and pending replies go, its reply
// numbers restart at 0, its PeerSession stays. Single-threaded: the server thread owns it.
//
// Against a hostile link:
// - Only a push whose frame does not fail creates a session; acks and other commands from an
//   unknown address are ignored.
// - A session is validated once it acknowledges one of its replies. Until then nothing to it is
//   resent. An acknowledgement proves little: a reply's sn is 0 on a new session and the rest of
//   the header is the peer's or the wall clock's, so a spoofer can forge it without seeing the
//   reply. Everything sent to a session's IPv4 address therefore stays within the
//   AmplificationLimit until its peer has sealed a frame under the key of our handshake reply,
//   which only a reader of that reply can do; from then on it is served in full.
// - When the table is full, a new session takes the place of the least recently active session
//   that is not validated; failing that, of a validated one without key or logical connection or
//   silent for kTrustedIdleLimit; failing that, of one whose key no sealed frame has shown the
//   peer to hold (a spoofed source can acknowledge a reply and run a handshake blind, but not
//   seal); failing that, of the least recently active one.
// - When the reply bytes are over budget, the session holding the most gives up its oldest.
// - A peer that answers our replies (kMaxEchoTurns) gets acknowledgements only: its replies are
//   cached, neither sent nor resent, until a reply differs or a turn is slower. A copy of the
//   reply sent last coming back from its address is ignored, as no push of that peer.
class SegmentTransport {
 public:
  SegmentTransport(DatagramSocket& socket, std::shared_ptr<const Clock> clock, EventSink events,
                   FrameHandler handler, TransportLimits limits = {});

  // Reports the datagram ("lyra_packet_received") and handles its whole segments in order.
  void on_datagram(ByteSpan datagram, SocketAddrV4 from);
  // Sends again, earliest deadline first, every pending reply due at `now`; forgets those sent 8
  // times. Visits only what is due. Returns how many it sent.
  std::size_t resend_due(Clock::time_point now);

  std::size_t session_count() const { return by_address_.size(); }
  std::size_t pending_count() const { return deadlines_.size(); }
  std::size_t cached_count() const;
  // Bytes of cached and pending reply segments, each entry counted.
  std::size_t held_bytes() const { return held_bytes_; }
  const PeerSession* find_session(SocketAddrV4 peer) const;

 private:
  using SegmentPtr = std::shared_ptr<const Bytes>;
  struct Peer;
  using PeerList = std::list<Peer>;  // most recently active first
  // Pending replies of every session by deadline; each names its session and reply `sn`.
  using Deadlines = std::multimap<Clock::time_point, std::pair<Peer*, std::uint32_t>>;
  struct CachedReply {
    SegmentPtr segment;
    std::uint64_t order = 0;
  };
  struct PendingReply {
    SegmentPtr segment;
    Deadlines::iterator deadline;
    std::uint8_t count = 0;
    std::uint64_t order = 0;
  };
  // The reply sent (or held back) last on a session, for telling a peer that answers our replies
  // (its segment may leave the cache sooner).
  struct LastReply {
    SegmentHeader header;
    std::size_t payload_hash = 0;  // of its len payload bytes
    Clock::time_point at;
    bool acknowledged = false;
  };
  // Which sessions give way first when the table is full (lowest first).
  enum Standing : std::size_t { kStranger, kKnown, kKeyed, kConfirmed, kStandings };
  struct Peer {
    PeerList::iterator self;  // stays valid when the session moves between lists
    SocketAddrV4 address;
    PeerSession session;
    std::optional<std::uint32_t> conv;
    std::unordered_map<std::uint32_t, CachedReply> sent_replies;  // by the peer's push sn
    std::map<std::uint32_t, PendingReply> pending;                // by our reply sn
    std::uint32_t next_sequence = 0;
    bool validated = false;  // has acknowledged one of our replies
    bool proven = false;     // has sealed a frame under the key of our handshake reply
    Standing standing = kStranger;
    Clock::time_point last_active;
    std::size_t held_bytes = 0;
    std::optional<LastReply> last_reply;
    std::uint8_t echo_turns = 0;
  };

  Peer* find_peer(SocketAddrV4 from);
  Peer& admit(Peer&& fresh);
  PeerList::iterator eviction_victim();
  void drop_peer(PeerList::iterator it);
  // Marks activity and moves the session to the front of the list its standing now names.
  void touch(Peer& peer);
  void handle_push(Peer* known, SocketAddrV4 from, const Segment& segment);
  void handle_ack(Peer& peer, const SegmentHeader& header);
  void store_reply(Peer& peer, std::uint32_t push_sn, std::uint32_t reply_sn, SegmentPtr segment,
                   bool resend);
  // Records `reply` as the one sent last; whether it is one more turn of a peer answering our
  // replies and must not go out.
  bool echo_turn(Peer& peer, const Bytes& reply);
  void clear_replies(Peer& peer);
  void erase_cached(Peer& peer, std::unordered_map<std::uint32_t, CachedReply>::iterator it);
  void erase_pending(Peer& peer, std::map<std::uint32_t, PendingReply>::iterator it);
  void hold(Peer& peer, std::size_t bytes);
  void release(Peer& peer, std::size_t bytes);
  bool make_room(std::size_t needed);
  // Sends unless the peer is not proven and its address's budget is spent; failures are ignored.
  void send(ByteSpan bytes, SocketAddrV4 to, bool proven);
  void frame_failed(SocketAddrV4 peer, const Error& error, ByteSpan payload);

  DatagramSocket& socket_;
  std::shared_ptr<const Clock> clock_;
  EventSink events_;
  FrameHandler handler_;
  TransportLimits limits_;
  std::array<PeerList, kStandings> peers_;
  std::unordered_map<std::uint64_t, PeerList::iterator> by_address_;
  std::set<std::pair<std::size_t, Peer*>> by_weight_;  // sessions holding reply bytes
  Deadlines deadlines_;
  AmplificationLimit amplification_;
  Clock::time_point now_;  // of the datagram in hand
  std::size_t held_bytes_ = 0;
  std::uint64_t next_order_ = 0;
};

}  // namespace sonvale::lyra
