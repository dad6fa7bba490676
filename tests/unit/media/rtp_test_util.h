#pragma once

// Builders of '$'-framed RTP packets (RFC 3550 in RTSP interleaved framing) for the media tests.

#include <cstdint>
#include <vector>

#include "core/bytes.h"

namespace sonvale::testing {

inline Bytes rtp_frame(std::uint16_t sequence, std::uint32_t timestamp, ByteSpan payload,
                       std::uint8_t channel = 0) {
  const std::size_t length = 12 + payload.size();
  Bytes f = {0x24,
             channel,
             static_cast<std::uint8_t>(length >> 8),
             static_cast<std::uint8_t>(length),
             0x80,
             0x21,
             static_cast<std::uint8_t>(sequence >> 8),
             static_cast<std::uint8_t>(sequence),
             static_cast<std::uint8_t>(timestamp >> 24),
             static_cast<std::uint8_t>(timestamp >> 16),
             static_cast<std::uint8_t>(timestamp >> 8),
             static_cast<std::uint8_t>(timestamp),
             0x11,
             0x22,
             0x33,
             0x44};
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

}  // namespace sonvale::testing
