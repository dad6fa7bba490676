#include "media/output/pcm_conversion.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace sonvale {
namespace {

TEST(PcmSampleTest, ClampsScalesAndRoundsHalfAwayFromZero) {
  struct Case {
    float in;
    std::int16_t out;
  };
  const Case cases[] = {
      {0.0f, 0},
      {-0.0f, 0},
      {1.0f, 32767},
      {-1.0f, -32767},
      {1.5f, 32767},
      {-2.0f, -32767},
      {0.5f, 16384},
      {-0.5f, -16384},
      {1.0f / 32767, 1},
      {0.49f / 32767, 0},
      {-1.51f / 32767, -2},
      {1e30f, 32767},
      {-std::numeric_limits<float>::infinity(), -32767},
      {std::numeric_limits<float>::quiet_NaN(), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(pcm_sample_to_s16(c.in), c.out) << c.in;
}

std::vector<std::int16_t> samples_of(const Bytes& chunk) {
  std::vector<std::int16_t> out;
  for (std::size_t i = 0; i + 1 < chunk.size(); i += 2) {
    out.push_back(static_cast<std::int16_t>(chunk[i] | (chunk[i + 1] << 8)));
  }
  return out;
}

// Golden values from tests/unit/media/golden/resampler_golden.py (numpy, float32), which
// implements the resampler independently from its definition.
struct GoldenChunk {
  std::size_t frames;
  std::array<std::int16_t, 8> first;
  std::array<std::int16_t, 4> last;
  std::int64_t sum;
  std::int64_t weighted_sum;
};
constexpr GoldenChunk kGolden[] = {
    {941,
     {0, 0, -32585, -31373, -29946, -28734, -27307, -26095},
     {14582, 15794, 17221, 18434},
     -267740,
     -47966701},
    {941,
     {8062, 9275, -31697, -30485, -29058, -27845, -26419, -25206},
     {15470, 16683, 18109, 19322},
     -223037,
     68730187},
    {941,
     {-2847, -1635, -30809, -29596, -28170, -26957, -25530, -24318},
     {16359, 17571, 18998, 20210},
     -211687,
     70844434},
};

std::vector<float> golden_input(int chunk) {
  std::vector<float> x(2048);
  for (int k = 0; k < 2048; ++k)
    x[static_cast<std::size_t>(k)] =
        static_cast<float>(((k * 37 + chunk * 11) % 2003 - 1001) / 1000.0);
  return x;
}

TEST(StreamResamplerTest, MatchesTheIndependentGoldenVector) {
  StreamResampler r;
  for (int c = 0; c < 3; ++c) {
    SCOPED_TRACE(c);
    const auto s = samples_of(r.convert(golden_input(c)));
    const auto& g = kGolden[c];
    ASSERT_EQ(s.size(), 2 * g.frames);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(s[i], g.first[i]) << i;
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(s[s.size() - 4 + i], g.last[i]) << i;
    std::int64_t sum = 0, weighted = 0;
    for (std::size_t j = 0; j < s.size(); ++j) {
      sum += s[j];
      weighted += static_cast<std::int64_t>(j + 1) * s[j];
    }
    EXPECT_EQ(sum, g.sum);
    EXPECT_EQ(weighted, g.weighted_sum);
  }
}

TEST(StreamResamplerTest, ChunksFollowThe941And940Pattern) {
  StreamResampler r;
  const std::vector<float> frame(2048, 0.25f);
  std::vector<std::size_t> frames;
  for (int i = 0; i < 16; ++i) {
    const Bytes chunk = r.convert(frame);
    frames.push_back(chunk.size() / 4);
    if (i == 0) {
      EXPECT_NEAR(r.resample_position(), 941 * (48000.0 / 44100.0) - 1024, 1e-9);
      EXPECT_NEAR(r.resample_position(), 0.21768707483, 1e-10);
      EXPECT_EQ(samples_of(chunk)[0], 0);  // the first output frame is the initial silence
      EXPECT_EQ(samples_of(chunk)[1], 0);
      EXPECT_EQ(samples_of(chunk)[2], 8192);
    }
  }
  const std::vector<std::size_t> expected = {941, 941, 941, 941, 941, 940, 941, 941,
                                             941, 941, 940, 941, 941, 941, 941, 940};
  EXPECT_EQ(frames, expected);
}

TEST(StreamResamplerTest, InterpolatesAcrossChunkBoundaries) {
  // A ramp cut into uneven chunks gives the same stream as the ramp in one piece.
  std::vector<float> ramp;
  for (int i = 0; i < 3000; ++i) {
    const float v = static_cast<float>(i) / 3000.0f;
    ramp.push_back(v);
    ramp.push_back(-v);
  }
  StreamResampler whole;
  const auto expected = samples_of(whole.convert(ramp));
  StreamResampler pieces;
  std::vector<std::int16_t> got;
  std::size_t pos = 0;
  for (const std::size_t frames : {1u, 1023u, 7u, 969u, 1000u}) {
    const auto s =
        samples_of(pieces.convert(std::span<const float>(ramp).subspan(pos, 2 * frames)));
    got.insert(got.end(), s.begin(), s.end());
    pos += 2 * frames;
  }
  EXPECT_EQ(got, expected);
}

TEST(StreamResamplerTest, EmptyChunkKeepsTheState) {
  StreamResampler r;
  const std::vector<float> frame(2048, 0.5f);
  (void)r.convert(frame);
  const double before = r.resample_position();
  EXPECT_TRUE(r.convert(std::span<const float>()).empty());
  EXPECT_TRUE(r.convert(std::span<const float>(frame).first(1)).empty());
  EXPECT_EQ(r.resample_position(), before);
  // The next chunk still starts from the last frame of the first one: no silence at its start.
  const auto s = samples_of(r.convert(frame));
  EXPECT_EQ(s[0], 16384);
}

}  // namespace
}  // namespace sonvale
