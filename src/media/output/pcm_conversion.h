#pragma once

#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "core/bytes.h"

namespace sonvale {

// One sample of the PCM stream: clamped to [-1, 1], times 32767 in float, rounded half away from
// zero. NaN gives 0; -32768 is never produced. Written without branches on the sample's bits
// (pcm_samples_to_s16le does the same four at a time), and inline, so that whole buffers convert
// without a call or a mispredicted branch per sample.
inline std::int16_t pcm_sample_to_s16(float sample) {
  const auto bits = std::bit_cast<std::uint32_t>(sample);
  const std::uint32_t magnitude = bits & 0x7fffffffu;
  // All ones where |sample| > 1 (infinities included), and where it is NaN.
  const std::uint32_t beyond = 0u - static_cast<std::uint32_t>(magnitude > 0x3f800000u);
  const std::uint32_t nan = 0u - static_cast<std::uint32_t>(magnitude > 0x7f800000u);
  const std::uint32_t limit = (bits & 0x80000000u) | 0x3f800000u;  // +-1.0
  const std::uint32_t clamped = ((bits & ~beyond) | (limit & beyond)) & ~nan;
  const float scaled = std::bit_cast<float>(clamped) * 32767.0f;
  // |scaled| <= 32767: truncating is defined, and the fraction it drops is exact in float.
  const auto whole = static_cast<std::int32_t>(scaled);
  const auto dropped = std::bit_cast<std::uint32_t>(scaled - static_cast<float>(whole));
  // One step away from zero when at least half was dropped, in the direction of the sign.
  const auto away = static_cast<std::uint32_t>((dropped & 0x7fffffffu) >= 0x3f000000u);
  const std::uint32_t negative = 0u - (dropped >> 31);
  return static_cast<std::int16_t>(whole + static_cast<std::int32_t>((away ^ negative) - negative));
}

// pcm_sample_to_s16 of every sample of `samples`, written to `out` as two bytes each,
// little-endian (2 x samples.size() bytes).
void pcm_samples_to_s16le(std::span<const float> samples, std::uint8_t* out);

// Turns decoded 48000 Hz interleaved stereo f32 frames into the PCM stream's 44100 Hz s16le
// chunks by linear interpolation. The state runs on across chunks: each output frame at
// fractional input position p interpolates between input frames floor(p) - 1 and floor(p)
// (the frame before a chunk being the last frame of the previous one, silence at the start), so
// the stream is continuous and one input frame late. One thread uses it.
class StreamResampler {
 public:
  StreamResampler(std::uint32_t source_rate = 48000, std::uint32_t target_rate = 44100)
      : source_rate_(source_rate), target_rate_(target_rate) {}

  // One chunk of s16le stereo frames from `interleaved` (an odd last sample is ignored), written
  // into one buffer sized once: `storage`, whose allocation it reuses (its bytes are
  // overwritten), or a new one.
  Bytes convert(std::span<const float> interleaved, Bytes storage = Bytes());

  double resample_position() const { return resample_position_; }

 private:
  double resample_position_ = 0.0;
  std::uint32_t source_rate_;
  std::uint32_t target_rate_;
  float previous_left_ = 0.0f;
  float previous_right_ = 0.0f;
  // The interpolated samples of a chunk; grown to the largest chunk and reused.
  std::vector<float> mixed_;
};

}  // namespace sonvale
