#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/bytes.h"

namespace sonvale {

// ADTS framing of AAC (ISO/IEC 14496-3, 1.A.2). Only the fields the receiver needs are read.
inline constexpr std::uint32_t kZeDidiSampleRate = 48000;
inline constexpr std::uint8_t kZeDidiSamplingIndex = 3;
inline constexpr std::size_t kAdtsMinHeaderBytes = 7;
// Bytes that may wait in the framing buffer before it is given up as garbage.
inline constexpr std::size_t kAdtsBufferLimit = 65536;

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

// One complete frame as the framer cut it: `bytes` is exactly `header.frame_length` long and
// longer than the header. Borrowed from the framer until its next call.
struct AdtsFrame {
  AdtsHeader header;
  ByteSpan bytes;

  ByteSpan header_bytes() const { return bytes.first(header.header_length()); }
  ByteSpan payload() const { return bytes.subspan(header.header_length()); }
};

// Cuts the ADTS frames out of an elementary stream that arrives in pieces (PES payloads). Bytes
// that are not ADTS and false syncs (declared length not above the header) are skipped. Between
// pieces it keeps only the bytes of a frame still incomplete (or one 0xFF that may begin the
// next sync), never more than kAdtsBufferLimit bytes. Owned by one thread.
class AdtsFramer {
 public:
  // Appends one piece of the stream.
  void push(ByteSpan piece);
  // Appends the bytes of `storage` from `offset` on; takes the buffer over instead of copying
  // when nothing is buffered (the usual case at a PES boundary).
  void push(Bytes&& storage, std::size_t offset);
  // The next complete frame in stream order, or nullopt when the buffered bytes hold none (then
  // only the bytes the rule above keeps remain).
  std::optional<AdtsFrame> next_frame();
  // The bytes not yet cut.
  ByteSpan buffered() const { return ByteSpan(buffer_).subspan(pos_); }

 private:
  // Drops what was consumed and keeps what the framing rule keeps.
  void compact();
  void clear_keeping_last_ff();

  Bytes buffer_;
  std::size_t pos_ = 0;  // start of the bytes not yet cut
};

// The stream format read from the first PES payload of a run; zeros when it does not start
// with a usable ADTS header.
struct AudioFormatProbe {
  std::uint32_t sample_rate = 0;
  std::uint64_t bitrate = 0;
};
AudioFormatProbe probe_audio_format(ByteSpan payload);

}  // namespace sonvale
