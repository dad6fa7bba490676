#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/bytes.h"
#include "core/crypto/secret.h"
#include "core/error.h"

struct evp_pkey_st;

namespace sonvale {

inline constexpr std::size_t kP256PointSize = 65;
// An uncompressed SEC1 point: 0x04, then X and Y, 32 bytes each, big-endian (SEC 1 2.3.3).
using P256Point = std::array<std::uint8_t, kP256PointSize>;

// A peer's P-256 public key, validated as a point of the curve.
class P256PublicKey {
 public:
  // Only the 65-byte uncompressed form is taken (OpenSSL would also take compressed and hybrid
  // points); a point off the curve or with a coordinate not below p fails.
  [[nodiscard]] static Result<P256PublicKey> parse(ByteSpan sec1);

  P256PublicKey(P256PublicKey&&) noexcept;
  P256PublicKey& operator=(P256PublicKey&&) noexcept;
  ~P256PublicKey();

 private:
  friend class P256PrivateKey;
  explicit P256PublicKey(evp_pkey_st* key) : key_(key) {}
  evp_pkey_st* key_;
};

// A P-256 private key for ECDH (NIST SP 800-56A). OpenSSL wipes the scalar when it is freed.
class P256PrivateKey {
 public:
  // A fresh random key from OpenSSL's generator.
  [[nodiscard]] static Result<P256PrivateKey> generate();
  // The key of a known scalar (32 bytes, big-endian; 0 < scalar < n), for known-answer tests.
  [[nodiscard]] static Result<P256PrivateKey> from_scalar(std::span<const std::uint8_t, 32> scalar);

  P256PrivateKey(P256PrivateKey&&) noexcept;
  P256PrivateKey& operator=(P256PrivateKey&&) noexcept;
  ~P256PrivateKey();

  [[nodiscard]] Result<P256Point> public_point() const;
  // The shared secret: the 32-byte big-endian x-coordinate of the product, leading zeros kept.
  [[nodiscard]] Result<Secret<32>> shared_secret(const P256PublicKey& peer) const;

 private:
  explicit P256PrivateKey(evp_pkey_st* key) : key_(key) {}
  evp_pkey_st* key_;
};

}  // namespace sonvale
