#include "lyra/segment_transport.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/encoding.h"

namespace sonvale::lyra {
namespace {

std::uint64_t address_key(SocketAddrV4 a) {
  return (std::uint64_t{a.ip.value} << 16) | a.port;
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
      limits_(limits) {}

std::size_t SegmentTransport::pending_count() const {
  std::size_t n = 0;
  for (const Peer& p : peers_) n += p.pending.size();
  return n;
}

std::size_t SegmentTransport::cached_count() const {
  std::size_t n = 0;
  for (const Peer& p : peers_) n += p.sent_replies.size();
  return n;
}

const PeerSession* SegmentTransport::find_session(SocketAddrV4 peer) const {
  auto it = by_address_.find(address_key(peer));
  return it == by_address_.end() ? nullptr : &it->second->session;
}

void SegmentTransport::on_datagram(ByteSpan datagram, SocketAddrV4 from) {
  events_(Json{{"event", "lyra_packet_received"},
               {"protocol", "xiaomi_zedidi"},
               {"peer", from.to_string()},
               {"bytes", datagram.size()}});
  for (const Segment& segment : split_segments(datagram)) {
    Peer& peer = touch_peer(from);
    if (segment.header.cmd == kCmdPush) {
      handle_push(peer, segment);
    } else if (segment.header.cmd == kCmdAck) {
      handle_ack(peer, segment.header);
    }
  }
}

SegmentTransport::Peer& SegmentTransport::touch_peer(SocketAddrV4 from) {
  const std::uint64_t key = address_key(from);
  if (auto it = by_address_.find(key); it != by_address_.end()) {
    peers_.splice(peers_.begin(), peers_, it->second);
    return peers_.front();
  }
  while (!peers_.empty() && peers_.size() >= limits_.max_sessions) drop_peer(std::prev(peers_.end()));
  peers_.emplace_front();
  peers_.front().address = from;
  by_address_[key] = peers_.begin();
  return peers_.front();
}

void SegmentTransport::drop_peer(PeerList::iterator it) {
  clear_replies(*it);
  by_address_.erase(address_key(it->address));
  peers_.erase(it);
}

void SegmentTransport::handle_push(Peer& peer, const Segment& segment) {
  const SegmentHeader& h = segment.header;
  if (peer.conv && *peer.conv != h.conv) {
    clear_replies(peer);
    peer.next_sequence = 0;
  }
  peer.conv = h.conv;

  const std::uint16_t wnd = std::max(h.wnd, kMinWindow);
  SegmentHeader ack{h.conv, kCmdAck, 0, wnd, h.ts, h.sn, h.sn + 1, 0};
  send(encode_segment(ack, {}), peer.address);

  if (auto cached = peer.sent_replies.find(h.sn); cached != peer.sent_replies.end()) {
    send(*cached->second.segment, peer.address);
    return;
  }

  auto outcome = handler_(segment.payload, peer.session, peer.address);
  if (!outcome) {
    frame_failed(peer, outcome.error(), segment.payload);
    return;
  }
  if (!*outcome) return;
  const Bytes& reply = **outcome;
  if (reply.size() > kMaxDatagram - kSegmentHeaderSize) {
    frame_failed(peer,
                 Error::msg("Lyra reply segment of " +
                            std::to_string(reply.size() + kSegmentHeaderSize) +
                            " bytes exceeds the UDP limit of " + std::to_string(kMaxDatagram)),
                 segment.payload);
    return;
  }
  const std::uint32_t reply_sn = peer.next_sequence++;
  const auto ts = static_cast<std::uint32_t>(unix_millis(clock_->wall_now()));
  SegmentHeader head{h.conv, kCmdPush, 0, wnd, ts, reply_sn, h.sn + 1, 0};
  auto stored = std::make_shared<const Bytes>(encode_segment(head, reply));
  send(*stored, peer.address);
  store_reply(peer, h.sn, reply_sn, std::move(stored));
}

void SegmentTransport::handle_ack(Peer& peer, const SegmentHeader& h) {
  if (peer.conv && *peer.conv != h.conv) return;
  if (auto it = peer.pending.find(h.sn); it != peer.pending.end()) erase_pending(peer, it);
  while (!peer.pending.empty() && peer.pending.begin()->first < h.una) {
    erase_pending(peer, peer.pending.begin());
  }
}

void SegmentTransport::store_reply(Peer& peer, std::uint32_t push_sn, std::uint32_t reply_sn,
                                   SegmentPtr segment) {
  if (auto old = peer.sent_replies.find(push_sn); old != peer.sent_replies.end()) {
    erase_cached(peer, old);
  }
  if (!make_room(peer, 2 * segment->size())) return;
  while (peer.sent_replies.size() >= limits_.max_cached_replies && !peer.sent_replies.empty()) {
    erase_cached(peer, oldest(peer.sent_replies));
  }
  while (peer.pending.size() >= limits_.max_pending_replies && !peer.pending.empty()) {
    erase_pending(peer, oldest(peer.pending));
  }
  held_bytes_ += 2 * segment->size();
  if (limits_.max_cached_replies > 0) {
    peer.sent_replies[push_sn] = CachedReply{segment, next_order_};
  } else {
    held_bytes_ -= segment->size();
  }
  if (limits_.max_pending_replies > 0) {
    peer.pending[reply_sn] =
        PendingReply{std::move(segment), clock_->now() + kResendInterval, 1, next_order_};
    with_pending_.insert(&peer);
  } else {
    held_bytes_ -= segment->size();
  }
  ++next_order_;
}

bool SegmentTransport::make_room(Peer& peer, std::size_t needed) {
  if (needed > limits_.max_reply_bytes) return false;
  for (auto it = peers_.rbegin(); it != peers_.rend() && held_bytes_ + needed > limits_.max_reply_bytes;
       ++it) {
    if (&*it != &peer) clear_replies(*it);
  }
  while (held_bytes_ + needed > limits_.max_reply_bytes && !peer.sent_replies.empty()) {
    erase_cached(peer, oldest(peer.sent_replies));
  }
  while (held_bytes_ + needed > limits_.max_reply_bytes && !peer.pending.empty()) {
    erase_pending(peer, oldest(peer.pending));
  }
  return held_bytes_ + needed <= limits_.max_reply_bytes;
}

void SegmentTransport::clear_replies(Peer& peer) {
  for (const auto& [sn, c] : peer.sent_replies) held_bytes_ -= c.segment->size();
  for (const auto& [sn, p] : peer.pending) held_bytes_ -= p.segment->size();
  peer.sent_replies.clear();
  peer.pending.clear();
  with_pending_.erase(&peer);
}

void SegmentTransport::erase_cached(Peer& peer,
                                    std::unordered_map<std::uint32_t, CachedReply>::iterator it) {
  held_bytes_ -= it->second.segment->size();
  peer.sent_replies.erase(it);
}

void SegmentTransport::erase_pending(Peer& peer, std::map<std::uint32_t, PendingReply>::iterator it) {
  held_bytes_ -= it->second.segment->size();
  peer.pending.erase(it);
  if (peer.pending.empty()) with_pending_.erase(&peer);
}

void SegmentTransport::resend_due(Clock::time_point now) {
  std::vector<Peer*> done;
  for (Peer* peer : with_pending_) {
    const std::string address = peer->address.to_string();
    for (auto& [sn, p] : peer->pending) {
      if (now < p.deadline || p.count >= kMaxTransmissions) continue;
      send(*p.segment, peer->address);
      ++p.count;
      p.deadline = now + kResendInterval;
      events_(Json{{"event", "lyra_response_retransmit"},
                   {"protocol", "xiaomi_zedidi"},
                   {"peer", address},
                   {"sequence", sn},
                   {"count", p.count}});
    }
    for (auto it = peer->pending.begin(); it != peer->pending.end();) {
      if (it->second.count >= kMaxTransmissions) {
        held_bytes_ -= it->second.segment->size();
        it = peer->pending.erase(it);
      } else {
        ++it;
      }
    }
    if (peer->pending.empty()) done.push_back(peer);
  }
  for (Peer* peer : done) with_pending_.erase(peer);
}

void SegmentTransport::send(ByteSpan bytes, SocketAddrV4 to) {
  (void)socket_.send_to(bytes, SocketAddr(to));  // send failures are ignored; a pending reply goes again
}

void SegmentTransport::frame_failed(const Peer& peer, const Error& error, ByteSpan payload) {
  events_(Json{{"event", "error"},
               {"code", "zedidi_lyra_frame_failed"},
               {"peer", peer.address.to_string()},
               {"message", error.to_string()},
               {"wire_hex", hex_lower(payload)}});
}

}  // namespace sonvale::lyra
