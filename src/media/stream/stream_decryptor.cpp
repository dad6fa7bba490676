#include "media/stream/stream_decryptor.h"

#include <algorithm>

namespace sonvale {

void StreamDecryptor::decrypt_start(std::span<std::uint8_t> payload) const {
  const std::size_t d = std::min(payload.size(), kMaxDecryptedBytes) / 16 * 16;
  if (d == 0) return;
  auto plain = aes128_cbc_decrypt(key_, iv_, ByteSpan(payload.first(d)));
  if (plain) std::copy(plain->begin(), plain->end(), payload.begin());
}

}  // namespace sonvale
