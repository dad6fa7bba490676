#include "media/format/rtp.h"

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

  if (!r.skip(4 * csrc_count)) return bad();
  if (extension) {
    // RFC 3550 section 5.3.1: 16 bits defined by profile, a 16-bit length in 32-bit words.
    const auto profile = r.u16be();
    const auto words = r.u16be();
    if (!profile || !words || !r.skip(4 * static_cast<std::size_t>(*words))) return bad();
  }
  ByteSpan payload = r.rest();
  if (padding) {
    // The last octet counts the padding octets, itself included.
    const std::size_t count = frame.back();
    if (count > payload.size()) return bad();
    payload = payload.first(payload.size() - count);
  }
  return RtpPacket{*sequence, *timestamp, payload};
}

}  // namespace sonvale
