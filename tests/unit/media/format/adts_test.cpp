#include "media/format/adts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sonvale {
namespace {

// An ADTS frame of `length` bytes (header included) at `sampling_index`; body bytes count up.
Bytes frame(std::size_t length, std::uint8_t sampling_index = 3, bool crc = false,
            std::uint8_t fill = 1) {
  Bytes f = {0xFF,
             static_cast<std::uint8_t>(crc ? 0xF0 : 0xF1),
             static_cast<std::uint8_t>(0x40 | (sampling_index << 2)),
             static_cast<std::uint8_t>(0x80 | ((length >> 11) & 0x03)),
             static_cast<std::uint8_t>(length >> 3),
             static_cast<std::uint8_t>(((length & 0x07) << 5) | 0x1F),
             0xFC};
  if (crc) f.insert(f.end(), {0xAA, 0xBB});
  while (f.size() < length) f.push_back(static_cast<std::uint8_t>(fill + f.size()));
  f.resize(length);
  return f;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct ExtractCase {
  std::string name;
  Bytes buffer;
  std::vector<Bytes> frames;
  Bytes left;
};

// Feeds one piece to the framer and returns the frames it then cuts (copied out), checking that
// each frame's parsed header agrees with its bytes.
std::vector<Bytes> cut(AdtsFramer& framer, const Bytes& piece) {
  framer.push(piece);
  std::vector<Bytes> out;
  while (const auto f = framer.next_frame()) {
    EXPECT_EQ(f->bytes.size(), f->header.frame_length);
    EXPECT_EQ(f->header_bytes().size() + f->payload().size(), f->bytes.size());
    out.emplace_back(f->bytes.begin(), f->bytes.end());
  }
  return out;
}

Bytes left_in(const AdtsFramer& framer) {
  return Bytes(framer.buffered().begin(), framer.buffered().end());
}

class ExtractAdtsTest : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractAdtsTest, CutsCompleteFramesAndKeepsTheRest) {
  const auto& c = GetParam();
  AdtsFramer framer;
  EXPECT_EQ(cut(framer, c.buffer), c.frames);
  EXPECT_EQ(left_in(framer), c.left);
}

const Bytes kA = frame(200);
const Bytes kB = frame(150, 3, true, 9);
const Bytes kC = frame(300, 3, false, 5);

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractAdtsTest,
    ::testing::Values(
        ExtractCase{"Empty", {}, {}, {}},
        ExtractCase{"TwoFramesAndAPartialThird",
                    cat({kA, kB, Bytes(kC.begin(), kC.begin() + 100)}),
                    {kA, kB},
                    Bytes(kC.begin(), kC.begin() + 100)},
        ExtractCase{"GarbageBeforeTheFirstSync", cat({{1, 2, 3, 4, 5}, kA}), {kA}, {}},
        ExtractCase{"GarbageBetweenFrames", cat({kA, {0x00, 0xFF, 0x00}, kB}), {kA, kB}, {}},
        ExtractCase{"NoSyncKeepsALastFF", {1, 2, 0xFF, 3, 0xFF}, {}, {0xFF}},
        ExtractCase{"NoSyncNoFF", {1, 2, 0xFF, 3}, {}, {}},
        ExtractCase{"OneNonFFByteDropped", cat({kA, {0x12}}), {kA}, {}},
        ExtractCase{"OneFFByteKept", cat({kA, {0xFF}}), {kA}, {0xFF}},
        ExtractCase{"SyncWithFewerThanSevenBytesWaits",
                    cat({kA, {0xFF, 0xF1, 0x4C}}),
                    {kA},
                    {0xFF, 0xF1, 0x4C}},
        ExtractCase{"DeclaredSevenIsAFalseSync", cat({frame(7), kA}), {kA}, {}},
        ExtractCase{"DeclaredEightIsAFrame", frame(8), {frame(8)}, {}},
        ExtractCase{"CrcHeaderDeclaredNineIsAFalseSync", cat({frame(9, 3, true), kB}), {kB}, {}},
        ExtractCase{"CrcHeaderDeclaredTenIsAFrame", frame(10, 3, true), {frame(10, 3, true)}, {}},
        ExtractCase{"OtherRatesAreStillCut", frame(64, 4), {frame(64, 4)}, {}},
        ExtractCase{"IncompleteFrameWaits",
                    Bytes(kA.begin(), kA.end() - 1),
                    {},
                    Bytes(kA.begin(), kA.end() - 1)}),
    [](const auto& p) { return p.param.name; });

TEST(ExtractAdtsTest, KeptFFCompletesTheSyncOfTheNextPayload) {
  AdtsFramer framer;
  EXPECT_TRUE(cut(framer, {7, 7, 0xFF}).empty());
  ASSERT_EQ(left_in(framer), Bytes{0xFF});
  EXPECT_EQ(cut(framer, Bytes(kA.begin() + 1, kA.end())), std::vector<Bytes>{kA});
  EXPECT_TRUE(left_in(framer).empty());
}

TEST(ExtractAdtsTest, LongestFrameWaitsForItsLastByte) {
  const Bytes big = frame(8191);
  AdtsFramer framer;
  EXPECT_TRUE(cut(framer, Bytes(big.begin(), big.end() - 1)).empty());
  EXPECT_EQ(left_in(framer).size(), 8190u);
  EXPECT_EQ(cut(framer, Bytes{big.back()}), std::vector<Bytes>{big});
  EXPECT_TRUE(left_in(framer).empty());
}

TEST(ExtractAdtsTest, FramesFedOneByteAtATimeComeOutWhole) {
  const Bytes stream = cat({{0x00, 0xFF}, kA, {0x12}, kB, kC});
  AdtsFramer framer;
  std::vector<Bytes> frames;
  for (const std::uint8_t b : stream) {
    for (Bytes& f : cut(framer, Bytes{b})) frames.push_back(std::move(f));
    EXPECT_LT(left_in(framer).size(), kC.size());
  }
  EXPECT_EQ(frames, (std::vector<Bytes>{kA, kB, kC}));
  EXPECT_TRUE(left_in(framer).empty());
}

struct ProbeCase {
  std::string name;
  Bytes payload;
  std::uint32_t rate;
  std::uint64_t bitrate;
};

class ProbeTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(ProbeTest, ReadsRateAndBitrate) {
  const auto p = probe_audio_format(GetParam().payload);
  EXPECT_EQ(p.sample_rate, GetParam().rate);
  EXPECT_EQ(p.bitrate, GetParam().bitrate);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProbeTest,
                         ::testing::Values(ProbeCase{"Frame384At48k", frame(384), 48000, 144000},
                                           ProbeCase{"At44k", frame(384, 4), 44100, 132300},
                                           ProbeCase{"Index12", frame(100, 12), 7350, 5742},
                                           ProbeCase{"ReservedIndex13", frame(100, 13), 0, 0},
                                           ProbeCase{"ThreeBytes", {0xFF, 0xF1, 0x4C}, 0, 0},
                                           ProbeCase{"SixBytes", Bytes(kA.begin(), kA.begin() + 6),
                                                     0, 0},
                                           ProbeCase{"Empty", {}, 0, 0},
                                           ProbeCase{"NoSyncAtStart", cat({{0}, kA}), 0, 0}),
                         [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace sonvale
