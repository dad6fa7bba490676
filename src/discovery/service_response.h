#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/bytes.h"
#include "core/net.h"

namespace sonvale::mdns {

// One DNS-SD service (RFC 6763) as the receiver answers for it: the instance label names both the
// service instance and its host.
struct ServiceResponseParams {
  std::string_view service;   // the service type's first label, "_lyra-mdns"; then "_udp.local"
  std::string_view instance;  // one label of 1 to 63 bytes
  std::uint16_t port = 0;     // the SRV record's
  ByteSpan txt;               // the TXT record's data, character-strings already written
  Ipv4 address;
  std::optional<in6_addr> ipv6;
};

// The response (RFC 6762 section 6): transaction id 0, flags 0x8400; the PTR record
// (service type -> instance) as the answer; SRV (instance -> "<instance>.local", priority and
// weight 0), TXT, A and, with an IPv6 address, AAAA as additional records. Every TTL is 120;
// every record but the PTR has the cache-flush bit. Later names point back at the first ones.
Bytes build_service_response(const ServiceResponseParams& params);

}  // namespace sonvale::mdns
