#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"

namespace sonvale {

// The key material of one cast, each value the 16 bytes of a 16-character ASCII text.
struct StreamKeys {
  std::array<std::uint8_t, 16> auth_key{};  // HMAC-SHA256 key of the RTSP auth answer
  std::array<std::uint8_t, 16> aes_key{};   // AES-128 key of the encrypted PES starts
  std::array<std::uint8_t, 16> aes_iv{};    // initial CBC IV of that decryption

  // Each text must be exactly 16 bytes, all below 0x80; the first bad one is named.
  [[nodiscard]] static Result<StreamKeys> from_strings(std::string_view auth_key,
                                                       std::string_view aes_key,
                                                       std::string_view aes_iv);
  // Lowercase hex of the first 8 bytes of SHA-256(aes_key || aes_iv): 16 characters.
  std::string fingerprint() const;

  friend bool operator==(const StreamKeys&, const StreamKeys&) = default;
};

}  // namespace sonvale
