#include "media/output/pcm_conversion.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
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

// The edges of the conversion by bit pattern, for the inline function and for every lane of the
// four-at-a-time buffer conversion: ties of half a step rounded away from zero and their
// neighbours towards zero, the clamp at and just beyond +-1, infinities, NaNs of both signs and
// payloads, denormals and zeros.
TEST(PcmSampleTest, EdgesByBitPatternInlineAndInEveryLane) {
  struct Case {
    std::uint32_t bits;
    std::int16_t out;
  };
  const Case cases[] = {
      {0x37800100u, 1},       // scaled exactly 0.5
      {0x378000ffu, 0},       // scaled 0.49999994
      {0x38400180u, 2},       // 1.5
      {0x3840017fu, 1},       // 1.4999999
      {0x38a00140u, 3},       // 2.5
      {0x3f000000u, 16384},   // 0.5: 16383.5
      {0x3effffffu, 16383},   // just below 0.5
      {0x3f7fff00u, 32767},   // 32766.5
      {0x3f7ffeffu, 32766},   // 32766.498
      {0xb7800100u, -1},      // -0.5
      {0xb78000ffu, 0},       // -0.49999994
      {0xb8400180u, -2},      // -1.5
      {0xbf000000u, -16384},  // -16383.5
      {0xbf7fff00u, -32767},  // -32766.5
      {0xbf7ffeffu, -32766},  // -32766.498
      {0x3f800000u, 32767},   // 1.0
      {0xbf800000u, -32767},  // -1.0
      {0x3f800001u, 32767},   // just beyond 1
      {0xbf800001u, -32767},  // just beyond -1
      {0x3f7fffffu, 32767},   // just below 1: 32766.998
      {0x3fc00000u, 32767},   // 1.5
      {0xbfc00000u, -32767},  // -1.5
      {0x7f7fffffu, 32767},   // largest float
      {0xff7fffffu, -32767},  // most negative float
      {0x7f800000u, 32767},   // +infinity
      {0xff800000u, -32767},  // -infinity
      {0x7fc00000u, 0},       // quiet NaN
      {0xffc00000u, 0},       // negative quiet NaN
      {0x7f800001u, 0},       // signalling NaN, smallest payload
      {0xffffffffu, 0},       // NaN, every payload bit
      {0x00000001u, 0},       // smallest denormal
      {0x807fffffu, 0},       // largest negative denormal
      {0x00800000u, 0},       // smallest normal
      {0x00000000u, 0},       // +0.0
      {0x80000000u, 0},       // -0.0
  };
  std::vector<float> samples;
  for (const auto& c : cases) {
    const float in = std::bit_cast<float>(c.bits);
    EXPECT_EQ(pcm_sample_to_s16(in), c.out) << std::hex << c.bits;
    samples.push_back(in);
  }
  // Each case in each lane position, and in the tail past the last whole group of four.
  for (std::size_t shift = 0; shift < 4; ++shift) {
    std::vector<float> shifted(shift, 0.25f);
    shifted.insert(shifted.end(), samples.begin(), samples.end());
    Bytes out(2 * shifted.size());
    pcm_samples_to_s16le(shifted, out.data());
    for (std::size_t k = 0; k < std::size(cases); ++k) {
      const std::size_t at = shift + k;
      EXPECT_EQ(static_cast<std::int16_t>(out[2 * at] | (out[2 * at + 1] << 8)), cases[k].out)
          << std::hex << cases[k].bits << " at " << std::dec << at;
    }
  }
}

// The buffer conversion writes exactly its samples' bytes, little-endian, for every length
// around the groups of four, and nothing beyond them.
TEST(PcmSampleTest, BufferConversionWritesEachLengthExactly) {
  for (std::size_t n = 0; n <= 9; ++n) {
    std::vector<float> samples(n);
    for (std::size_t k = 0; k < n; ++k) {
      samples[k] = static_cast<float>(k + 1) * (k % 2 == 0 ? 0.1f : -0.1f);
    }
    Bytes out(2 * n + 2, 0xAB);
    pcm_samples_to_s16le(samples, out.data());
    for (std::size_t k = 0; k < n; ++k) {
      const auto want = static_cast<std::uint16_t>(pcm_sample_to_s16(samples[k]));
      EXPECT_EQ(out[2 * k], want & 0xff) << n << " " << k;
      EXPECT_EQ(out[2 * k + 1], want >> 8) << n << " " << k;
    }
    EXPECT_EQ(out[2 * n], 0xAB) << n;
    EXPECT_EQ(out[2 * n + 1], 0xAB) << n;
  }
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

// A buffer handed back for reuse, of any size and with stale bytes, gives the chunk a fresh one
// gives.
TEST(StreamResamplerTest, ReusedStorageGivesTheSameChunks) {
  StreamResampler fresh;
  StreamResampler reusing;
  for (int c = 0; c < 3; ++c) {
    SCOPED_TRACE(c);
    const auto input = golden_input(c);
    const Bytes expected = fresh.convert(input);
    for (const std::size_t stale : {std::size_t{0}, expected.size() - 4, expected.size(),
                                    expected.size() + 4, std::size_t{16384}}) {
      StreamResampler copy = reusing;
      EXPECT_EQ(copy.convert(input, Bytes(stale, 0x5A)), expected) << stale;
    }
    (void)reusing.convert(input, Bytes(7, 0x11));
  }
  Bytes stale(100, 0x77);
  EXPECT_TRUE(reusing.convert(std::span<const float>(), std::move(stale)).empty());
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
