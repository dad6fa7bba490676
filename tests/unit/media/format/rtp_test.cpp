#include "media/format/rtp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sonvale {
namespace {

struct FrameHeaderCase {
  std::string name;
  Bytes header;
  std::optional<std::uint16_t> length;  // nullopt: fails with `message`
  std::string message;
};

class FrameHeaderTest : public ::testing::TestWithParam<FrameHeaderCase> {};

TEST_P(FrameHeaderTest, ChecksMarkerAndLength) {
  const auto& c = GetParam();
  auto r = parse_frame_header(c.header);
  if (c.length) {
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(*r, *c.length);
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), c.message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameHeaderTest,
    ::testing::Values(FrameHeaderCase{"Channel0", {0x24, 0x00, 0x00, 0x0c}, 12, ""},
                      FrameHeaderCase{"AnyChannelByte", {0x24, 0xff, 0x05, 0xdc}, 1500, ""},
                      FrameHeaderCase{"LargestLength", {0x24, 0x01, 0xff, 0xff}, 65535, ""},
                      FrameHeaderCase{"LengthEleven",
                                      {0x24, 0x00, 0x00, 0x0b},
                                      std::nullopt,
                                      "invalid ZeDidi RTP frame length 11"},
                      FrameHeaderCase{"LengthZero",
                                      {0x24, 0x00, 0x00, 0x00},
                                      std::nullopt,
                                      "invalid ZeDidi RTP frame length 0"},
                      FrameHeaderCase{"MarkerPaddedHex",
                                      {0x0a, 0x00, 0x00, 0x0c},
                                      std::nullopt,
                                      "unexpected ZeDidi data marker 0x0a"},
                      FrameHeaderCase{"MarkerHighByte",
                                      {0xAB, 0x00, 0x00, 0x0c},
                                      std::nullopt,
                                      "unexpected ZeDidi data marker 0xab"}),
    [](const auto& p) { return p.param.name; });

// An RTP packet: first byte, then seq 0x1234, ts 0x89abcdef, SSRC, then `rest`.
Bytes rtp(std::uint8_t first, const Bytes& rest) {
  Bytes b = {first, 0x60, 0x12, 0x34, 0x89, 0xab, 0xcd, 0xef, 1, 2, 3, 4};
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
}

Bytes seq(std::size_t n, std::uint8_t start = 0x40) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(start + i);
  return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct RtpCase {
  std::string name;
  Bytes packet;
  std::optional<Bytes> payload;  // nullopt: "parse ZeDidi RTP packet"
};

class RtpPacketTest : public ::testing::TestWithParam<RtpCase> {};

TEST_P(RtpPacketTest, LocatesThePayload) {
  const auto& c = GetParam();
  auto r = parse_rtp_packet(c.packet);
  if (!c.payload) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), "parse ZeDidi RTP packet");
    return;
  }
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_EQ(r->sequence, 0x1234);
  EXPECT_EQ(r->timestamp, 0x89abcdefu);
  EXPECT_EQ(Bytes(r->payload.begin(), r->payload.end()), *c.payload);
  // The payload borrows from the frame bytes.
  if (!r->payload.empty()) {
    EXPECT_GE(r->payload.data(), c.packet.data());
    EXPECT_LE(r->payload.data() + r->payload.size(), c.packet.data() + c.packet.size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RtpPacketTest,
    ::testing::Values(
        RtpCase{"BareHeader", rtp(0x80, {}), Bytes{}},
        RtpCase{"PlainPayload", rtp(0x80, seq(5)), seq(5)},
        RtpCase{"MarkerAndTypeIgnored",
                [] {
                  auto p = rtp(0x80, seq(3));
                  p[1] = 0xff;
                  return p;
                }(),
                seq(3)},
        RtpCase{"TwoCsrcsSkipped", rtp(0x82, cat({Bytes(8, 0xcc), seq(4)})), seq(4)},
        RtpCase{"ExtensionSkipped",
                rtp(0x90, cat({{0xbe, 0xde, 0x00, 0x02}, Bytes(8, 0xee), seq(3)})), seq(3)},
        RtpCase{"EmptyExtension", rtp(0x90, cat({{0x00, 0x00, 0x00, 0x00}, seq(2)})), seq(2)},
        RtpCase{"CsrcThenExtension",
                rtp(0x91, cat({Bytes(4, 0xcc), {0x10, 0x00, 0x00, 0x01}, Bytes(4, 0xee), seq(2)})),
                seq(2)},
        RtpCase{"PaddingRemoved", rtp(0xa0, cat({seq(4), {0, 0, 3}})), seq(4)},
        RtpCase{"PaddingCountZeroKeepsAll", rtp(0xa0, cat({seq(4), {0}})), cat({seq(4), {0}})},
        RtpCase{"PaddingEatsWholePayload", rtp(0xa0, {0, 0, 0, 4}), Bytes{}},
        RtpCase{"PaddingIntoHeader", rtp(0xa0, {0, 5}), std::nullopt},
        RtpCase{"PaddingAboveLength", rtp(0xa0, {200}), std::nullopt},
        RtpCase{"Version1", rtp(0x40, seq(4)), std::nullopt},
        RtpCase{"Version0", rtp(0x00, seq(4)), std::nullopt},
        RtpCase{"Version3", rtp(0xc0, seq(4)), std::nullopt},
        RtpCase{"ElevenBytes", Bytes{0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, std::nullopt},
        RtpCase{"Csrc15Needs72Bytes", rtp(0x8f, Bytes(59, 0)), std::nullopt},
        RtpCase{"Csrc15Exactly72Bytes", rtp(0x8f, Bytes(60, 0)), Bytes{}},
        RtpCase{"ExtensionHeaderCutOff", rtp(0x90, {0xbe, 0xde, 0x00}), std::nullopt},
        RtpCase{"ExtensionBodyCutOff", rtp(0x90, cat({{0xbe, 0xde, 0x00, 0x02}, Bytes(7, 0)})),
                std::nullopt},
        RtpCase{"ExtensionUnderPadding", rtp(0xb0, {0xbe, 0xde, 0x00, 0x01, 1, 2, 3, 2}),
                std::nullopt}),
    [](const auto& p) { return p.param.name; });

TEST(RtpFallbackTimeTest, TruncatesNinetyKilohertzTicks) {
  struct Case {
    std::uint32_t ts;
    std::uint64_t us;
  };
  const Case cases[] = {
      {0, 0}, {1, 11}, {90, 1000}, {90000, 1000000}, {4294967295u, 47721858833ull}};
  for (const auto& c : cases) EXPECT_EQ(rtp_fallback_pts_us(c.ts), c.us) << c.ts;
}

}  // namespace
}  // namespace sonvale
