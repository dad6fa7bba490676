#pragma once

#include <memory>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace sonvale {

// An AAC-LC decoder for 48000 Hz stereo (libavcodec), fed one raw AAC frame (the ADTS payload
// without its header) at a time. Keeps its state from frame to frame. One thread uses it.
class AacDecoder {
 public:
  static constexpr int kFrameSamples = 1024;  // per channel

  [[nodiscard]] static Result<AacDecoder> create();

  AacDecoder(AacDecoder&&) noexcept;
  AacDecoder& operator=(AacDecoder&&) noexcept;
  ~AacDecoder();

  // Decodes one frame into `out` as interleaved stereo floats (2048 samples; a mono frame is
  // duplicated into both channels). `timestamp` is the frame's position in samples. Fails with
  // the library's error text, or when the frame is not 1024 samples at 48000 Hz.
  [[nodiscard]] Result<> decode(ByteSpan raw_frame, std::int64_t timestamp,
                                std::vector<float>& out);

 private:
  struct Impl;
  explicit AacDecoder(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace sonvale
