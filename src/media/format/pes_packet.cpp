#include "media/format/pes_packet.h"

#include <algorithm>

namespace sonvale {
namespace {

// The 33-bit PTS of a 5-byte PTS field, with its three marker bits set; nullopt otherwise.
std::optional<std::uint64_t> read_pts(ByteSpan field) {
  if ((field[0] & 1) == 0 || (field[2] & 1) == 0 || (field[4] & 1) == 0) return std::nullopt;
  return (static_cast<std::uint64_t>(field[0] & 0x0E) << 29) |
         (static_cast<std::uint64_t>(field[1]) << 22) |
         (static_cast<std::uint64_t>(field[2] >> 1) << 15) |
         (static_cast<std::uint64_t>(field[3]) << 7) | (static_cast<std::uint64_t>(field[4]) >> 1);
}

// Bytes of the optional fields before the PES extension flags: PTS/DTS, ESCR and ES_rate.
std::size_t fields_before_extension(std::uint8_t flags) {
  std::size_t n = 0;
  if (flags >= 0xC0) {
    n += 10;
  } else if (flags & 0x80) {
    n += 5;
  }
  if (flags & 0x20) n += 6;
  if (flags & 0x10) n += 3;
  return n;
}

}  // namespace

std::optional<PesPacket> parse_audio_pes(ByteSpan pes) {
  ByteReader r(pes);
  const auto start_code = r.bytes(3);
  const auto stream_id = r.u8();
  const auto stated = r.u16be();
  const auto marker_flags = r.u8();
  const auto flags = r.u8();
  const auto header_data_length = r.u8();
  if (!header_data_length) return std::nullopt;  // fewer than the 9 fixed bytes
  if ((*start_code)[0] != 0 || (*start_code)[1] != 0 || (*start_code)[2] != 1 ||
      *stream_id != PesPacket::kAudioStreamId) {
    return std::nullopt;
  }
  (void)marker_flags;
  PesPacket out;
  const std::size_t stated_end = static_cast<std::size_t>(*stated) + 6;
  out.payload_end = (*stated != 0 && pes.size() > stated_end) ? stated_end : pes.size();
  out.payload_offset = PesPacket::kFixedHeaderBytes + *header_data_length;
  if (out.payload_end < PesPacket::kFixedHeaderBytes || out.payload_end <= out.payload_offset) {
    return std::nullopt;
  }

  // The optional fields lie between the fixed header and the payload, inside the PES.
  const ByteSpan optional_fields = pes.subspan(
      PesPacket::kFixedHeaderBytes, out.payload_offset - PesPacket::kFixedHeaderBytes);
  if ((*flags & 0x80) != 0) {
    ByteReader fields(optional_fields);
    if (const auto pts_field = fields.bytes(5)) {
      if (const auto pts = read_pts(*pts_field)) out.pts_us = *pts * 1000000u / 90000u;
    }
  }
  if ((*flags & 0x01) != 0) {
    ByteReader fields(optional_fields);
    const auto extension_flags =
        fields.skip(fields_before_extension(*flags)) ? fields.u8() : std::nullopt;
    if (extension_flags && (*extension_flags & 0x80) != 0) {
      if (const auto data = fields.bytes(16)) {
        AesBlock block{};
        std::copy(data->begin(), data->end(), block.begin());
        out.private_data = block;
      }
    }
  }
  return out;
}

}  // namespace sonvale
