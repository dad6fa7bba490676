#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/bytes.h"
#include "core/crypto.h"

namespace sonvale {

// The header of one assembled audio PES packet (ISO/IEC 13818-1, 2.4.3.6 and 2.4.3.7), as the
// audio road reads it: stream id 0xC0, the PTS, and the 16 bytes of PES_private_data that carry
// a new IV of the encrypted stream.
struct PesPacket {
  static constexpr std::uint8_t kAudioStreamId = 0xC0;
  static constexpr std::size_t kFixedHeaderBytes = 9;

  // The PTS in microseconds (90 kHz clock), when the header states a valid one.
  std::optional<std::uint64_t> pts_us;
  // PES_private_data, when the header carries it.
  std::optional<AesBlock> private_data;
  // The payload is bytes [payload_offset, payload_end) of the PES, never empty: the stated
  // PES_packet_length bounds it when it is non-zero and the bytes extend past it.
  std::size_t payload_offset = 0;
  std::size_t payload_end = 0;
};

// Reads the header of `pes` (the bytes assembled so far); nullopt when they are not an audio
// PES with a payload.
std::optional<PesPacket> parse_audio_pes(ByteSpan pes);

}  // namespace sonvale
