#pragma once

// Builders of MPEG transport stream and PES bytes for the media tests (ISO/IEC 13818-1).

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.h"

namespace sonvale::testing {

struct PesOptions {
  std::uint8_t stream_id = 0xC0;
  std::optional<std::uint64_t> pts = std::nullopt;  // 33-bit, 90 kHz
  std::optional<std::uint64_t> dts = std::nullopt;
  std::optional<std::array<std::uint8_t, 16>> private_data = std::nullopt;  // PES extension
  bool state_length = true;             // PES_packet_length stated, else 0
  std::uint8_t extra_header_bytes = 0;  // stuffing after the optional fields
};

inline void put_timestamp(Bytes& out, std::uint8_t prefix, std::uint64_t t) {
  out.push_back(static_cast<std::uint8_t>((std::uint64_t{prefix} << 4) | ((t >> 29) & 0x0E) | 1));
  out.push_back(static_cast<std::uint8_t>(t >> 22));
  out.push_back(static_cast<std::uint8_t>(((t >> 14) & 0xFE) | 1));
  out.push_back(static_cast<std::uint8_t>(t >> 7));
  out.push_back(static_cast<std::uint8_t>(((t << 1) & 0xFE) | 1));
}

inline Bytes make_pes(ByteSpan payload, const PesOptions& o = {}) {
  Bytes header;
  std::uint8_t flags = 0;
  if (o.pts) {
    put_timestamp(header, o.dts ? 3 : 2, *o.pts);
    flags |= 0x80;
    if (o.dts) {
      put_timestamp(header, 1, *o.dts);
      flags |= 0x40;
    }
  }
  if (o.private_data) {
    flags |= 0x01;
    header.push_back(0x80);  // PES_private_data_flag
    header.insert(header.end(), o.private_data->begin(), o.private_data->end());
  }
  header.insert(header.end(), o.extra_header_bytes, 0xFF);
  Bytes pes = {
      0x00, 0x00, 0x01, o.stream_id, 0, 0, 0x80, flags, static_cast<std::uint8_t>(header.size())};
  pes.insert(pes.end(), header.begin(), header.end());
  pes.insert(pes.end(), payload.begin(), payload.end());
  if (o.state_length) {
    const std::size_t len = pes.size() - 6;
    pes[4] = static_cast<std::uint8_t>(len >> 8);
    pes[5] = static_cast<std::uint8_t>(len);
  }
  return pes;
}

// One 188-byte packet carrying `payload` (at most 184 bytes), stuffed with an adaptation field
// when it is shorter.
inline Bytes make_ts_packet(std::uint16_t pid, bool unit_start, ByteSpan payload,
                            std::uint8_t counter = 0) {
  Bytes p = {0x47, static_cast<std::uint8_t>((unit_start ? 0x40 : 0) | ((pid >> 8) & 0x1F)),
             static_cast<std::uint8_t>(pid), 0};
  if (payload.size() >= 184) {
    p[3] = static_cast<std::uint8_t>(0x10 | (counter & 0x0F));
  } else {
    p[3] = static_cast<std::uint8_t>(0x30 | (counter & 0x0F));
    const std::size_t af = 183 - payload.size();
    p.push_back(static_cast<std::uint8_t>(af));
    if (af > 0) {
      p.push_back(0x00);
      p.insert(p.end(), af - 1, 0xFF);
    }
  }
  p.insert(
      p.end(), payload.begin(),
      payload.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(payload.size(), 184)));
  return p;
}

// A PES cut into transport stream packets on `pid`.
inline std::vector<Bytes> packetize(std::uint16_t pid, ByteSpan pes) {
  std::vector<Bytes> out;
  std::size_t pos = 0;
  std::uint8_t counter = 0;
  do {
    const std::size_t n = std::min<std::size_t>(184, pes.size() - pos);
    out.push_back(make_ts_packet(pid, pos == 0, pes.subspan(pos, n), counter++));
    pos += n;
  } while (pos < pes.size());
  return out;
}

}  // namespace sonvale::testing
