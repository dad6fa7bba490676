#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "core/bytes.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/udp_socket.h"
#include "lyra/peer_session.h"
#include "lyra/segment.h"

namespace sonvale::lyra {

// Bounds on what peers can make the transport hold. A spoofed source can create sessions and
// replies at will, so every table has a cap and the reply bytes have an overall budget.
struct TransportLimits {
  std::size_t max_sessions = 256;        // the least recently active one gives way
  std::size_t max_cached_replies = 64;   // per session, oldest dropped
  std::size_t max_pending_replies = 64;  // per session, oldest dropped
  std::size_t max_reply_bytes = 8u << 20;  // cached plus pending segments of all sessions
};

inline constexpr auto kResendInterval = std::chrono::milliseconds(250);
inline constexpr std::uint8_t kMaxTransmissions = 8;

// Handles the payload of one new push: a failure, nothing to send, or reply bytes.
using FrameHandler =
    std::function<Result<std::optional<Bytes>>(ByteSpan payload, PeerSession& session, SocketAddrV4 peer)>;

// The segment layer of the Lyra server: one session per peer socket address, every push
// acknowledged, each new push handed to the frame handler, replies cached per pushed `sn` and
// resent every 250 ms until acknowledged (8 transmissions at most). A push with another `conv`
// than the session's starts a fresh conversation: its cache and pending replies go, its reply
// numbers restart at 0, its PeerSession stays. Single-threaded: the server thread owns it.
class SegmentTransport {
 public:
  SegmentTransport(DatagramSocket& socket, std::shared_ptr<const Clock> clock, EventSink events,
                   FrameHandler handler, TransportLimits limits = {});

  // Reports the datagram ("lyra_packet_received") and handles its whole segments in order.
  void on_datagram(ByteSpan datagram, SocketAddrV4 from);
  // Sends again every pending reply due at `now`; forgets those sent 8 times.
  void resend_due(Clock::time_point now);

  std::size_t session_count() const { return peers_.size(); }
  std::size_t pending_count() const;
  std::size_t cached_count() const;
  // Bytes of cached and pending reply segments, each entry counted.
  std::size_t held_bytes() const { return held_bytes_; }
  const PeerSession* find_session(SocketAddrV4 peer) const;

 private:
  using SegmentPtr = std::shared_ptr<const Bytes>;
  struct CachedReply {
    SegmentPtr segment;
    std::uint64_t order = 0;
  };
  struct PendingReply {
    SegmentPtr segment;
    Clock::time_point deadline;
    std::uint8_t count = 0;
    std::uint64_t order = 0;
  };
  struct Peer {
    SocketAddrV4 address;
    PeerSession session;
    std::optional<std::uint32_t> conv;
    std::unordered_map<std::uint32_t, CachedReply> sent_replies;  // by the peer's push sn
    std::map<std::uint32_t, PendingReply> pending;                // by our reply sn
    std::uint32_t next_sequence = 0;
  };
  using PeerList = std::list<Peer>;  // most recently active first

  Peer& touch_peer(SocketAddrV4 from);
  void drop_peer(PeerList::iterator it);
  void handle_push(Peer& peer, const Segment& segment);
  void handle_ack(Peer& peer, const SegmentHeader& header);
  void store_reply(Peer& peer, std::uint32_t push_sn, std::uint32_t reply_sn, SegmentPtr segment);
  void clear_replies(Peer& peer);
  void erase_cached(Peer& peer, std::unordered_map<std::uint32_t, CachedReply>::iterator it);
  void erase_pending(Peer& peer, std::map<std::uint32_t, PendingReply>::iterator it);
  bool make_room(Peer& peer, std::size_t needed);
  void send(ByteSpan bytes, SocketAddrV4 to);
  void frame_failed(const Peer& peer, const Error& error, ByteSpan payload);

  DatagramSocket& socket_;
  std::shared_ptr<const Clock> clock_;
  EventSink events_;
  FrameHandler handler_;
  TransportLimits limits_;
  PeerList peers_;
  std::unordered_map<std::uint64_t, PeerList::iterator> by_address_;
  std::unordered_set<Peer*> with_pending_;
  std::size_t held_bytes_ = 0;
  std::uint64_t next_order_ = 0;
};

}  // namespace sonvale::lyra
