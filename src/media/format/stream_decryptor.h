#pragma once

#include <cstddef>
#include <span>

#include "core/crypto.h"
#include "media/format/stream_keys.h"

namespace sonvale {

// Decrypts the encrypted start of the audio PES payloads of one cast: AES-128-CBC over the
// first whole blocks, at most 256 bytes, each PES starting again from the current IV. A PES
// header may renew that IV for its own and every later payload. Owned by the reader thread.
class StreamDecryptor {
 public:
  static constexpr std::size_t kMaxDecryptedBytes = 256;

  explicit StreamDecryptor(const StreamKeys& keys) : cipher_(keys.aes_key), iv_(keys.aes_iv) {}

  void renew_iv(const AesBlock& iv) { iv_ = iv; }
  const AesBlock& iv() const { return iv_; }

  // Decrypts the start of `payload` in place. Whole blocks under a valid key cannot fail; should
  // the library fail all the same, the bytes stay as received.
  void decrypt_start(std::span<std::uint8_t> payload);

 private:
  Aes128CbcDecryptor cipher_;  // the key, expanded once for the whole cast
  AesBlock iv_;
};

}  // namespace sonvale
