#pragma once

#include <cstdint>
#include <span>

#include "core/bytes.h"
#include "core/crypto/secret.h"
#include "core/error.h"

namespace sonvale {

inline constexpr std::size_t kGcmNonceSize = 12;
inline constexpr std::size_t kGcmTagSize = 16;

using GcmNonce = std::span<const std::uint8_t, kGcmNonceSize>;
using GcmTag = std::span<const std::uint8_t, kGcmTagSize>;

// AES-256-GCM with 96-bit nonces, 128-bit tags and no associated data (NIST SP 800-38D).
class Aes256Gcm {
 public:
  // Fails when the cipher cannot be set up with the key.
  [[nodiscard]] static Result<Aes256Gcm> create(const Key256& key);

  // Ciphertext followed by the 16-byte tag.
  [[nodiscard]] Result<Bytes> seal(GcmNonce nonce, ByteSpan plaintext) const;
  // The same written into `out`, which holds exactly plaintext.size() + 16 bytes.
  [[nodiscard]] Result<> seal_into(GcmNonce nonce, ByteSpan plaintext, std::span<std::uint8_t> out) const;
  // The plaintext, or a failure when the tag does not verify; nothing of an unverified
  // plaintext is returned.
  [[nodiscard]] Result<Bytes> open(GcmNonce nonce, ByteSpan ciphertext, GcmTag tag) const;

 private:
  explicit Aes256Gcm(const Key256& key) : key_(key) {}
  Key256 key_;
};

}  // namespace sonvale
