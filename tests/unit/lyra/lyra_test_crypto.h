#pragma once

// The phone's side of the Lyra secure channel, for the unit tests.

#include "core/crypto/p256.h"
#include "lyra/secure_channel.h"
#include "lyra_test_frames.h"

namespace sonvale::lyra::test {

// A handshake message {1: index?, 2: {field: {2: {1: {2: nonce, 5: {2: point}}}}}}.
inline Bytes handshake_message(ByteSpan nonce, ByteSpan point, std::optional<std::uint64_t> index = 7,
                               std::uint32_t key_agree_field = 8) {
  const Bytes generic = pb_bytes(2, point);
  const Bytes suite = pb_join<2>({pb_bytes(2, nonce), pb_bytes(5, generic)});
  const Bytes client_notify = pb_bytes(1, suite);
  const Bytes key_agree = pb_bytes(2, client_notify);
  const Bytes handshake = pb_bytes(key_agree_field, key_agree);
  Bytes out = index ? pb_varint(1, *index) : Bytes{};
  pb_bytes_into(out, 2, handshake);
  return out;
}

// A fixed client key pair (scalar 1..32 in its bytes).
inline P256PrivateKey client_key() {
  std::array<std::uint8_t, 32> scalar{};
  for (std::size_t i = 0; i < scalar.size(); ++i) scalar[i] = static_cast<std::uint8_t>(i + 1);
  return std::move(*P256PrivateKey::from_scalar(scalar));
}

inline Key256 key_of(std::uint8_t fill) {
  std::array<std::uint8_t, 32> k{};
  k.fill(fill);
  return Key256(k);
}

}  // namespace sonvale::lyra::test
