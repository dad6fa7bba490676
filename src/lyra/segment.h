#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bytes.h"

// The acknowledged segment transport under the Lyra frames: KCP's 24-byte segment header
// (little-endian fields) with only its push and ack commands.
namespace sonvale::lyra {

inline constexpr std::size_t kSegmentHeaderSize = 24;
inline constexpr std::uint8_t kCmdPush = 0x51;
inline constexpr std::uint8_t kCmdAck = 0x52;
inline constexpr std::uint16_t kMinWindow = 128;
// The largest UDP payload over IPv4 (65535 less the IPv4 and UDP headers).
inline constexpr std::size_t kMaxDatagram = 65507;

struct SegmentHeader {
  std::uint32_t conv = 0;
  std::uint8_t cmd = 0;
  std::uint8_t frg = 0;
  std::uint16_t wnd = 0;
  std::uint32_t ts = 0;
  std::uint32_t sn = 0;
  std::uint32_t una = 0;
  std::uint32_t len = 0;

  bool operator==(const SegmentHeader&) const = default;
};

struct Segment {
  SegmentHeader header;
  ByteSpan payload;  // a view into the datagram
};

// The whole segments of a datagram in order. The walk stops at the first segment whose payload
// runs past the end; it and what follows are dropped.
std::vector<Segment> split_segments(ByteSpan datagram);

// Header (its `len` replaced by the payload's size) followed by the payload.
Bytes encode_segment(SegmentHeader header, ByteSpan payload);

}  // namespace sonvale::lyra
