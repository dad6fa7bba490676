#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/bytes.h"
#include "core/error.h"

struct evp_cipher_ctx_st;  // OpenSSL's EVP_CIPHER_CTX

// Thin wrappers over OpenSSL 3 EVP. Digests cannot fail short of memory exhaustion, which aborts.
namespace sonvale {

using Sha256Digest = std::array<std::uint8_t, 32>;
using Md5Digest = std::array<std::uint8_t, 16>;
using Aes128Key = std::array<std::uint8_t, 16>;
using AesBlock = std::array<std::uint8_t, 16>;

Sha256Digest sha256(ByteSpan data);
Md5Digest md5(ByteSpan data);
Sha256Digest hmac_sha256(ByteSpan key, ByteSpan data);

// AES-128-CBC over whole 16-byte blocks, no padding. `data.size()` must be a multiple of 16
// (checked: an error otherwise). The IV chaining is the caller's: the last ciphertext block is
// the next IV.
[[nodiscard]] Result<Bytes> aes128_cbc_encrypt(const Aes128Key& key, const AesBlock& iv,
                                               ByteSpan data);
[[nodiscard]] Result<Bytes> aes128_cbc_decrypt(const Aes128Key& key, const AesBlock& iv,
                                               ByteSpan data);
// The same over `data` itself, without a second buffer.
[[nodiscard]] Result<> aes128_cbc_encrypt_in_place(const Aes128Key& key, const AesBlock& iv,
                                                   std::span<std::uint8_t> data);
[[nodiscard]] Result<> aes128_cbc_decrypt_in_place(const Aes128Key& key, const AesBlock& iv,
                                                   std::span<std::uint8_t> data);

// AES-128-CBC decryption, no padding, of many messages under one key, each from its own IV: the
// key is expanded once, not per message. Used by one thread at a time.
class Aes128CbcDecryptor {
 public:
  explicit Aes128CbcDecryptor(const Aes128Key& key);

  // Decrypts `data` in place from `iv`; `data.size()` must be a multiple of 16 (checked). On a
  // failure the bytes stay as they were.
  [[nodiscard]] Result<> decrypt_in_place(const AesBlock& iv, std::span<std::uint8_t> data);

 private:
  struct Free {
    void operator()(::evp_cipher_ctx_st* ctx) const;
  };
  std::unique_ptr<::evp_cipher_ctx_st, Free> ctx_;
};

// Bytes from OpenSSL's cryptographically secure generator (RAND_bytes). Aborts if it fails:
// the system has no safe fallback for key material.
void random_fill(std::span<std::uint8_t> out);
Bytes random_bytes(std::size_t n);
std::uint64_t random_u64();
// ceil(n/2) random bytes as lowercase hex, cut to n characters.
std::string random_hex(std::size_t n);

}  // namespace sonvale
