#pragma once

#include <cstdint>

#include "core/bytes.h"
#include "core/error.h"

namespace sonvale {

// The 4-byte '$' frame header that precedes every RTP packet on the audio data connection
// (RTSP interleaved framing, RFC 2326 section 10.12). The channel byte is not interpreted.
inline constexpr std::size_t kFrameHeaderBytes = 4;
inline constexpr std::size_t kRtpHeaderBytes = 12;

// Checks a frame header and returns the length L of the RTP packet that follows. Fails with
// "unexpected ZeDidi data marker 0x.." when byte 0 is not '$' and with
// "invalid ZeDidi RTP frame length N" when L is below 12. `header` must hold 4 bytes.
[[nodiscard]] Result<std::uint16_t> parse_frame_header(ByteSpan header);

// One RTP packet (RFC 3550). `payload` borrows from the frame bytes given to the parser.
struct RtpPacket {
  std::uint16_t sequence = 0;
  std::uint32_t timestamp = 0;
  ByteSpan payload;
};

// Parses the L bytes of one frame: version 2, CSRC list and header extension skipped, padding
// removed. Fails with "parse ZeDidi RTP packet" (no cause) on any malformed header.
[[nodiscard]] Result<RtpPacket> parse_rtp_packet(ByteSpan frame);

// The packet's presentation time in microseconds from its 90 kHz timestamp, truncated.
constexpr std::uint64_t rtp_fallback_pts_us(std::uint32_t timestamp) {
  return static_cast<std::uint64_t>(timestamp) * 1000000u / 90000u;
}

}  // namespace sonvale
