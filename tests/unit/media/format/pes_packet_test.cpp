#include "media/format/pes_packet.h"

#include <gtest/gtest.h>

#include <string>

namespace sonvale {
namespace {

// A PES header with PTS 0x123456789 (marker bits set unless `bad_marker`), an optional
// extension carrying PES_private_data, and `payload` bytes after it.
Bytes pes(std::size_t payload, std::uint16_t stated = 0, bool with_pts = true,
          bool with_private = false, bool bad_marker = false) {
  Bytes p = {0x00, 0x00, 0x01, 0xC0, static_cast<std::uint8_t>(stated >> 8),
             static_cast<std::uint8_t>(stated), 0x80, 0x00, 0x00};
  Bytes fields;
  if (with_pts) {
    p[7] |= 0x80;
    const std::uint64_t t = 0x123456789;
    fields.push_back(static_cast<std::uint8_t>(0x21 | ((t >> 29) & 0x0E)));
    fields.push_back(static_cast<std::uint8_t>(t >> 22));
    fields.push_back(static_cast<std::uint8_t>(((t >> 14) & 0xFE) | (bad_marker ? 0 : 1)));
    fields.push_back(static_cast<std::uint8_t>(t >> 7));
    fields.push_back(static_cast<std::uint8_t>(((t << 1) & 0xFE) | 1));
  }
  if (with_private) {
    p[7] |= 0x01;
    fields.push_back(0x80);
    for (std::uint8_t i = 0; i < 16; ++i) fields.push_back(static_cast<std::uint8_t>('a' + i));
  }
  p[8] = static_cast<std::uint8_t>(fields.size());
  p.insert(p.end(), fields.begin(), fields.end());
  p.insert(p.end(), payload, 0x5A);
  return p;
}

struct PesCase {
  const char* name;
  Bytes bytes;
  bool parsed;
  std::optional<std::uint64_t> pts_us;
  bool has_private;
  std::size_t offset;
  std::size_t end;
};

class PesPacketTest : public ::testing::TestWithParam<PesCase> {};

TEST_P(PesPacketTest, ReadsTheHeaderFieldsTheAudioRoadUses) {
  const PesCase& c = GetParam();
  const auto p = parse_audio_pes(c.bytes);
  ASSERT_EQ(p.has_value(), c.parsed);
  if (!p) return;
  EXPECT_EQ(p->pts_us, c.pts_us);
  EXPECT_EQ(p->private_data.has_value(), c.has_private);
  if (p->private_data) {
    EXPECT_EQ((*p->private_data)[15], 'p');
  }
  EXPECT_EQ(p->payload_offset, c.offset);
  EXPECT_EQ(p->payload_end, c.end);
}

constexpr std::uint64_t kPtsUs = 0x123456789ull * 1000000 / 90000;

Bytes with_byte(Bytes b, std::size_t at, std::uint8_t v) {
  b[at] = v;
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, PesPacketTest,
    ::testing::Values(
        PesCase{"pts_unstated_length", pes(10), true, kPtsUs, false, 14, 24},
        // PES_packet_length counts from byte 6: 8 header bytes and 10 payload bytes.
        PesCase{"stated_length_cuts_the_tail", [] {
                  Bytes b = pes(10, 18);
                  b.insert(b.end(), 5, 0xEE);
                  return b;
                }(), true, kPtsUs, false, 14, 24},
        PesCase{"stated_length_longer_than_received", pes(10, 500), true, kPtsUs, false, 14, 24},
        PesCase{"no_pts", pes(3, 0, false), true, std::nullopt, false, 9, 12},
        PesCase{"bad_pts_marker", pes(3, 0, true, false, true), true, std::nullopt, false, 14, 17},
        PesCase{"private_data", pes(3, 0, true, true), true, kPtsUs, true, 31, 34},
        // The header claims more optional bytes than there are before the payload ends.
        PesCase{"private_flag_without_room", with_byte(pes(40, 0, true, false), 7, 0x81), true,
                kPtsUs, false, 14, 54},
        PesCase{"header_only", pes(0), false, std::nullopt, false, 0, 0},
        PesCase{"eight_bytes", Bytes{0, 0, 1, 0xC0, 0, 0, 0x80, 0x80}, false, std::nullopt, false,
                0, 0},
        PesCase{"video_stream_id", with_byte(pes(4), 3, 0xE0), false, std::nullopt, false, 0, 0},
        PesCase{"bad_start_code", with_byte(pes(4), 2, 0x02), false, std::nullopt, false, 0, 0},
        PesCase{"header_length_past_the_end", with_byte(pes(2), 8, 200), false, std::nullopt,
                false, 0, 0}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace sonvale
