#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/amplification_limit.h"
#include "core/bytes.h"
#include "core/clock.h"
#include "core/event_sink.h"
#include "core/net.h"
#include "core/udp_socket.h"
#include "discovery/dns_message.h"
#include "discovery/interface_selection.h"

namespace sonvale::mdns {

inline constexpr std::uint16_t kMdnsPort = 5353;
inline constexpr Ipv4 kMdnsGroup = Ipv4::from_octets(224, 0, 0, 251);
inline constexpr char kLyraServiceType[] = "_lyra-mdns._udp.local";
inline constexpr char kMiConnectServiceType[] = "_mi-connect._udp.local";

// The prepared answers of one registration, read-only once built and shared with the discovery
// thread. The goodbye copies (every TTL 0) are made at registration too; a copy that could not be
// made is absent, and then no goodbye is sent for that service.
struct DiscoveryResponses {
  Bytes lyra_packet;
  Bytes mi_connect_packet;
  std::string lyra_label;
  std::string mi_connect_instance;
  std::optional<Bytes> lyra_goodbye;
  std::optional<Bytes> mi_connect_goodbye;
};

// When each service's records were last multicast on the receiver's interface; nothing before
// the first announcement.
struct LastMulticast {
  std::optional<Clock::time_point> lyra;
  std::optional<Clock::time_point> mi_connect;
};

// RFC 6762 section 6: a service's records are multicast on an interface at most once in this
// interval. A query within it is served by the answer the link has just heard.
inline constexpr std::chrono::seconds kMulticastInterval{1};

// What may be sent by unicast to one host of the link, which a query with a forged source could
// otherwise make a target of answers ten times its size: three times what arrived from the host,
// plus 4 KiB that it regains at 1 KiB a second, enough for a one-shot querier asking for both
// services every second. Answers to the group are held back by kMulticastInterval instead.
inline constexpr AmplificationPolicy kUnicastAnswerBudget{3, 4096, 1024};
inline constexpr std::size_t kUnicastAnswerHosts = 1024;

// What one received datagram gets (RFC 6762 sections 5.4, 6 and 11).
struct ReplyPlan {
  bool off_link = false;      // from a source that is no host of the link, and either
                              // unicast-addressed or asking for a unicast answer: ignored
  bool lyra = false;          // answer with the Lyra packet
  bool mi_connect = false;    // answer with the Mi Connect packet
  bool unsupported = false;   // questions were read, none matched
  SocketAddrV4 destination;   // where the answers go
};

// Decides what a datagram from `source`, received at `now`, gets. `destination` is the address
// the datagram was sent to (IP_PKTINFO): anything but a multicast address, or no address at all,
// makes it a unicast-addressed query. Answers go to the source when a question asks for a
// unicast response or the source port is not 5353, otherwise to `multicast_target`. Nothing is
// ever sent by unicast to an address that is not a host of the link (`OnLinkSources::is_host`),
// and a unicast-addressed query from such a source is ignored whatever it asks. A service whose
// records `last_multicast` shows multicast less than `kMulticastInterval` before `now` is not
// multicast again; unicast answers are never held back. Each service is answered at most once.
ReplyPlan plan_replies(const std::vector<DnsQuestion>& questions, SocketAddrV4 source,
                       std::optional<Ipv4> destination, const DiscoveryResponses& responses,
                       const OnLinkSources& on_link, SocketAddrV4 multicast_target,
                       const LastMulticast& last_multicast, Clock::time_point now);

// Everything the responder loop works with; one record, handed over whole.
struct ResponderParams {
  std::shared_ptr<const DiscoveryResponses> responses;
  Ipv4 address;                    // the receiver's, for "discovery_receive_failed"
  SocketAddrV4 multicast_target;   // 224.0.0.251:5353
  SocketAddrV4 broadcast_target;   // the interface's broadcast address (or 255.255.255.255):5353
  OnLinkSources on_link;
  std::shared_ptr<std::atomic<bool>> stop_flag;
  EventSink events;
  std::shared_ptr<const Clock> clock;
};

// The responder: "discovery_publication_profile", then announcements (3 startup rounds 250 ms
// apart, then one round every 30 s), answers to matching queries, events for every datagram;
// returns after the stop flag was seen set and the three rounds of goodbyes went out. Every
// announcement and every answer to the group that was sent counts as the service's last
// multicast. A unicast answer beyond its host's kUnicastAnswerBudget is not sent, like an answer
// to the group held back, and reported by no event.
void run_responder(DatagramSocket& socket, const ResponderParams& params);

}  // namespace sonvale::mdns
