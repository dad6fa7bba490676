#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/bytes.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/socket_addr.h"
#include "core/thread.h"
#include "core/udp_socket.h"

namespace sonvale::mdns {

// The 39-byte PTR query for "_lyra-mdns._udp.local" with the unicast-response bit set.
Bytes lyra_peer_query();

// How a datagram that reached a browser is reported.
struct PeerVerdict {
  bool found = false;          // "discovery_peer_found", else "discovery_peer_packet_ignored"
  bool names_service = false;  // the Lyra service type's wire form occurs in the datagram
};

// Found when the datagram has a whole DNS header, its QR bit is set, and the 23 bytes of the
// Lyra service type's wire form occur in it (byte for byte). Only the bytes given are read: a
// datagram shorter than 23 bytes cannot name the service.
PeerVerdict classify_peer_datagram(ByteSpan datagram);

// A UDP socket bound to the receiver's address on an ephemeral port, multicast interface that
// address, TTLs 255, loopback off, receive time-out 250 ms.
[[nodiscard]] Result<UdpSocket> create_ipv4_browser_socket(Ipv4 address);
// The IPv6 counterpart, bound to the link-local address with `index` as scope; fails before any
// socket exists unless the index is non-zero and the address in fe80::/10.
[[nodiscard]] Result<UdpSocket> create_ipv6_browser_socket(std::uint32_t index,
                                                           const in6_addr& link_local);

struct PeerBrowserParams {
  std::string family;  // "ipv4" or "ipv6"
  SocketAddr destination;
  std::shared_ptr<std::atomic<bool>> stop_flag;
  EventSink events;
  std::shared_ptr<const Clock> clock;
};

// The browser loop on the calling thread: queries 1 s apart three times, then every 300 s,
// reports every datagram `socket` receives and every receive failure (then pauses 200 ms), and
// returns once the stop flag is set. Events name the socket's own address as `local_address`.
void run_peer_browser(DatagramSocket& socket, std::string local_address,
                      const PeerBrowserParams& params);

// Starts "sonvale-<family>-peer-browser", which runs `run_peer_browser` over `socket` with its
// local address as the system reports it ("unknown" when it cannot be read). The thread is
// joined when the returned handle is destroyed.
[[nodiscard]] Result<JoiningThread> spawn_lyra_peer_browser(UdpSocket socket,
                                                            PeerBrowserParams params);

}  // namespace sonvale::mdns
