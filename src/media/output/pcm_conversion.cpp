#include "media/output/pcm_conversion.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace sonvale {
namespace {

// Four lanes of pcm_sample_to_s16, with the compiler's vector types (SSE2 on x86-64, NEON on
// arm64): the same operations on the same bits, so the same results.
using F32x4 = float __attribute__((vector_size(16)));
using I32x4 = std::int32_t __attribute__((vector_size(16)));
using I16x4 = std::int16_t __attribute__((vector_size(8)));

I16x4 to_s16x4(F32x4 samples) {
  const auto bits = reinterpret_cast<I32x4>(samples);
  // Magnitudes fit in 31 bits, so signed lane comparisons serve.
  const I32x4 magnitude = bits & 0x7fffffff;
  const I32x4 beyond = magnitude > 0x3f800000;  // all ones where true
  const I32x4 nan = magnitude > 0x7f800000;
  const I32x4 limit = (bits & std::numeric_limits<std::int32_t>::min()) | 0x3f800000;
  const I32x4 clamped = ((bits & ~beyond) | (limit & beyond)) & ~nan;
  const F32x4 scaled = reinterpret_cast<F32x4>(clamped) * 32767.0f;
  const I32x4 whole = __builtin_convertvector(scaled, I32x4);
  const auto dropped = reinterpret_cast<I32x4>(scaled - __builtin_convertvector(whole, F32x4));
  const I32x4 away = ((dropped & 0x7fffffff) >= 0x3f000000) & 1;
  const I32x4 negative = dropped >> 31;  // arithmetic: all ones where negative
  return __builtin_convertvector(whole + ((away ^ negative) - negative), I16x4);
}

}  // namespace

void pcm_samples_to_s16le(std::span<const float> samples, std::uint8_t* out) {
  const std::size_t n = samples.size();
  std::size_t k = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // The bytes of native s16 lanes are already in the stream's order.
    for (; k + 4 <= n; k += 4) {
      F32x4 lanes;
      std::memcpy(&lanes, samples.data() + k, sizeof lanes);
      const I16x4 converted = to_s16x4(lanes);
      std::memcpy(out + 2 * k, &converted, sizeof converted);
    }
  }
  for (; k < n; ++k) {
    const auto s = static_cast<std::uint16_t>(pcm_sample_to_s16(samples[k]));
    out[2 * k] = static_cast<std::uint8_t>(s & 0xff);
    out[2 * k + 1] = static_cast<std::uint8_t>(s >> 8);
  }
}

Bytes StreamResampler::convert(std::span<const float> interleaved, Bytes storage) {
  const std::size_t n = interleaved.size();
  const std::size_t frames = n / 2;
  if (frames == 0) {
    storage.clear();
    return storage;
  }

  const double step = static_cast<double>(source_rate_) / static_cast<double>(target_rate_);
  const double end = static_cast<double>(frames);
  double p = resample_position_;
  // The output frames are the positions p, p + step, ... below `end`, about (end - p) / step of
  // them; two more cover the rounding of that quotient. Should the estimate ever fall short (or
  // be capped, for rates that upsample), the buffer grows.
  const double estimate = p < end ? (end - p) / step + 2.0 : 0.0;
  const auto room = 2 * static_cast<std::size_t>(std::min(estimate, end + 2.0));
  if (mixed_.size() < room) mixed_.resize(room);
  const float* in = interleaved.data();
  std::size_t count = 0;  // samples interpolated
  const auto put = [&](float left0, float right0, float left1, float right1, float f) {
    if (count == mixed_.size()) mixed_.resize(2 * mixed_.size() + 2);
    mixed_[count] = left0 + (left1 - left0) * f;
    mixed_[count + 1] = right0 + (right1 - right0) * f;
    count += 2;
  };
  // Positions before input frame 1 start from the frame before the chunk.
  for (; p < end && p < 1.0; p += step) {
    put(previous_left_, previous_right_, in[0], in[1], static_cast<float>(p));
  }
  for (; p < end; p += step) {
    const auto i = static_cast<std::int64_t>(p);
    const auto f = static_cast<float>(p - static_cast<double>(i));
    const float* a = in + 2 * (i - 1);  // input frame i - 1, then frame i
    put(a[0], a[1], a[2], a[3], f);
  }
  resample_position_ = p - end;
  // Samples n - 2 and n - 1, as the stream has always taken them (for an odd n, the last
  // frame's right sample and the odd one).
  previous_left_ = in[n - 2];
  previous_right_ = in[n - 1];

  // Every byte is written below: a reused buffer of about this size is not filled first.
  storage.resize(2 * count);
  pcm_samples_to_s16le(std::span<const float>(mixed_.data(), count), storage.data());
  return storage;
}

}  // namespace sonvale
