#include "discovery/identity.h"

#include "core/crypto.h"
#include "core/encoding.h"

namespace sonvale::mdns {

IdmIdentity idm_identity(std::string_view idm_instance_id) {
  const Sha256Digest digest = sha256(as_bytes(idm_instance_id));
  IdmIdentity id;
  id.full = base64url_encode(digest);
  id.code3 = id.full.substr(0, 3);
  id.code10 = id.full.substr(0, 10);
  return id;
}

std::string sanitize_protocol_name(std::string_view name) {
  std::string out;
  for (char c : name) {
    const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
    if (keep) out.push_back(c);
  }
  return out;
}

std::string advertised_name(std::string_view name) {
  std::string out = sanitize_protocol_name(name);
  if (out.empty()) return "Quarnet";
  if (out.size() > 45) out.resize(45);
  return out;
}

std::string mi_connect_instance_name(std::string_view advertised, const IdmIdentity& identity) {
  return std::string(advertised) + "(" + identity.code10 + ")";
}

std::uint8_t lyra_discovery_device_type(std::uint8_t device_type) {
  switch (device_type) {
    case 0:
    case 1:
    case 4:
    case 16:
      return 5;
    case 2:
      return 3;
    case 3:
      return 21;
    case 5:
      return 8;
    default:
      return 2;
  }
}

std::string lyra_instance_label(std::string_view lyra_instance_id, Ipv4 address) {
  std::string hex;
  for (char c : lyra_instance_id) {
    if (c >= '0' && c <= '9') {
      hex.push_back(c);
    } else if (c >= 'a' && c <= 'f') {
      hex.push_back(static_cast<char>(c - 'a' + 'A'));
    } else if (c >= 'A' && c <= 'F') {
      hex.push_back(c);
    }
  }
  if (hex.size() >= 8) return hex.substr(hex.size() - 8);
  const std::uint8_t octets[4] = {address.octet(0), address.octet(1), address.octet(2),
                                  address.octet(3)};
  return hex_upper(octets);
}

}  // namespace sonvale::mdns
