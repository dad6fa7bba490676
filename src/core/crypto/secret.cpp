#include "core/crypto/secret.h"

#include <openssl/crypto.h>

namespace sonvale {

void wipe(std::span<std::uint8_t> bytes) {
  if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
}

}  // namespace sonvale
