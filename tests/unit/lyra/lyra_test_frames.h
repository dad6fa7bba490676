#pragma once

// Builders of the phone's side of Lyra frames, for the unit tests.

#include <string>
#include <string_view>

#include "core/encoding.h"
#include "lyra/frames.h"
#include "lyra/protobuf.h"

namespace sonvale::lyra::test {

// Hex text with optional spaces between bytes.
inline Bytes hex(std::string_view s) {
  std::string compact;
  for (char c : s) {
    if (c != ' ') compact += c;
  }
  return *hex_decode(compact);
}

inline Bytes bytes_of(std::string_view s) {
  const ByteSpan b = as_bytes(s);
  return Bytes(b.begin(), b.end());
}

inline Bytes frame(std::uint8_t kind, ByteSpan body) { return *transport_frame(kind, body); }

// Physical frame {2: {2: message}}.
inline Bytes physical(ByteSpan message) { return frame(kKindPhysical, pb_bytes(2, pb_bytes(2, message))); }

// Physical sync request carrying `account` at {2: {2: {3: {2: {4: account}}}}}.
inline Bytes sync_request(ByteSpan account) {
  const Bytes peer_info = pb_bytes(4, account);
  const Bytes request = pb_bytes(2, peer_info);
  return physical(pb_join<2>({pb_varint(2, 1), pb_bytes(3, request)}));
}

// Logical frame with the given outer record fields and inner frame.
inline Bytes logical(const OuterScalars& outer, ByteSpan inner) { return *wrap_logical(outer, inner); }

// Inner frame {1: type, 2: message} (message omitted when null).
inline Bytes inner_frame(std::uint64_t type, const Bytes* message) {
  Bytes out = pb_varint(1, type);
  if (message) pb_bytes_into(out, 2, *message);
  return out;
}

}  // namespace sonvale::lyra::test
