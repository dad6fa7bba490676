#pragma once

// Every event the multicast DNS advertisement emits, built here: the registration's reports,
// the responder's rounds, packets and answers, and the peer browsers'.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/bytes.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/net.h"

namespace sonvale::mdns {

struct IdmIdentity;

// Registration. `link_local` and `mi_connect_ipv6` are JSON texts or null; `interfaces` the
// inventory list.
Json interface_inventory_event(Ipv4 requested_address, const std::string& requested_interface,
                               Json link_local, Json mi_connect_ipv6, Json interfaces);
Json identity_ready_event(const IdmIdentity& identity, std::uint8_t device_type,
                          std::uint8_t lyra_discovery_type);

// Responder.
Json publication_profile_event();
// One announcement or goodbye round of one service.
struct RoundReport {
  const char* service = "";
  SocketAddrV4 destination;
  std::size_t bytes = 0;
  int round = 0;
  const char* reason = "";
  bool success = false;
  bool broadcast_success = false;
};
Json announcement_event(const RoundReport& report);
Json goodbye_event(const RoundReport& report);
Json receive_failed_event(Ipv4 address, std::uint16_t port, std::string message);
Json packet_received_event(const std::string& source, ByteSpan datagram);
Json query_unsupported_event(const std::string& source, ByteSpan datagram, Json query);
Json query_answered_event(const char* service, SocketAddrV4 source, SocketAddrV4 destination,
                          ByteSpan query, ByteSpan reply, bool success);

// Peer browsers; `family` is "ipv4" or "ipv6", `local` the browser's socket address.
Json peer_query_event(const std::string& family, const std::string& local, const std::string& destination,
                      ByteSpan query, std::uint64_t round, bool startup_burst, const Result<>& sent);
Json peer_browser_failed_event(const std::string& family, const std::string& local, std::string message);
Json peer_packet_event(bool found, bool names_service, const std::string& family, const std::string& source,
                       const std::string& local, ByteSpan datagram);

}  // namespace sonvale::mdns
