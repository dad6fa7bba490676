#pragma once

#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/bytes.h"
#include "core/net.h"

namespace sonvale::mdns {

// The environment variable whose value, when it is exactly three ASCII letters or digits,
// replaces the account code of the Mi Connect record.
inline constexpr char kDiagnosticAccountEnv[] = "QUARNET_SONVALE_DIAGNOSTIC_ACCOUNT_ID";

// What the Mi Connect record ("_mi-connect._udp.local.") is built from.
struct MiConnectRecordParams {
  std::string_view name;      // the receiver name as configured: TXT "name="
  std::string_view instance;  // the Mi Connect instance name, one label of 1 to 63 bytes
  std::string_view idm_instance_id;
  std::string_view media_device_id;  // source of the optional TXT "mac="
  std::uint8_t device_type = 3;      // TXT "dev=", unmapped
  Ipv4 address;
  std::optional<in6_addr> ipv6;
  // The diagnostic account variable's value as read from the environment, when it is set.
  std::optional<std::string_view> diagnostic_account_id;
};

// The Mi Connect response: PTR answer; SRV (port 56666), TXT, A and, with an IPv6 address, AAAA
// additional records; every TTL 120, transaction id 0.
Bytes build_mi_connect_response(const MiConnectRecordParams& params);

// The six MAC bytes when the media device id holds exactly 12 hex digits (other characters are
// skipped).
std::optional<std::array<std::uint8_t, 6>> mac_from_media_device_id(std::string_view id);

// The three-character account code: the diagnostic value when it is three ASCII letters or
// digits, else the identity's three-character code.
std::string mi_connect_account_code(std::optional<std::string_view> diagnostic,
                                    std::string_view idm_instance_id);

}  // namespace sonvale::mdns
