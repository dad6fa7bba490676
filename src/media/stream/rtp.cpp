#include "media/stream/rtp.h"

#include <fmt/format.h>

namespace sonvale {

Result<std::uint16_t> parse_frame_header(ByteSpan header) {
  ByteReader r(header);
  const auto marker = r.u8();
  const auto channel = r.u8();
  const auto length = r.u16be();
  if (!marker || !channel || !length) return fail(Error::msg("truncated ZeDidi frame header"));
  if (*marker != 0x24)
    return fail(Error::msg(fmt::format("unexpected ZeDidi data marker 0x{:02x}", *marker)));
  if (*length < kRtpHeaderBytes) {
    return fail(Error::msg(fmt::format("invalid ZeDidi RTP frame length {}", *length)));
  }
  return *length;
}

Result<RtpPacket> parse_rtp_packet(ByteSpan frame) {
  const auto bad = [] { return fail(Error::msg("parse ZeDidi RTP packet")); };
  ByteReader r(frame);
  const auto first = r.u8();
  const auto marker_type = r.u8();
  const auto sequence = r.u16be();
  const auto timestamp = r.u32be();
  const auto ssrc = r.u32be();
  if (!first || !marker_type || !sequence || !timestamp || !ssrc) return bad();
  if ((*first >> 6) != 2) return bad();
  const bool padding = (*first & 0x20) != 0;
  const bool extension = (*first & 0x10) != 0;
  const std::size_t csrc_count = *first & 0x0f;

  std::size_t header = kRtpHeaderBytes + 4 * csrc_count;
  if (extension) {
    if (header + 4 > frame.size()) return bad();
    const std::size_t words =
        (static_cast<std::size_t>(frame[header + 2]) << 8) | frame[header + 3];
    header += 4 + 4 * words;
  }
  std::size_t end = frame.size();
  if (padding) {
    const std::size_t count = frame.back();
    if (count > end) return bad();
    end -= count;
  }
  if (header > end) return bad();
  return RtpPacket{*sequence, *timestamp, frame.subspan(header, end - header)};
}

}  // namespace sonvale
