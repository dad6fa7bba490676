// The PCM stream's sample conversion and resampler against the per-sample code they replaced,
// which is kept here (and only here) as the reference:
//   1. every float in [-1.5, 1.5] (with --all: every one of the 2^32 bit patterns) through the
//      inline conversion and the four-lane buffer conversion, each compared with the reference;
//   2. a long stream of chunks of many sizes (odd ones, empty ones, 1024-frame ones) with values
//      beyond +-1, NaN, infinities and denormals through both resamplers: the same bytes and the
//      same resample position after every chunk;
//   3. the cost of one 1024-frame chunk, new against old, as a ratio in the same run.
// Exits 1 at the first difference.
//
//   bench_pcm_conversion [--all]

#include "media/output/pcm_conversion.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <vector>

namespace {

using namespace sonvale;

// The conversion as it was: a clamp, a float product and lround through the C library.
std::int16_t reference_sample(float sample) {
  if (std::isnan(sample)) return 0;
  const float clamped = sample < -1.0f ? -1.0f : (sample > 1.0f ? 1.0f : sample);
  return static_cast<std::int16_t>(std::lround(clamped * 32767.0f));
}

// The resampler as it was: per output frame, two samples appended byte by byte.
class ReferenceResampler {
 public:
  Bytes convert(std::span<const float> interleaved) {
    const std::size_t n = interleaved.size();
    const std::size_t frames = n / 2;
    Bytes chunk;
    chunk.reserve(2 * n);
    if (frames == 0) return chunk;
    const double step = 48000.0 / 44100.0;
    const double end = static_cast<double>(frames);
    double p = position_;
    const auto put = [&chunk](float v) {
      const auto s = static_cast<std::uint16_t>(reference_sample(v));
      chunk.push_back(static_cast<std::uint8_t>(s & 0xff));
      chunk.push_back(static_cast<std::uint8_t>(s >> 8));
    };
    while (p < end) {
      const auto i = static_cast<std::size_t>(p);
      const auto f = static_cast<float>(p - static_cast<double>(i));
      const float l0 = i == 0 ? left_ : interleaved[2 * (i - 1)];
      const float r0 = i == 0 ? right_ : interleaved[2 * (i - 1) + 1];
      const float l1 = interleaved[2 * i];
      const float r1 = interleaved[2 * i + 1];
      put(l0 + (l1 - l0) * f);
      put(r0 + (r1 - r0) * f);
      p += step;
    }
    position_ = p - end;
    left_ = interleaved[n - 2];
    right_ = interleaved[n - 1];
    return chunk;
  }
  double position() const { return position_; }

 private:
  double position_ = 0.0;
  float left_ = 0.0f;
  float right_ = 0.0f;
};

std::int16_t s16_at(const Bytes& bytes, std::size_t k) {
  return static_cast<std::int16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
}

// Checks the bit patterns [first, last] in blocks; returns how many it checked, or -1.
long long check_patterns(std::uint32_t first, std::uint32_t last) {
  constexpr std::size_t kBlock = 1 << 20;
  std::vector<float> block(kBlock);
  Bytes converted(2 * kBlock);
  long long checked = 0;
  std::uint64_t next = first;
  while (next <= last) {
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, std::uint64_t{last} - next + 1));
    for (std::size_t k = 0; k < count; ++k) {
      block[k] = std::bit_cast<float>(static_cast<std::uint32_t>(next + k));
    }
    pcm_samples_to_s16le(std::span<const float>(block.data(), count), converted.data());
    for (std::size_t k = 0; k < count; ++k) {
      const std::int16_t want = reference_sample(block[k]);
      const std::int16_t inline_value = pcm_sample_to_s16(block[k]);
      const std::int16_t lane_value = s16_at(converted, k);
      if (inline_value != want || lane_value != want) {
        std::printf("DIFFERENCE at bits 0x%08x (%.9g): reference %d, inline %d, four-lane %d\n",
                    static_cast<unsigned>(next + k), static_cast<double>(block[k]), want,
                    inline_value, lane_value);
        return -1;
      }
    }
    checked += static_cast<long long>(count);
    next += count;
  }
  return checked;
}

bool check_resamplers() {
  std::mt19937 random(20240527);
  std::uniform_real_distribution<float> wide(-1.6f, 1.6f);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            -std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::denorm_min(),
                            -std::numeric_limits<float>::denorm_min(),
                            std::bit_cast<float>(0x007fffffu),
                            -0.0f,
                            1.0f,
                            -1.0f,
                            0.5f,
                            std::bit_cast<float>(0x37800100u),   // 0.5 LSB, a tie
                            std::bit_cast<float>(0xb8400180u)};  // -1.5 LSB, a tie
  const std::size_t sizes[] = {2048, 2048, 2047, 1, 0, 2, 3, 7, 2048, 200, 4096, 1023, 2048};
  StreamResampler ours;
  ReferenceResampler theirs;
  std::vector<float> input;
  long long bytes = 0;
  for (int c = 0; c < 200000; ++c) {
    input.resize(sizes[static_cast<std::size_t>(c) % std::size(sizes)]);
    for (float& v : input) {
      const auto pick = random() % 64;
      v = pick < std::size(specials) ? specials[pick] : wide(random);
    }
    const Bytes got = ours.convert(input);
    const Bytes want = theirs.convert(input);
    if (got != want || ours.resample_position() != theirs.position()) {
      std::printf("DIFFERENCE in resampled chunk %d (%zu samples): %zu bytes against %zu\n", c,
                  input.size(), got.size(), want.size());
      return false;
    }
    bytes += static_cast<long long>(got.size());
  }
  std::printf("resampler: 200000 chunks, %lld bytes, identical to the reference\n", bytes);
  return true;
}

template <class Resampler>
double seconds_per_chunk(Resampler& r, const std::vector<float>& chunk, int rounds,
                         std::uint64_t* sink) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    const Bytes out = r.convert(chunk);
    *sink += out[out.size() / 2];
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  const bool all = argc > 1 && std::strcmp(argv[1], "--all") == 0;
  const auto start = std::chrono::steady_clock::now();
  long long checked = 0;
  const std::uint32_t one_and_a_half = std::bit_cast<std::uint32_t>(1.5f);
  if (all) {
    checked = check_patterns(0, 0xffffffffu);
  } else {
    const long long positive = check_patterns(0, one_and_a_half);  // +0 up to 1.5
    const long long negative = check_patterns(0x80000000u, 0x80000000u | one_and_a_half);
    checked = positive < 0 || negative < 0 ? -1 : positive + negative;
  }
  if (checked < 0) return 1;
  std::printf(
      "samples: %lld floats (%s) identical to the reference, inline and four-lane, %.1f s\n",
      checked, all ? "every bit pattern" : "every float in [-1.5, 1.5], both zeros",
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  if (!check_resamplers()) return 1;

  std::vector<float> tone(2048);
  for (std::size_t i = 0; i < tone.size(); ++i) {
    tone[i] = 0.8f * std::sin(static_cast<float>(i / 2) * 0.0654f);
  }
  std::uint64_t sink = 0;
  StreamResampler ours;
  ReferenceResampler theirs;
  double best_ours = 1e9;
  double best_theirs = 1e9;
  for (int round = 0; round < 5; ++round) {  // alternating, best of five
    best_theirs = std::min(best_theirs, seconds_per_chunk(theirs, tone, 20000, &sink));
    best_ours = std::min(best_ours, seconds_per_chunk(ours, tone, 20000, &sink));
  }
  std::printf("one 1024-frame chunk: %.2f us, before %.2f us: ratio %.3f (%llu)\n", best_ours * 1e6,
              best_theirs * 1e6, best_ours / best_theirs,
              static_cast<unsigned long long>(sink % 10));
  return 0;
}
