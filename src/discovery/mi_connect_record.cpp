#include "discovery/mi_connect_record.h"

#include <vector>

#include "core/encoding.h"
#include "discovery/dns_message.h"
#include "discovery/identity.h"
#include "discovery/service_response.h"

namespace sonvale::mdns {
namespace {

constexpr std::uint16_t kMiConnectPort = 56666;

bool is_ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

}  // namespace

std::optional<std::array<std::uint8_t, 6>> mac_from_media_device_id(std::string_view id) {
  std::string digits;
  for (char c : id) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
      digits.push_back(c);
    }
  }
  if (digits.size() != 12) return std::nullopt;
  const auto bytes = hex_decode(digits);
  if (!bytes) return std::nullopt;
  std::array<std::uint8_t, 6> mac{};
  for (std::size_t i = 0; i < 6; ++i) mac[i] = (*bytes)[i];
  return mac;
}

std::string mi_connect_account_code(std::optional<std::string_view> diagnostic,
                                    std::string_view idm_instance_id) {
  if (diagnostic && diagnostic->size() == 3 && is_ascii_alnum((*diagnostic)[0]) &&
      is_ascii_alnum((*diagnostic)[1]) && is_ascii_alnum((*diagnostic)[2])) {
    return std::string(*diagnostic);
  }
  return idm_identity(idm_instance_id).code3;
}

Bytes build_mi_connect_response(const MiConnectRecordParams& p) {
  const std::string account = mi_connect_account_code(p.diagnostic_account_id, p.idm_instance_id);
  std::vector<std::string> entries = {
      "version=196608",
      "apps=[5]",
      "flags=CgE=",
      "name=" + std::string(p.name),
      "idHash=" + base64_encode(as_bytes(account)),
      "dev=" + std::to_string(p.device_type),
      "sec=2",
      "appsData=gQAEBIMiww==",
  };
  if (const auto mac = mac_from_media_device_id(p.media_device_id)) {
    entries.push_back("mac=" + base64_encode(*mac));
  }
  ByteWriter txt;
  for (const auto& e : entries) write_character_string(txt, e);
  return build_service_response(ServiceResponseParams{
      "_mi-connect", p.instance, kMiConnectPort, txt.view(), p.address, p.ipv6});
}

}  // namespace sonvale::mdns
