#include "media/output/pcm_conversion.h"

#include <cmath>

namespace sonvale {

std::int16_t pcm_sample_to_s16(float sample) {
  if (std::isnan(sample)) return 0;
  const float clamped = sample < -1.0f ? -1.0f : (sample > 1.0f ? 1.0f : sample);
  // |clamped x 32767| <= 32767, so the rounded value always fits.
  return static_cast<std::int16_t>(std::lround(clamped * 32767.0f));
}

Bytes StreamResampler::convert(std::span<const float> interleaved) {
  const std::size_t n = interleaved.size();
  const std::size_t frames = n / 2;
  Bytes chunk;
  chunk.reserve(2 * n);
  if (frames == 0) return chunk;

  const double step = static_cast<double>(source_rate_) / static_cast<double>(target_rate_);
  const double end = static_cast<double>(frames);
  double p = resample_position_;
  const auto put = [&chunk](float v) {
    const auto s = static_cast<std::uint16_t>(pcm_sample_to_s16(v));
    chunk.push_back(static_cast<std::uint8_t>(s & 0xff));
    chunk.push_back(static_cast<std::uint8_t>(s >> 8));
  };
  while (p < end) {
    const auto i = static_cast<std::size_t>(p);
    const auto f = static_cast<float>(p - static_cast<double>(i));
    const float l0 = i == 0 ? previous_left_ : interleaved[2 * (i - 1)];
    const float r0 = i == 0 ? previous_right_ : interleaved[2 * (i - 1) + 1];
    const float l1 = interleaved[2 * i];
    const float r1 = interleaved[2 * i + 1];
    put(l0 + (l1 - l0) * f);
    put(r0 + (r1 - r0) * f);
    p += step;
  }
  resample_position_ = p - end;
  previous_left_ = interleaved[n - 2];
  previous_right_ = interleaved[n - 1];
  return chunk;
}

}  // namespace sonvale
