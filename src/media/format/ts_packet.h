#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/bytes.h"

namespace sonvale {

// One MPEG transport stream packet (ISO/IEC 13818-1, 2.4.3.2 and 2.4.3.4) as far as the audio
// road reads it.
struct TsPacket {
  static constexpr std::size_t kBytes = 188;

  std::uint16_t pid = 0;
  bool payload_unit_start = false;
  ByteSpan payload;  // borrows from the packet given to the parser; never empty
};

// Parses one packet: exactly 188 bytes with the sync byte 0x47, and a payload (adaptation field
// control 1 or 3, an adaptation field of at most 182 bytes). nullopt for any other packet, which
// the demultiplexer skips.
std::optional<TsPacket> parse_ts_packet(ByteSpan packet);

}  // namespace sonvale
