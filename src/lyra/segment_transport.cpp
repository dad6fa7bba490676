#include "lyra/segment_transport.h"

#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "lyra/lyra_events.h"

namespace sonvale::lyra {
namespace {

std::uint64_t address_key(SocketAddrV4 a) {
  return (std::uint64_t{a.ip.value} << 16) | a.port;
}

// The header of a segment this transport built (at least 24 bytes).
SegmentHeader header_of(const Bytes& segment) {
  ByteReader r(segment);
  SegmentHeader h;
  h.conv = *r.u32le();
  h.cmd = *r.u8();
  h.frg = *r.u8();
  h.wnd = *r.u16le();
  h.ts = *r.u32le();
  h.sn = *r.u32le();
  h.una = *r.u32le();
  h.len = *r.u32le();
  return h;
}

// Compared only with the replies of the same session: a payload made to collide misleads nothing
// but the session of the peer that made it.
std::size_t payload_hash(ByteSpan payload) { return std::hash<std::string_view>{}(as_text(payload)); }

// Whether the peer has sealed a frame under the key of our handshake reply (a logical connection
// is opened only by a sealed connect).
bool holds_our_key(const PeerSession& s) {
  return (s.session_key && s.key_confirmed) || s.client_channel_id || s.server_channel_id;
}

template <class Map>
typename Map::iterator oldest(Map& m) {
  return std::min_element(m.begin(), m.end(), [](const auto& a, const auto& b) {
    return a.second.order < b.second.order;
  });
}

}  // namespace

SegmentTransport::SegmentTransport(DatagramSocket& socket, std::shared_ptr<const Clock> clock,
                                   EventSink events, FrameHandler handler, TransportLimits limits)
    : socket_(socket),
      clock_(std::move(clock)),
      events_(std::move(events)),
      handler_(std::move(handler)),
      limits_(limits),
      amplification_(limits.max_budget_addresses) {}

std::size_t SegmentTransport::cached_count() const {
  std::size_t n = 0;
  for (const PeerList& list : peers_) {
    for (const Peer& p : list) n += p.sent_replies.size();
  }
  return n;
}

const PeerSession* SegmentTransport::find_session(SocketAddrV4 peer) const {
  auto it = by_address_.find(address_key(peer));
  return it == by_address_.end() ? nullptr : &it->second->session;
}

SegmentTransport::Peer* SegmentTransport::find_peer(SocketAddrV4 from) {
  auto it = by_address_.find(address_key(from));
  return it == by_address_.end() ? nullptr : &*it->second;
}

void SegmentTransport::on_datagram(ByteSpan datagram, SocketAddrV4 from) {
  events_(packet_received_event(from, datagram.size()));
  now_ = clock_->now();
  amplification_.received(from.ip, datagram.size(), now_);
  // Only the admission of a new session changes the table, and never drops the sender's own.
  Peer* peer = find_peer(from);
  for (const Segment& segment : split_segments(datagram)) {
    // A host that sends back what it gets (an echo service) is not pushing anything.
    if (peer && peer->last_reply && segment.header == peer->last_reply->header &&
        payload_hash(segment.payload) == peer->last_reply->payload_hash) {
      continue;
    }
    if (segment.header.cmd == kCmdPush) {
      handle_push(peer, from, segment);
      if (!peer) peer = find_peer(from);
    } else if (segment.header.cmd == kCmdAck && peer) {
      handle_ack(*peer, segment.header);
    }
    if (peer) touch(*peer);
  }
}

SegmentTransport::Peer& SegmentTransport::admit(Peer&& fresh) {
  while (!by_address_.empty() && by_address_.size() >= std::max<std::size_t>(limits_.max_sessions, 1)) {
    drop_peer(eviction_victim());
  }
  fresh.last_active = now_;
  fresh.standing = kStranger;
  PeerList& strangers = peers_[kStranger];
  strangers.push_front(std::move(fresh));
  strangers.front().self = strangers.begin();
  by_address_[address_key(strangers.front().address)] = strangers.begin();
  return strangers.front();
}

SegmentTransport::PeerList::iterator SegmentTransport::eviction_victim() {
  if (!peers_[kStranger].empty()) return std::prev(peers_[kStranger].end());
  // The least recently active of the keyless and the long silent.
  std::optional<PeerList::iterator> victim;
  const auto consider = [&](Standing standing, bool only_idle) {
    PeerList& list = peers_[standing];
    if (list.empty()) return;
    const auto candidate = std::prev(list.end());
    if (only_idle && now_ - candidate->last_active < kTrustedIdleLimit) return;
    if (!victim || candidate->last_active < (*victim)->last_active) victim = candidate;
  };
  consider(kKnown, false);
  consider(kKeyed, true);
  consider(kConfirmed, true);
  if (victim) return *victim;
  if (!peers_[kKeyed].empty()) return std::prev(peers_[kKeyed].end());
  return std::prev(peers_[kConfirmed].end());
}

void SegmentTransport::drop_peer(PeerList::iterator it) {
  clear_replies(*it);
  by_address_.erase(address_key(it->address));
  peers_[it->standing].erase(it);
}

void SegmentTransport::touch(Peer& peer) {
  const PeerSession& s = peer.session;
  const bool confirmed = holds_our_key(s);
  const Standing standing = !peer.validated ? kStranger
                            : confirmed     ? kConfirmed
                            : s.session_key ? kKeyed
                                            : kKnown;
  peer.last_active = now_;
  peers_[standing].splice(peers_[standing].begin(), peers_[peer.standing], peer.self);
  peer.standing = standing;
}

void SegmentTransport::handle_push(Peer* known, SocketAddrV4 from, const Segment& segment) {
  const SegmentHeader& h = segment.header;
  // A push from an unknown address is handled on a session of its own that joins the table only
  // when its frame does not fail.
  std::optional<Peer> fresh;
  if (!known) fresh.emplace().address = from;
  Peer* peer = known ? known : &*fresh;
  if (peer->conv && *peer->conv != h.conv) {
    clear_replies(*peer);
    peer->next_sequence = 0;
  }
  peer->conv = h.conv;

  const std::uint16_t wnd = std::max(h.wnd, kMinWindow);
  SegmentHeader ack{h.conv, kCmdAck, 0, wnd, h.ts, h.sn, h.sn + 1, 0};
  send(encode_segment(ack, {}), from, peer->proven);

  if (auto cached = peer->sent_replies.find(h.sn); cached != peer->sent_replies.end()) {
    if (!echo_turn(*peer, *cached->second.segment)) send(*cached->second.segment, from, peer->proven);
    return;
  }

  auto outcome = handler_(segment.payload, peer->session, from);
  if (!outcome) {
    frame_failed(from, outcome.error(), segment.payload);
    return;
  }
  if (!known) peer = &admit(std::move(*fresh));
  if (holds_our_key(peer->session)) peer->proven = true;
  if (!*outcome) return;
  const Bytes& reply = **outcome;
  if (reply.size() > kMaxDatagram - kSegmentHeaderSize) {
    frame_failed(from,
                 Error::msg("Lyra reply segment of " +
                            std::to_string(reply.size() + kSegmentHeaderSize) +
                            " bytes exceeds the UDP limit of " + std::to_string(kMaxDatagram)),
                 segment.payload);
    return;
  }
  const std::uint32_t reply_sn = peer->next_sequence++;
  const auto ts = static_cast<std::uint32_t>(unix_millis(clock_->wall_now()));
  SegmentHeader head{h.conv, kCmdPush, 0, wnd, ts, reply_sn, h.sn + 1, 0};
  auto stored = std::make_shared<const Bytes>(encode_segment(head, reply));
  const bool held_back = echo_turn(*peer, *stored);
  if (!held_back) send(*stored, from, peer->proven);
  store_reply(*peer, h.sn, reply_sn, std::move(stored), !held_back);
}

bool SegmentTransport::echo_turn(Peer& peer, const Bytes& reply) {
  const SegmentHeader header = header_of(reply);
  const std::size_t hash = payload_hash(ByteSpan(reply).subspan(kSegmentHeaderSize));
  const std::optional<LastReply>& last = peer.last_reply;
  // Once replies are held back, the same reply soon again stays held back: nothing reached the
  // peer to acknowledge.
  const bool turn = last && (last->acknowledged || peer.echo_turns >= kMaxEchoTurns) &&
                    now_ - last->at < kResendInterval && last->header.len == header.len &&
                    last->payload_hash == hash;
  peer.echo_turns = turn ? static_cast<std::uint8_t>(std::min<int>(peer.echo_turns + 1, kMaxEchoTurns)) : 0;
  peer.last_reply = LastReply{header, hash, now_, false};
  return peer.echo_turns >= kMaxEchoTurns;
}

void SegmentTransport::handle_ack(Peer& peer, const SegmentHeader& h) {
  if (peer.conv && *peer.conv != h.conv) return;
  // Naming a reply of this conversation shows the address receives what is sent to it.
  if (h.sn < peer.next_sequence) peer.validated = true;
  if (peer.last_reply && (h.sn == peer.last_reply->header.sn || h.una > peer.last_reply->header.sn)) {
    peer.last_reply->acknowledged = true;
  }
  if (auto it = peer.pending.find(h.sn); it != peer.pending.end()) erase_pending(peer, it);
  while (!peer.pending.empty() && peer.pending.begin()->first < h.una) {
    erase_pending(peer, peer.pending.begin());
  }
}

void SegmentTransport::store_reply(Peer& peer, std::uint32_t push_sn, std::uint32_t reply_sn,
                                   SegmentPtr segment, bool resend_allowed) {
  if (auto old = peer.sent_replies.find(push_sn); old != peer.sent_replies.end()) {
    erase_cached(peer, old);
  }
  if (auto old = peer.pending.find(reply_sn); old != peer.pending.end()) erase_pending(peer, old);
  const bool cache = limits_.max_cached_replies > 0;
  // A reply to an address that has not acknowledged any goes out once; one held back, never.
  const bool resend = resend_allowed && peer.validated && limits_.max_pending_replies > 0;
  const std::size_t size = segment->size();
  while (cache && peer.sent_replies.size() >= limits_.max_cached_replies) {
    erase_cached(peer, oldest(peer.sent_replies));
  }
  while (resend && peer.pending.size() >= limits_.max_pending_replies) {
    erase_pending(peer, oldest(peer.pending));
  }
  if (!make_room((cache ? size : 0) + (resend ? size : 0))) return;
  if (cache) {
    hold(peer, size);
    peer.sent_replies[push_sn] = CachedReply{segment, next_order_};
  }
  if (resend) {
    hold(peer, size);
    const auto deadline = deadlines_.emplace(clock_->now() + kResendInterval, std::pair{&peer, reply_sn});
    peer.pending[reply_sn] = PendingReply{std::move(segment), deadline, 1, next_order_};
  }
  ++next_order_;
}

bool SegmentTransport::make_room(std::size_t needed) {
  if (needed > limits_.max_reply_bytes) return false;
  // The session holding the most gives up its oldest reply first, so that a flood fills only
  // its own share and a light session keeps what it holds.
  while (held_bytes_ + needed > limits_.max_reply_bytes) {
    Peer& heaviest = *by_weight_.rbegin()->second;
    auto cached = oldest(heaviest.sent_replies);
    auto pending = oldest(heaviest.pending);
    if (pending == heaviest.pending.end() ||
        (cached != heaviest.sent_replies.end() && cached->second.order <= pending->second.order)) {
      erase_cached(heaviest, cached);
    } else {
      erase_pending(heaviest, pending);
    }
  }
  return true;
}

void SegmentTransport::hold(Peer& peer, std::size_t bytes) {
  if (peer.held_bytes > 0) by_weight_.erase({peer.held_bytes, &peer});
  peer.held_bytes += bytes;
  held_bytes_ += bytes;
  by_weight_.emplace(peer.held_bytes, &peer);
}

void SegmentTransport::release(Peer& peer, std::size_t bytes) {
  by_weight_.erase({peer.held_bytes, &peer});
  peer.held_bytes -= bytes;
  held_bytes_ -= bytes;
  if (peer.held_bytes > 0) by_weight_.emplace(peer.held_bytes, &peer);
}

void SegmentTransport::clear_replies(Peer& peer) {
  for (const auto& [sn, p] : peer.pending) deadlines_.erase(p.deadline);
  if (peer.held_bytes > 0) release(peer, peer.held_bytes);
  peer.sent_replies.clear();
  peer.pending.clear();
  peer.last_reply.reset();
  peer.echo_turns = 0;
}

void SegmentTransport::erase_cached(Peer& peer,
                                    std::unordered_map<std::uint32_t, CachedReply>::iterator it) {
  release(peer, it->second.segment->size());
  peer.sent_replies.erase(it);
}

void SegmentTransport::erase_pending(Peer& peer, std::map<std::uint32_t, PendingReply>::iterator it) {
  deadlines_.erase(it->second.deadline);
  release(peer, it->second.segment->size());
  peer.pending.erase(it);
}

std::size_t SegmentTransport::resend_due(Clock::time_point now) {
  std::size_t resent = 0;
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    auto node = deadlines_.extract(deadlines_.begin());
    const auto [peer, sn] = node.mapped();
    const auto it = peer->pending.find(sn);
    PendingReply& p = it->second;
    send(*p.segment, peer->address, peer->proven);
    ++p.count;
    ++resent;
    events_(response_retransmit_event(peer->address, sn, p.count));
    if (p.count >= kMaxTransmissions) {
      release(*peer, p.segment->size());
      peer->pending.erase(it);
    } else {
      node.key() = now + kResendInterval;
      p.deadline = deadlines_.insert(std::move(node));
    }
  }
  return resent;
}

void SegmentTransport::send(ByteSpan bytes, SocketAddrV4 to, bool proven) {
  if (!proven && !amplification_.try_send(to.ip, bytes.size(), now_)) return;
  (void)socket_.send_to(bytes, SocketAddr(to));  // send failures are ignored; a pending reply goes again
}

void SegmentTransport::frame_failed(SocketAddrV4 peer, const Error& error, ByteSpan payload) {
  events_(frame_failed_event(peer, error.to_string(), payload));
}

}  // namespace sonvale::lyra
