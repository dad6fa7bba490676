#include "lyra/replies.h"

#include <gtest/gtest.h>

#include <functional>

#include "lyra_test_frames.h"

namespace sonvale::lyra {
namespace {

using test::hex;

const std::string kVersionHex = hex_lower(as_bytes("5.1.251.10.fullCnRelease.0616209"));

TEST(KeepAliveReplyTest, Goldens) {
  EXPECT_EQ(hex_lower(*build_keep_alive_response({})), "0904000c1206120410053a00");
  EXPECT_EQ(hex_lower(*build_keep_alive_response(hex("6162"))), "0904000e1208120610053a026162");
}

TEST(DeviceSyncReplyTest, Golden) {
  const LyraDevice device{"1A2B3C4D", "Desk", "macOS", 3};
  auto frame = build_device_sync_response(device, {}, 1700000000000);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->size(), 122u);
  EXPECT_EQ(hex_lower(*frame),
            hex_lower(hex("09 04 00 7a 12 74 12 72 08 01 10 02 22 6c 08 80 d0 95 ff bc 31 12 5e 08 80 "
                          "d0 95 ff bc 31 12 08 31 41 32 42 33 43 34 44 22 00 28 03 32 04 44 65 73 6b "
                          "42 05 6d 61 63 4f 53 48 80 81 10 52 10 0a 05 6d 61 63 4f 53 12 07")) +
                hex_lower(as_bytes("Quarnet")) + "5a20" + kVersionHex + "620208011880022800");
}

struct DeviceTypeCase {
  std::uint8_t type;
  std::uint64_t code;
  const char* category;
};

class DeviceTypeTest : public ::testing::TestWithParam<DeviceTypeCase> {};

TEST_P(DeviceTypeTest, CodeInTheRecordAndTheTable) {
  const DeviceTypeCase& c = GetParam();
  EXPECT_EQ(lyra_device_kind(c.type).code, c.code);
  EXPECT_STREQ(lyra_device_kind(c.type).category, c.category);
  const LyraDevice device{"X", "", "macOS", c.type};
  const std::string h = hex_lower(*build_device_sync_response(device, {}, 0));
  // T = 0 in both time fields, empty account and name, then the code.
  EXPECT_NE(h.find("0800" "1201" "58" "2200" "28" + hex_lower(pb_varint(5, c.code)).substr(2) + "3200"),
            std::string::npos)
      << h;
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceTypeTest,
                         ::testing::Values(DeviceTypeCase{0, 0, "speaker"}, DeviceTypeCase{1, 0, "speaker"},
                                           DeviceTypeCase{4, 0, "speaker"},
                                           DeviceTypeCase{2, 3, "television"},
                                           DeviceTypeCase{3, 3, "computer"}, DeviceTypeCase{5, 8, "vehicle"},
                                           DeviceTypeCase{16, 5, "display_speaker"},
                                           DeviceTypeCase{17, 2, "vehicle"}, DeviceTypeCase{18, 2, "tablet"},
                                           DeviceTypeCase{255, 2, "vehicle"}));

// The frame views `message`, which must outlive it.
LogicalFrame sync_request(const std::optional<Bytes>& message) {
  LogicalFrame f;
  f.outer_scalars = {{3, 0x2a}};
  f.frame_type = 5;
  if (message) f.message = ByteSpan(*message);
  return f;
}

// The inner frame of a plain logical reply.
std::string inner_of(const Bytes& frame) {
  auto record = *bytes_field(**bytes_field(ByteSpan(frame).subspan(4), 2), 1);
  return hex_lower(**bytes_field(*record, 5));
}

struct LogicalSyncCase {
  const char* name;
  std::string message_hex;
  std::string inner_hex;
};

class LogicalSyncTest : public ::testing::TestWithParam<LogicalSyncCase> {};

TEST_P(LogicalSyncTest, InnerFrame) {
  auto frame = build_logical_sync_response(sync_request(hex(GetParam().message_hex)));
  ASSERT_TRUE(frame) << frame.error().to_string();
  EXPECT_EQ(hex_lower(ByteSpan(*frame).first(2)), "1104");
  EXPECT_EQ(inner_of(*frame), GetParam().inner_hex);
}

const std::string kSmartplay = hex_lower(as_bytes("com.milink.service:smartplay"));

INSTANTIATE_TEST_SUITE_P(
    Cases, LogicalSyncTest,
    ::testing::Values(
        LogicalSyncCase{"defaults", "", "0805322308904e1040221c" + kSmartplay},
        LogicalSyncCase{"first_varint_wins", "08070809", "0805" "3222" "0807" "1040" "221c" + kSmartplay},
        LogicalSyncCase{"bytes_field_1_is_no_value", "0a0107", "0805322308904e1040221c" + kSmartplay},
        LogicalSyncCase{"empty_service_kept", "2200", "0805" "3207" "08904e" "1040" "2200"},
        LogicalSyncCase{"service_and_value", "08012203616263", "0805" "3209" "0801" "1040" "2203616263"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(LogicalSyncTest, Failures) {
  auto missing = build_logical_sync_response(sync_request(std::nullopt));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().to_string(), "missing logical sync info");
  auto broken = build_logical_sync_response(sync_request(hex("0b")));
  ASSERT_FALSE(broken);
  EXPECT_EQ(broken.error().to_string(), "unsupported protobuf wire type 3");
}

TEST(WrapLogicalTest, Goldens) {
  EXPECT_EQ(*wrap_logical({{3, 1}, {4, 1}}, hex("6162")), hex("11 04 00 10 12 0a 0a 08 18 01 20 01 2a 02 61 62"));
  EXPECT_EQ(*wrap_logical({}, hex("6162")), hex("11 04 00 0c 12 06 0a 04 2a 02 61 62"));
  EXPECT_EQ(*wrap_logical({}, {}), hex("11 04 00 0a 12 04 0a 02 2a 00"));
  auto longest = wrap_logical({}, Bytes(65519));
  ASSERT_TRUE(longest);
  EXPECT_EQ(hex_lower(ByteSpan(*longest).first(4)), "1104ffff");
  EXPECT_FALSE(wrap_logical({}, Bytes(65520)));
}

struct LongestReplyCase {
  const char* name;
  std::function<Result<Bytes>(std::size_t)> build;  // a reply that echoes n bytes of the request
};

class LongestReplyTest : public ::testing::TestWithParam<LongestReplyCase> {};

// The longest reply a builder makes is exactly one datagram's worth; one echoed byte more fails.
TEST_P(LongestReplyTest, StopsAtOneDatagram) {
  const auto& build = GetParam().build;
  std::size_t lo = 0;
  std::size_t hi = 0x10000;  // build(lo) succeeds, build(hi) fails
  while (hi - lo > 1) {
    const std::size_t mid = lo + (hi - lo) / 2;
    (build(mid) ? lo : hi) = mid;
  }
  EXPECT_EQ(build(lo)->size(), kMaxReplyFrame);
  auto over = build(hi);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().to_string(), "Lyra reply frame of 65484 bytes exceeds the datagram limit of 65483");
}

INSTANTIATE_TEST_SUITE_P(
    Builders, LongestReplyTest,
    ::testing::Values(
        LongestReplyCase{"keep_alive_body", [](std::size_t n) { return build_keep_alive_response(Bytes(n, 0x61)); }},
        LongestReplyCase{"device_sync_account",
                         [](std::size_t n) {
                           return build_device_sync_response({"1A2B3C4D", "Desk", "macOS", 3}, Bytes(n, 0x41),
                                                             1700000000000);
                         }},
        LongestReplyCase{"logical_sync_service",
                         [](std::size_t n) {
                           return build_logical_sync_response(sync_request(pb_bytes(4, Bytes(n, 0x73))));
                         }}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace sonvale::lyra
