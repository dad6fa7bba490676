#include "protocol/safety_auth.h"

#include <algorithm>

#include <fmt/format.h>

#include "core/bytes.h"
#include "core/crypto.h"
#include "core/encoding.h"

namespace sonvale {

std::string generate_auth_key(SocketAddrV4 local, SocketAddrV4 peer) {
  std::string text = local.ip.to_string() + std::to_string(local.port) + peer.ip.to_string() +
                     std::to_string(peer.port);
  for (char& c : text) {
    if (c >= '0' && c <= '9') c = static_cast<char>('a' + (c - '0'));
  }
  const Md5Digest digest = md5(as_bytes(text));
  return hex_lower(digest);
}

std::array<std::uint8_t, 16> control_cipher_key(std::string_view auth_key) {
  std::array<std::uint8_t, 16> key{};
  const ByteSpan text = as_bytes(auth_key);
  std::copy_n(text.begin(), std::min(text.size(), key.size()), key.begin());
  return key;
}

std::string receiver_code(std::string_view id_code) {
  const Md5Digest digest = md5(as_bytes(id_code));
  ByteReader r(digest);
  const std::uint64_t n = *r.u64be() % 100000000000000ULL;
  return fmt::format("{:014}", n);
}

std::string random_hex_32() { return hex_lower(random_bytes(16)); }

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
  const Sha256Digest mac = hmac_sha256(as_bytes(key), as_bytes(message));
  return hex_lower(mac);
}

}  // namespace sonvale
