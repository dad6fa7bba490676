#include "media/format/ts_packet.h"

#include <gtest/gtest.h>

#include <string>

namespace sonvale {
namespace {

// A 188-byte packet: header bytes 1-3 as given, then `adaptation` (with its length byte) when
// present, then payload bytes counting up.
Bytes packet(std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::optional<int> adaptation) {
  Bytes p = {0x47, b1, b2, b3};
  if (adaptation) {
    p.push_back(static_cast<std::uint8_t>(*adaptation));
    p.insert(p.end(), static_cast<std::size_t>(std::min(*adaptation, 183)), 0xFF);
  }
  for (std::uint8_t i = 0; p.size() < TsPacket::kBytes; ++i) p.push_back(i);
  p.resize(TsPacket::kBytes);
  return p;
}

struct TsCase {
  const char* name;
  Bytes bytes;
  bool parsed;
  std::uint16_t pid;
  bool unit_start;
  std::size_t payload_bytes;
};

class TsPacketParseTest : public ::testing::TestWithParam<TsCase> {};

TEST_P(TsPacketParseTest, ReadsPidStartAndPayload) {
  const TsCase& c = GetParam();
  const auto p = parse_ts_packet(c.bytes);
  ASSERT_EQ(p.has_value(), c.parsed);
  if (!p) return;
  EXPECT_EQ(p->pid, c.pid);
  EXPECT_EQ(p->payload_unit_start, c.unit_start);
  EXPECT_EQ(p->payload.size(), c.payload_bytes);
  EXPECT_EQ(p->payload.data() + p->payload.size(), c.bytes.data() + c.bytes.size());
}

Bytes cut(Bytes b, std::size_t n) {
  b.resize(n);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Packets, TsPacketParseTest,
    ::testing::Values(
        TsCase{"payload_only_start", packet(0x51, 0x00, 0x10, std::nullopt), true, 0x1100, true, 184},
        TsCase{"payload_only", packet(0x11, 0x00, 0x1F, std::nullopt), true, 0x1100, false, 184},
        TsCase{"other_pid", packet(0x00, 0x00, 0x10, std::nullopt), true, 0x0000, false, 184},
        TsCase{"error_and_priority_bits_ignored", packet(0xB1, 0x00, 0x10, std::nullopt), true,
               0x1100, false, 184},
        TsCase{"adaptation_then_payload", packet(0x11, 0x00, 0x30, 20), true, 0x1100, false, 163},
        TsCase{"adaptation_182_leaves_one_byte", packet(0x11, 0x00, 0x30, 182), true, 0x1100, false,
               1},
        TsCase{"adaptation_183_is_skipped", packet(0x11, 0x00, 0x30, 183), false, 0, false, 0},
        TsCase{"adaptation_only", packet(0x11, 0x00, 0x20, 183), false, 0, false, 0},
        TsCase{"reserved_control", packet(0x11, 0x00, 0x00, std::nullopt), false, 0, false, 0},
        TsCase{"bad_sync", [] {
                 Bytes b = packet(0x11, 0x00, 0x10, std::nullopt);
                 b[0] = 0x46;
                 return b;
               }(), false, 0, false, 0},
        TsCase{"short_187", cut(packet(0x11, 0x00, 0x10, std::nullopt), 187), false, 0, false, 0},
        TsCase{"empty", Bytes{}, false, 0, false, 0}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace sonvale
