#include "discovery/peer_browser.h"

#include <algorithm>
#include <array>
#include <vector>

#include "core/encoding.h"
#include "discovery/dns_message.h"
#include "discovery/interface_selection.h"
#include "discovery/mdns_events.h"

namespace sonvale::mdns {
namespace {

constexpr std::uint8_t kLyraServiceWire[] = {10,  '_', 'l', 'y', 'r', 'a', '-', 'm', 'd', 'n', 's', 4,
                                             '_', 'u', 'd', 'p', 5,   'l', 'o', 'c', 'a', 'l', 0};

constexpr auto kReceiveTimeout = std::chrono::milliseconds(250);
constexpr auto kBurstInterval = std::chrono::seconds(1);
constexpr auto kRefreshInterval = std::chrono::seconds(300);
constexpr auto kReceiveErrorPause = std::chrono::milliseconds(200);
constexpr std::uint64_t kBurstRounds = 3;

class PeerBrowser {
 public:
  PeerBrowser(DatagramSocket& socket, std::string local_address, const PeerBrowserParams& params)
      : socket_(socket),
        p_(params),
        query_(lyra_peer_query()),
        local_text_(std::move(local_address)) {}

  void run() {
    std::vector<std::uint8_t> buf(4096, 0);
    std::uint64_t round = 0;
    Clock::time_point deadline = p_.clock->now();
    while (!p_.stop_flag->load(std::memory_order_acquire)) {
      // The next round is due an interval after the instant this one was found due.
      const Clock::time_point now = p_.clock->now();
      if (now >= deadline) {
        ++round;
        query(round);
        deadline = now + (round < kBurstRounds ? kBurstInterval : kRefreshInterval);
      }
      receive_one(buf);
    }
  }

 private:
  void query(std::uint64_t round) {
    const auto sent = socket_.send_to(query_, p_.destination);
    p_.events(peer_query_event(p_.family, local_text_, p_.destination.to_string(), query_, round,
                               round <= kBurstRounds, sent));
  }

  void receive_one(std::vector<std::uint8_t>& buf) {
    const auto got = receive_or_report(socket_, buf, kReceiveErrorPause, [this](const Error& e) {
      p_.events(peer_browser_failed_event(p_.family, local_text_, e.to_string()));
    });
    if (!got) return;
    // Only the bytes of this datagram are looked at, never what an earlier one left behind.
    const ByteSpan datagram(buf.data(), got->size);
    const PeerVerdict v = classify_peer_datagram(datagram);
    p_.events(peer_packet_event(v.found, v.names_service, p_.family, got->from.to_string(), local_text_,
                                datagram));
  }

  DatagramSocket& socket_;
  const PeerBrowserParams& p_;
  const Bytes query_;
  const std::string local_text_;
};

}  // namespace

Bytes lyra_peer_query() {
  ByteWriter w(39);
  w.u16be(0).u16be(0).u16be(1).u16be(0).u16be(0).u16be(0);
  w.bytes(kLyraServiceWire);
  w.u16be(kDnsTypePtr).u16be(kDnsClassInFlush);
  return w.take();
}

PeerVerdict classify_peer_datagram(ByteSpan datagram) {
  PeerVerdict v;
  const ByteSpan needle(kLyraServiceWire);
  v.names_service =
      datagram.size() >= needle.size() &&
      std::search(datagram.begin(), datagram.end(), needle.begin(), needle.end()) != datagram.end();
  const bool response = datagram.size() >= kDnsHeaderBytes && (datagram[2] & 0x80) != 0;
  v.found = response && v.names_service;
  return v;
}

Result<UdpSocket> create_ipv4_browser_socket(Ipv4 address) {
  SV_ASSIGN_OR_RETURN(
      UdpSocket s, with_context(UdpSocket::open(AF_INET), "create IPv4 Lyra peer browser socket"));
  SV_TRY(with_context(s.bind(SocketAddr(SocketAddrV4{address, 0})),
                      [&] { return "bind IPv4 Lyra peer browser to " + address.to_string(); }));
  const in_addr ifaddr = address.to_in_addr();
  SV_TRY(with_context(s.set_option_raw(IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr),
                      "select IPv4 Lyra peer browser adapter"));
  SV_TRY(s.set_options({
      {IPPROTO_IP, IP_MULTICAST_TTL, 255, "set IPv4 Lyra peer browser multicast TTL"},
      {IPPROTO_IP, IP_TTL, 255, "set IPv4 Lyra peer browser unicast TTL"},
      {IPPROTO_IP, IP_MULTICAST_LOOP, 0, "disable IPv4 Lyra peer browser loopback"},
  }));
  SV_TRY(with_context(s.set_recv_timeout(kReceiveTimeout),
                      "set IPv4 Lyra peer browser receive timeout"));
  return s;
}

Result<UdpSocket> create_ipv6_browser_socket(std::uint32_t index, const in6_addr& link_local) {
  if (index == 0 || !is_link_local_ipv6(link_local)) {
    return fail(Error::msg("selected ZeDidi interface has no usable IPv6 link-local address"));
  }
  SV_ASSIGN_OR_RETURN(
      UdpSocket s, with_context(UdpSocket::open(AF_INET6), "create IPv6 Lyra peer browser socket"));
  SV_TRY(with_context(s.set_option(IPPROTO_IPV6, IPV6_V6ONLY, 1),
                      "restrict IPv6 Lyra peer browser to IPv6"));
  const SocketAddr bind_addr = SocketAddr::v6(link_local, 0, index);
  SV_TRY(with_context(s.bind(bind_addr),
                      [&] { return "bind IPv6 Lyra peer browser to " + bind_addr.to_string(); }));
  SV_TRY(s.set_options({
      {IPPROTO_IPV6, IPV6_MULTICAST_IF, static_cast<int>(index),
       "select IPv6 Lyra peer browser adapter"},
      {IPPROTO_IPV6, IPV6_MULTICAST_HOPS, 255, "set IPv6 Lyra peer browser multicast hop limit"},
      {IPPROTO_IPV6, IPV6_UNICAST_HOPS, 255, "set IPv6 Lyra peer browser unicast hop limit"},
      {IPPROTO_IPV6, IPV6_MULTICAST_LOOP, 0, "disable IPv6 Lyra peer browser loopback"},
  }));
  SV_TRY(with_context(s.set_recv_timeout(kReceiveTimeout),
                      "set IPv6 Lyra peer browser receive timeout"));
  return s;
}

void run_peer_browser(DatagramSocket& socket, std::string local_address,
                      const PeerBrowserParams& params) {
  PeerBrowser(socket, std::move(local_address), params).run();
}

Result<JoiningThread> spawn_lyra_peer_browser(UdpSocket socket, PeerBrowserParams params) {
  const std::string name = "sonvale-" + params.family + "-peer-browser";
  auto body = [socket = std::move(socket), params = std::move(params)]() mutable {
    const auto local = socket.local_address();
    run_peer_browser(socket, local ? local->to_string() : "unknown", params);
  };
  SV_ASSIGN_OR_RETURN(std::thread thread,
                      with_context(spawn_named(name, std::move(body)), "spawn Lyra peer browser"));
  return JoiningThread(std::move(thread));
}

}  // namespace sonvale::mdns
