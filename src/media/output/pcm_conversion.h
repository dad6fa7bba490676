#pragma once

#include <cstdint>
#include <span>

#include "core/bytes.h"

namespace sonvale {

// One sample of the PCM stream: clamped to [-1, 1], times 32767, rounded half away from zero.
// NaN gives 0; -32768 is never produced.
std::int16_t pcm_sample_to_s16(float sample);

// Turns decoded 48000 Hz interleaved stereo f32 frames into the PCM stream's 44100 Hz s16le
// chunks by linear interpolation. The state runs on across chunks: each output frame at
// fractional input position p interpolates between input frames floor(p) - 1 and floor(p)
// (the frame before a chunk being the last frame of the previous one, silence at the start), so
// the stream is continuous and one input frame late. One thread uses it.
class StreamResampler {
 public:
  StreamResampler(std::uint32_t source_rate = 48000, std::uint32_t target_rate = 44100)
      : source_rate_(source_rate), target_rate_(target_rate) {}

  // One chunk of s16le stereo frames from `interleaved` (an odd last sample is ignored).
  Bytes convert(std::span<const float> interleaved);

  double resample_position() const { return resample_position_; }

 private:
  double resample_position_ = 0.0;
  std::uint32_t source_rate_;
  std::uint32_t target_rate_;
  float previous_left_ = 0.0f;
  float previous_right_ = 0.0f;
};

}  // namespace sonvale
