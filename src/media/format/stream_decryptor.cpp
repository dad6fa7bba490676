#include "media/format/stream_decryptor.h"

#include <algorithm>

namespace sonvale {

void StreamDecryptor::decrypt_start(std::span<std::uint8_t> payload) {
  const std::size_t d = std::min(payload.size(), kMaxDecryptedBytes) / 16 * 16;
  (void)cipher_.decrypt_in_place(iv_, payload.first(d));
}

}  // namespace sonvale
