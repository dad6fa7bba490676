#include "media/format/stream_keys.h"

#include <algorithm>
#include <cstring>

#include "core/crypto.h"
#include "core/encoding.h"

namespace sonvale {
namespace {

Result<> copy_key(std::string_view text, std::string_view field, std::array<std::uint8_t, 16>* out) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (text.size() != out->size() || !ascii) {
    return fail(Error::msg(std::string(field) + " must contain exactly 16 ASCII bytes"));
  }
  std::memcpy(out->data(), text.data(), out->size());
  return {};
}

}  // namespace

Result<StreamKeys> StreamKeys::from_strings(std::string_view auth_key, std::string_view aes_key,
                                            std::string_view aes_iv) {
  StreamKeys keys;
  SV_TRY(copy_key(auth_key, "RTSP auth key", &keys.auth_key));
  SV_TRY(copy_key(aes_key, "media AES key", &keys.aes_key));
  SV_TRY(copy_key(aes_iv, "media AES IV", &keys.aes_iv));
  return keys;
}

std::string StreamKeys::fingerprint() const {
  std::array<std::uint8_t, 32> material{};
  std::memcpy(material.data(), aes_key.data(), 16);
  std::memcpy(material.data() + 16, aes_iv.data(), 16);
  const Sha256Digest digest = sha256(material);
  return hex_lower(ByteSpan(digest).first(8));
}

}  // namespace sonvale
