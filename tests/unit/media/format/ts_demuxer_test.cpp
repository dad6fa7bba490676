#include "media/format/ts_demuxer.h"

#include <gtest/gtest.h>

#include "core/crypto.h"
#include "unit/media/ts_test_util.h"

namespace sonvale {
namespace {

using testing::make_pes;
using testing::make_ts_packet;
using testing::packetize;
using testing::PesOptions;

constexpr std::uint16_t kPid = 0x1100;

Bytes counting(std::size_t n, std::uint8_t start = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(start + i * 7);
  return b;
}

Bytes payload_of(const AudioPes& pes) { return Bytes(pes.payload().begin(), pes.payload().end()); }
Bytes payload_of(const std::optional<AudioPes>& pes) { return payload_of(*pes); }

std::vector<AudioPes> feed(TsDemuxer& d, const std::vector<Bytes>& packets,
                           std::uint64_t fallback = 777) {
  std::vector<AudioPes> out;
  for (const auto& p : packets) {
    for (auto& pes : d.push_packet(p, fallback)) out.push_back(std::move(pes));
  }
  return out;
}

TEST(TsDemuxerTest, StatedLengthClosesThePesWithTheCompletingPacket) {
  TsDemuxer d(std::nullopt);
  const Bytes payload = counting(1000);
  const auto packets = packetize(kPid, make_pes(payload, {.pts = 90000}));
  ASSERT_EQ(packets.size(), 6u);
  for (std::size_t i = 0; i + 1 < packets.size(); ++i) {
    EXPECT_TRUE(d.push_packet(packets[i], 5).empty()) << i;
  }
  auto out = d.push_packet(packets.back(), 5);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(payload_of(out[0]), payload);
  EXPECT_EQ(out[0].pts_us, 1000000u);
}

TEST(TsDemuxerTest, StuffingAfterAStatedEndIsDropped) {
  TsDemuxer d(std::nullopt);
  const Bytes payload = counting(100);
  Bytes pes = make_pes(payload);
  Bytes padded = pes;
  padded.resize(184, 0xAB);  // bytes after the stated end in the same packet
  auto out = d.push_packet(make_ts_packet(kPid, true, padded), 9);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(payload_of(out[0]), payload);
  EXPECT_EQ(out[0].pts_us, 9u);  // no PTS in the header: the fallback time
}

TEST(TsDemuxerTest, UnstatedLengthWaitsForTheNextUnitStart) {
  TsDemuxer d(std::nullopt);
  const Bytes first = counting(300, 1);
  const auto a = packetize(kPid, make_pes(first, {.state_length = false}));
  EXPECT_TRUE(feed(d, a, 100).empty());
  // Another PID's unit start does not close it.
  EXPECT_TRUE(d.push_packet(make_ts_packet(0x0000, true, counting(184)), 1).empty());
  const Bytes second = counting(50, 2);
  auto out =
      d.push_packet(make_ts_packet(kPid, true, make_pes(second, {.state_length = false})), 200);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(payload_of(out[0]), first);
  EXPECT_EQ(out[0].pts_us, 100u);  // the fallback time of the packet that started it
  auto last = d.finish_pes();
  ASSERT_TRUE(last);
  EXPECT_EQ(payload_of(last), second);
  EXPECT_EQ(last->pts_us, 200u);
  EXPECT_FALSE(d.finish_pes());  // empty afterwards
}

TEST(TsDemuxerTest, TwoPesEndInOnePacket) {
  TsDemuxer d(std::nullopt);
  const Bytes first = counting(20, 3);
  const Bytes second = counting(30, 4);
  EXPECT_TRUE(d.push_packet(make_ts_packet(kPid, true, make_pes(first, {.state_length = false})), 1)
                  .empty());
  auto out = d.push_packet(make_ts_packet(kPid, true, make_pes(second, {.pts = 1})), 2);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(payload_of(out[0]), first);
  EXPECT_EQ(out[0].pts_us, 1u);
  EXPECT_EQ(payload_of(out[1]), second);
  EXPECT_EQ(out[1].pts_us, 11u);  // PTS 1 truncates to 11 us
}

struct SkipCase {
  std::string name;
  Bytes packet;
  std::optional<Bytes> payload;  // what a PES started by this packet yields, nullopt: nothing
};

Bytes with_adaptation(std::uint8_t control, std::uint8_t af_length, const Bytes& pes_start) {
  Bytes p = {0x47, 0x51, 0x00, static_cast<std::uint8_t>(control << 4)};
  if (control & 0x2) {
    p.push_back(af_length);
    p.insert(p.end(), std::min<std::size_t>(af_length, 183), 0xFF);
  }
  for (std::size_t i = 0; p.size() < 188; ++i)
    p.push_back(i < pes_start.size() ? pes_start[i] : 0xEE);
  p.resize(188);
  return p;
}

class TsPacketTest : public ::testing::TestWithParam<SkipCase> {};

TEST_P(TsPacketTest, TakesOnlyAudioPayloads) {
  const auto& c = GetParam();
  TsDemuxer d(std::nullopt);
  auto out = d.push_packet(c.packet, 42);
  auto closed = d.finish_pes();
  if (!out.empty()) closed = std::move(out[0]);
  if (!c.payload) {
    EXPECT_FALSE(closed);
    return;
  }
  ASSERT_TRUE(closed);
  EXPECT_EQ(payload_of(closed), *c.payload);
}

const Bytes kShortPes = make_pes(Bytes{1, 2, 3, 4}, {.state_length = false});

INSTANTIATE_TEST_SUITE_P(
    Cases, TsPacketTest,
    ::testing::Values(
        SkipCase{"PayloadOnly", with_adaptation(1, 0, kShortPes),
                 [] {
                   Bytes b = {1, 2, 3, 4};
                   b.resize(188 - 4 - 9, 0xEE);
                   return b;
                 }()},
        SkipCase{"AdaptationAndPayload", with_adaptation(3, 100, kShortPes),
                 [] {
                   Bytes b = {1, 2, 3, 4};
                   b.resize(188 - 105 - 9, 0xEE);
                   return b;
                 }()},
        SkipCase{"AdaptationOnly", with_adaptation(2, 183, kShortPes), std::nullopt},
        SkipCase{"ReservedControl", with_adaptation(0, 0, kShortPes), std::nullopt},
        SkipCase{"AdaptationLength183", with_adaptation(3, 183, kShortPes), std::nullopt},
        SkipCase{"OtherPid",
                 [] {
                   auto p = with_adaptation(1, 0, kShortPes);
                   p[2] = 0x01;
                   return p;
                 }(),
                 std::nullopt},
        SkipCase{"ProgramAssociationPid",
                 [] {
                   auto p = with_adaptation(1, 0, kShortPes);
                   p[1] = 0x40;
                   p[2] = 0;
                   return p;
                 }(),
                 std::nullopt},
        SkipCase{"NoSyncByte",
                 [] {
                   auto p = with_adaptation(1, 0, kShortPes);
                   p[0] = 0x46;
                   return p;
                 }(),
                 std::nullopt},
        SkipCase{"VideoStreamId",
                 make_ts_packet(kPid, true, make_pes(Bytes{1}, {.stream_id = 0xE0})), std::nullopt},
        SkipCase{"OtherAudioStreamId",
                 make_ts_packet(kPid, true, make_pes(Bytes{1}, {.stream_id = 0xC1})), std::nullopt},
        SkipCase{"StatedLengthOne",
                 make_ts_packet(kPid, true, Bytes{0, 0, 1, 0xC0, 0, 1, 0x80, 0, 0, 5, 5}),
                 std::nullopt},
        SkipCase{"StatedLengthTwo",
                 make_ts_packet(kPid, true, Bytes{0, 0, 1, 0xC0, 0, 2, 0x80, 0, 0, 5, 5}),
                 std::nullopt},
        SkipCase{"HeaderOnly", make_ts_packet(kPid, true, make_pes(Bytes{})), std::nullopt},
        SkipCase{"NoUnitStartBytesAreNoPes", make_ts_packet(kPid, false, counting(184)),
                 std::nullopt}),
    [](const auto& p) { return p.param.name; });

TEST(TsDemuxerTest, AdaptationLength182LeavesOneByte) {
  TsDemuxer d(std::nullopt);
  EXPECT_TRUE(
      d.push_packet(make_ts_packet(kPid, true, make_pes(Bytes{9, 9}, {.state_length = false})), 0)
          .empty());
  auto p = with_adaptation(3, 182, Bytes{0x5A});
  p[1] = 0x11;  // no unit start
  EXPECT_TRUE(d.push_packet(p, 0).empty());
  auto pes = d.finish_pes();
  ASSERT_TRUE(pes);
  EXPECT_EQ(payload_of(pes), (Bytes{9, 9, 0x5A}));
}

TEST(TsDemuxerTest, PtsNeedsAllMarkerBits) {
  struct Case {
    std::size_t marker_byte;
    std::optional<std::uint64_t> pts_us;
  };
  for (const Case c : {Case{0, 1000000}, Case{9, 55}, Case{11, 55}, Case{13, 55}}) {
    TsDemuxer d(std::nullopt);
    Bytes pes = make_pes(Bytes{1, 2}, {.pts = 90000});
    if (c.marker_byte) pes[c.marker_byte] &= 0xFE;
    auto out = d.push_packet(make_ts_packet(kPid, true, pes), 55);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].pts_us, c.pts_us) << c.marker_byte;
  }
}

TEST(TsDemuxerTest, PtsAndDtsHeaderUsesThePts) {
  TsDemuxer d(std::nullopt);
  auto out = d.push_packet(
      make_ts_packet(kPid, true, make_pes(Bytes{1}, {.pts = (1ull << 33) - 1, .dts = 5})), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].pts_us, ((1ull << 33) - 1) * 1000000 / 90000);
}

TEST(TsDemuxerTest, OversizedPesIsDiscardedUntilTheNextUnitStart) {
  TsDemuxer d(std::nullopt);
  const Bytes filler = counting(184);
  EXPECT_TRUE(
      d.push_packet(make_ts_packet(kPid, true, make_pes(Bytes{1}, {.state_length = false})), 0)
          .empty());
  const std::size_t packets = TsDemuxer::kMaxPesBytes / 184 + 2;
  for (std::size_t i = 0; i < packets; ++i)
    EXPECT_TRUE(d.push_packet(make_ts_packet(kPid, false, filler), 0).empty());
  EXPECT_FALSE(d.finish_pes());
  // The stream recovers with the next PES.
  EXPECT_TRUE(
      d.push_packet(make_ts_packet(kPid, true, make_pes(Bytes{1}, {.state_length = false})), 0)
          .empty());
  for (std::size_t i = 0; i < packets; ++i)
    (void)d.push_packet(make_ts_packet(kPid, false, filler), 0);
  auto out = d.push_packet(make_ts_packet(kPid, true, make_pes(Bytes{7, 8})), 3);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(payload_of(out[0]), (Bytes{7, 8}));
}

TEST(TsDemuxerTest, PesUpToTheLimitIsKept) {
  TsDemuxer d(std::nullopt);
  const std::size_t payload_len = TsDemuxer::kMaxPesBytes - 9;
  const Bytes payload = counting(payload_len);
  feed(d, packetize(kPid, make_pes(payload, {.state_length = false})));
  auto pes = d.finish_pes();
  ASSERT_TRUE(pes);
  EXPECT_EQ(payload_of(pes), payload);
}

// ---- Decryption -----------------------------------------------------------------------------

StreamKeys test_keys() {
  return *StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "0123456789abcdef", "fedcba9876543210");
}

AesBlock block(const char* text) {
  AesBlock b{};
  std::copy_n(text, 16, b.begin());
  return b;
}

// `plain` with its first min(len, 256) bytes, rounded down to whole blocks, encrypted.
Bytes encrypt_start(const Bytes& plain, const AesBlock& iv) {
  const std::size_t d = std::min<std::size_t>(plain.size(), 256) / 16 * 16;
  Bytes out = plain;
  if (d == 0) return out;
  auto enc = aes128_cbc_encrypt(test_keys().aes_key, iv, ByteSpan(plain).first(d));
  EXPECT_TRUE(enc);
  std::copy(enc->begin(), enc->end(), out.begin());
  return out;
}

struct CryptoCase {
  std::string name;
  std::size_t length;
};

class TsDecryptTest : public ::testing::TestWithParam<CryptoCase> {};

TEST_P(TsDecryptTest, DecryptsWholeBlocksOfTheFirst256Bytes) {
  const Bytes plain = counting(GetParam().length, 0x11);
  const Bytes wire = encrypt_start(plain, test_keys().aes_iv);
  TsDemuxer d(test_keys());
  auto out = feed(d, packetize(kPid, make_pes(wire)));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(payload_of(out[0]), plain);
  if (GetParam().length > 256) {
    // Bytes beyond 256 were never encrypted and pass through as received.
    EXPECT_EQ(Bytes(out[0].payload().begin() + 256, out[0].payload().end()),
              Bytes(wire.begin() + 256, wire.end()));
  }
  // The IV is not advanced: the same bytes decrypt the same way again.
  auto again = feed(d, packetize(kPid, make_pes(wire)));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(payload_of(again[0]), plain);
}

INSTANTIATE_TEST_SUITE_P(Lengths, TsDecryptTest,
                         ::testing::Values(CryptoCase{"Fifteen", 15}, CryptoCase{"Sixteen", 16},
                                           CryptoCase{"Hundred", 100},
                                           CryptoCase{"Exactly256", 256},
                                           CryptoCase{"Thousand", 1000}),
                         [](const auto& p) { return p.param.name; });

TEST(TsDemuxerTest, WithoutKeysEveryPayloadPassesUnchanged) {
  TsDemuxer d(std::nullopt);
  const Bytes wire = encrypt_start(counting(300), test_keys().aes_iv);
  auto out = feed(d, packetize(kPid, make_pes(wire, {.private_data = block("0000111122223333")})));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(payload_of(out[0]), wire);
}

struct IvCase {
  std::string name;
  PesOptions options;
  bool renews;
};

class TsIvTest : public ::testing::TestWithParam<IvCase> {};

// The private data of a PES header renews the IV for that PES and every later one.
TEST_P(TsIvTest, PrivateDataRenewsTheIv) {
  const auto& c = GetParam();
  const AesBlock renewed = block("renewed-iv-54321");
  const AesBlock expected_iv = c.renews ? renewed : test_keys().aes_iv;
  const Bytes plain = counting(120, 0x21);
  TsDemuxer d(test_keys());

  PesOptions o = c.options;
  auto pes = make_pes(encrypt_start(plain, expected_iv), o);
  auto out = feed(d, packetize(kPid, pes));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(payload_of(out[0]), plain);
  EXPECT_EQ(d.current_iv(), expected_iv);

  // A later PES without private data continues with the IV now in force.
  auto later = feed(d, packetize(kPid, make_pes(encrypt_start(plain, expected_iv), {.pts = 9})));
  ASSERT_EQ(later.size(), 1u);
  EXPECT_EQ(payload_of(later[0]), plain);
}

const AesBlock kRenewed = block("renewed-iv-54321");

INSTANTIATE_TEST_SUITE_P(
    Headers, TsIvTest,
    ::testing::Values(
        IvCase{"ExtensionOnly", {.private_data = kRenewed}, true},
        IvCase{"PtsAndExtension", {.pts = 900, .private_data = kRenewed}, true},
        // Flags 0xC1: the IV at bytes 20 to 35 with header data length 27.
        IvCase{"PtsDtsAndExtension", {.pts = 900, .dts = 800, .private_data = kRenewed}, true},
        IvCase{"PtsDtsExtensionWithStuffing",
               {.pts = 900, .dts = 800, .private_data = kRenewed, .extra_header_bytes = 3},
               true},
        IvCase{"NoPrivateData", {.pts = 900}, false}),
    [](const auto& p) { return p.param.name; });

TEST(TsDemuxerTest, IvFieldMustFitInTheHeader) {
  // Flags 0xC1 with header data length 26: the private data would run into the payload.
  const AesBlock renewed = block("renewed-iv-54321");
  Bytes pes = make_pes(Bytes{}, {.pts = 900, .dts = 800, .private_data = renewed});
  ASSERT_EQ(pes[8], 27);
  ASSERT_EQ(pes[7], 0xC1);
  ASSERT_EQ(Bytes(pes.begin() + 20, pes.begin() + 36), Bytes(renewed.begin(), renewed.end()));
  pes[8] = 26;
  const Bytes plain = counting(64, 0x31);
  const Bytes wire = encrypt_start(plain, test_keys().aes_iv);
  pes.insert(pes.end(), wire.begin(), wire.end());
  pes[4] = 0;
  pes[5] = 0;
  TsDemuxer d(test_keys());
  feed(d, packetize(kPid, pes));
  auto out = d.finish_pes();
  ASSERT_TRUE(out);
  EXPECT_EQ(d.current_iv(), test_keys().aes_iv);
  // The header's last byte now counts as payload, decrypted with the IV still in force.
  Bytes received = {renewed[15]};
  received.insert(received.end(), wire.begin(), wire.end());
  auto expected =
      aes128_cbc_decrypt(test_keys().aes_key, test_keys().aes_iv, ByteSpan(received).first(64));
  ASSERT_TRUE(expected);
  ASSERT_EQ(out->payload().size(), 65u);
  EXPECT_EQ(Bytes(out->payload().begin(), out->payload().begin() + 64), *expected);
}

TEST(TsDemuxerTest, EscrAndEsRateMoveTheExtensionFlags) {
  // Flags 0xB1: PTS, ESCR (6 bytes), ES rate (3 bytes), extension: X = 9 + 5 + 6 + 3 = 23.
  const AesBlock renewed = block("renewed-iv-54321");
  Bytes header = {0x21, 0, 1, 0, 1};     // PTS 0 with markers
  header.insert(header.end(), 9, 0x01);  // ESCR and ES rate
  header.push_back(0x80);
  header.insert(header.end(), renewed.begin(), renewed.end());
  Bytes pes = {0, 0, 1, 0xC0, 0, 0, 0x80, 0xB1, static_cast<std::uint8_t>(header.size())};
  pes.insert(pes.end(), header.begin(), header.end());
  const Bytes plain = counting(48, 0x41);
  const Bytes wire = encrypt_start(plain, renewed);
  pes.insert(pes.end(), wire.begin(), wire.end());
  TsDemuxer d(test_keys());
  feed(d, packetize(kPid, pes));
  auto out = d.finish_pes();
  ASSERT_TRUE(out);
  EXPECT_EQ(payload_of(out), plain);
  EXPECT_EQ(d.current_iv(), renewed);
}

struct PlainCase {
  std::string name;
  Bytes start;  // first bytes of the payload as received
  bool plain;
};

class TsPlainTest : public ::testing::TestWithParam<PlainCase> {};

// With keys, only a whole 48000 Hz ADTS header marks a payload as plain; then its private data
// does not renew the IV either.
TEST_P(TsPlainTest, PlainOnlyWithAWhole48kAdtsHeader) {
  const auto& c = GetParam();
  Bytes payload = c.start;
  const Bytes tail = counting(64, 0x51);
  payload.insert(payload.end(), tail.begin(), tail.end());
  TsDemuxer d(test_keys());
  auto out =
      feed(d, packetize(kPid, make_pes(payload, {.private_data = block("renewed-iv-54321")})));
  ASSERT_EQ(out.size(), 1u);
  if (c.plain) {
    EXPECT_EQ(payload_of(out[0]), payload);
    EXPECT_EQ(d.current_iv(), test_keys().aes_iv);
  } else {
    auto expected = aes128_cbc_decrypt(test_keys().aes_key, block("renewed-iv-54321"),
                                       ByteSpan(payload).first(payload.size() / 16 * 16));
    ASSERT_TRUE(expected);
    EXPECT_EQ(Bytes(out[0].payload().begin(), out[0].payload().begin() + 16),
              Bytes(expected->begin(), expected->begin() + 16));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Starts, TsPlainTest,
    ::testing::Values(
        // FF F1 50 80 2F FF FC: MPEG-4, no CRC, LC, index 4 (44.1 kHz) ...
        PlainCase{"Adts48kNoCrc", {0xFF, 0xF1, 0x4C, 0x80, 0x2E, 0x1F, 0xFC}, true},
        PlainCase{"Adts48kWithCrc", {0xFF, 0xF0, 0x4C, 0x80, 0x2E, 0x1F, 0xFC, 0x12, 0x34}, true},
        PlainCase{"Mpeg2Adts48k", {0xFF, 0xF9, 0x4C, 0x80, 0x2E, 0x1F, 0xFC}, true},
        PlainCase{"FrameLengthEqualsHeader", {0xFF, 0xF1, 0x4C, 0x80, 0x00, 0xFF, 0xFC}, true},
        PlainCase{"SyncOnly44k", {0xFF, 0xF1, 0x50, 0x80, 0x2E, 0x1F, 0xFC}, false},
        PlainCase{"SyncWithReservedIndex", {0xFF, 0xF1, 0x7C, 0x80, 0x2E, 0x1F, 0xFC}, false},
        PlainCase{"SyncWithFrameLengthSix", {0xFF, 0xF1, 0x4C, 0x80, 0x00, 0xDF, 0xFC}, false},
        PlainCase{
            "CrcHeaderLongerThanFrame", {0xFF, 0xF0, 0x4C, 0x80, 0x01, 0x1F, 0xFC, 0, 0}, false},
        PlainCase{"LayerBitsSet", {0xFF, 0xF3, 0x4C, 0x80, 0x2E, 0x1F, 0xFC}, false},
        PlainCase{"NoSync", {0x12, 0x34, 0x4C, 0x80, 0x2E, 0x1F, 0xFC}, false}),
    [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace sonvale
