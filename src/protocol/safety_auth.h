#pragma once

// The keys and codes of the SafetyAuth handshake of a control connection, derived from the
// connection's two socket addresses and the receiver's identity. Pure functions apart from the
// random challenge.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/net.h"

namespace sonvale {

// The 32 lowercase hex characters of MD5 over local ip, local port, peer ip, peer port (no
// separators) with every digit d replaced by the letter 'a' + d.
std::string generate_auth_key(SocketAddrV4 local, SocketAddrV4 peer);
// The AES-128 key of both directions' bodies: the first 16 characters of the auth key.
std::array<std::uint8_t, 16> control_cipher_key(std::string_view auth_key);
// 14 decimal digits: the first 8 MD5 bytes of the code (big-endian) modulo 10^14, zero-filled.
std::string receiver_code(std::string_view id_code);
// The receiver's own challenge: 16 random bytes in lowercase hex.
std::string random_hex_32();
// HMAC-SHA256 of `message` keyed with `key`, lowercase hex.
std::string hmac_sha256_hex(std::string_view key, std::string_view message);

}  // namespace sonvale
