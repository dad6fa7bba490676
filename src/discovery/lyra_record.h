#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/net.h"

namespace sonvale::mdns {

// What the Lyra service record ("_lyra-mdns._udp.local.") is built from; all fixed at
// registration.
struct LyraRecordParams {
  std::string_view name;            // the receiver name as configured (not sanitised)
  std::uint8_t lyra_device_type = 0;  // already mapped, see lyra_discovery_device_type
  std::string_view label;           // 8 characters "0"-"9", "A"-"F"
  Ipv4 address;
  std::string_view interface_name;  // as configured, unchanged
  std::optional<in6_addr> link_local;
  std::chrono::system_clock::time_point registered_at;
};

// The Lyra response: PTR answer; SRV (port 5353), TXT (AppData, MediumType, CH, DebugInfo, TS),
// A and, with a link-local address, AAAA additional records; every TTL 120, transaction id 0.
Bytes build_lyra_response(const LyraRecordParams& params);

// The AppData bytes of the TXT record (27 bytes plus the name cut to at most 63 bytes on a
// character boundary).
Bytes lyra_app_data(const LyraRecordParams& params);

// The DebugInfo address transform: groups between `separator`s other than the first and last
// have digits shifted 13 code points down and hex letters mapped to ";" ... "@".
std::string encode_xiaomi_debug_ip(std::string_view text, char separator);

}  // namespace sonvale::mdns
