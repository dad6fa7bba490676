#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.h"

namespace sonvale {

// ADTS framing of AAC (ISO/IEC 14496-3, 1.A.2). Only the fields the receiver needs are read.
inline constexpr std::uint32_t kZeDidiSampleRate = 48000;
inline constexpr std::uint8_t kZeDidiSamplingIndex = 3;
inline constexpr std::size_t kAdtsMinHeaderBytes = 7;
// Bytes that may wait in the framing buffer before it is given up as garbage.
inline constexpr std::size_t kAdtsBufferLimit = 65536;

// A sync word with layer 0 at `pos`: 0xFF, then a byte whose bits 0xF6 read 0xF0.
inline bool is_adts_sync(ByteSpan data, std::size_t pos) {
  return pos + 1 < data.size() && data[pos] == 0xFF && (data[pos + 1] & 0xF6) == 0xF0;
}

struct AdtsHeader {
  bool protection_absent = true;
  std::uint8_t sampling_index = 0;
  std::uint16_t frame_length = 0;  // whole frame, header included (13 bits)

  // 7 bytes, or 9 when a CRC follows the fixed and variable header.
  std::size_t header_length() const { return protection_absent ? 7 : 9; }
};

// The header at the start of `data`: nullopt unless at least 7 bytes start with a sync.
std::optional<AdtsHeader> parse_adts_header(ByteSpan data);

// The rate that a sampling_frequency_index names; nullopt for the reserved 13 to 15.
std::optional<std::uint32_t> adts_sample_rate(std::uint8_t sampling_index);

// True when `payload` starts with a whole ADTS header of a 48000 Hz stream whose frame length
// covers at least that header. Used to tell a plain PES payload from an encrypted one.
bool starts_with_48k_adts_header(ByteSpan payload);

// Cuts every complete frame out of `buffer`, in stream order, and leaves in it only the bytes
// of a frame still incomplete (or one 0xFF that may begin the next sync). Bytes that are not
// ADTS and false syncs (declared length not above the header) are skipped. The buffer never
// keeps more than kAdtsBufferLimit bytes.
std::vector<Bytes> extract_adts_frames(Bytes& buffer);

// The stream format read from the first PES payload of a run; zeros when it does not start
// with a usable ADTS header.
struct AudioFormatProbe {
  std::uint32_t sample_rate = 0;
  std::uint64_t bitrate = 0;
};
AudioFormatProbe probe_audio_format(ByteSpan payload);

}  // namespace sonvale
