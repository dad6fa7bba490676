#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/net.h"

namespace sonvale::mdns {

// Identity codes derived from the idm instance id: the URL-safe unpadded base64 form of the
// SHA-256 digest of its bytes, whole and as its first 3 and 10 characters.
struct IdmIdentity {
  std::string full;     // 43 characters
  std::string code3;    // first 3 characters
  std::string code10;   // first 10 characters
};

IdmIdentity idm_identity(std::string_view idm_instance_id);

// Keeps ASCII letters, digits, "-" and "_", in order, and drops everything else.
std::string sanitize_protocol_name(std::string_view name);

// The name under which the receiver is advertised: the sanitised name, "Quarnet" when nothing
// remains, cut to its first 45 bytes.
std::string advertised_name(std::string_view name);

// The Mi Connect instance name: the advertised name, "(", the 10-character identity code, ")".
std::string mi_connect_instance_name(std::string_view advertised, const IdmIdentity& identity);

// The device type byte of the Lyra discovery record: 0, 1, 4, 16 give 5; 2 gives 3; 3 gives 21;
// 5 gives 8; any other value 2.
std::uint8_t lyra_discovery_device_type(std::uint8_t device_type);

// The receiver's 8-character Lyra label: the last 8 hex digits of the Lyra instance id in upper
// case, or, with fewer than 8 hex digits, the IPv4 address's octets as upper-case hex.
std::string lyra_instance_label(std::string_view lyra_instance_id, Ipv4 address);

}  // namespace sonvale::mdns
