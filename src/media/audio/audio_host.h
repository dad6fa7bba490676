#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace sonvale::audio {

// Sample formats a device may offer. The native output plays only kI16, kU16 and kF32.
enum class SampleFormat { kI8, kI16, kI24, kI32, kI64, kU8, kU16, kU24, kU32, kU64, kF32, kF64 };

// "i16", "u16", "f32", ...
std::string_view sample_format_text(SampleFormat format);

// Buffer sizes a device accepts, in frames; unknown when min and max are 0.
struct BufferSizeRange {
  std::uint32_t min_frames = 0;
  std::uint32_t max_frames = 0;
};

// One supported output configuration range of a device.
struct SupportedOutputRange {
  std::uint16_t channels = 0;
  std::uint32_t min_sample_rate = 0;
  std::uint32_t max_sample_rate = 0;
  BufferSizeRange buffer_size;
  SampleFormat format = SampleFormat::kF32;
};

// A device's default output configuration.
struct DefaultOutputConfig {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  SampleFormat format = SampleFormat::kF32;
};

// The configuration a stream is built with; the buffer size is always the device's default.
struct StreamConfig {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  SampleFormat format = SampleFormat::kF32;
};

// Fixes a supported range at one sample rate.
StreamConfig fix_range_at(const SupportedOutputRange& range, std::uint32_t sample_rate);

// The two instants of one output callback on the stream's own clock: when the callback was
// invoked and when the first frame of its buffer will be played.
struct OutputTimestamp {
  std::chrono::nanoseconds callback{0};
  std::chrono::nanoseconds playback{0};
};

// The data callback of an output stream of sample type S: fill every sample of `buffer`
// (interleaved frames of the stream's channel count). Runs on the host's audio thread.
template <class S>
using DataCallback = std::function<void(std::span<S> buffer, const OutputTimestamp& timestamp)>;
// Called with the text of every stream error the host reports, on whichever thread it reports
// from (the audio thread for failures inside the render path).
using ErrorCallback = std::function<void(const std::string& message)>;

// A built output stream. Destroying it stops the output; after the destructor returns neither
// callback runs again and both have been released.
class OutputStream {
 public:
  virtual ~OutputStream() = default;
  [[nodiscard]] virtual Result<> play() = 0;
};

// One audio device of a host. Methods run on the calling thread and may fail with the host's
// own error text.
class AudioDevice {
 public:
  virtual ~AudioDevice() = default;
  // The host's identifier of the device; the id text is "<host name>:<identifier>".
  [[nodiscard]] virtual Result<std::string> id() const = 0;
  // The device's name (its description).
  [[nodiscard]] virtual Result<std::string> name() const = 0;
  // Whether the host lists any output configuration for the device.
  virtual bool supports_output() const = 0;
  [[nodiscard]] virtual Result<DefaultOutputConfig> default_output_config() const = 0;
  [[nodiscard]] virtual Result<std::vector<SupportedOutputRange>> supported_output_configs()
      const = 0;

  [[nodiscard]] virtual Result<std::unique_ptr<OutputStream>> build_output_stream_f32(
      const StreamConfig& config, DataCallback<float> data, ErrorCallback error) = 0;
  [[nodiscard]] virtual Result<std::unique_ptr<OutputStream>> build_output_stream_i16(
      const StreamConfig& config, DataCallback<std::int16_t> data, ErrorCallback error) = 0;
  [[nodiscard]] virtual Result<std::unique_ptr<OutputStream>> build_output_stream_u16(
      const StreamConfig& config, DataCallback<std::uint16_t> data, ErrorCallback error) = 0;
};

// An audio host: the platform's audio system as one library sees it.
class AudioHost {
 public:
  virtual ~AudioHost() = default;
  // The host's name, the first part of every device id text.
  virtual std::string name() const = 0;
  // Every device of the host, in the host's order.
  [[nodiscard]] virtual Result<std::vector<std::shared_ptr<AudioDevice>>> devices() = 0;
  // The system default output device, or null when there is none.
  virtual std::shared_ptr<AudioDevice> default_output_device() = 0;
};

// The platform's default host (RtAudio: CoreAudio on a Mac, PulseAudio or ALSA on Linux).
std::unique_ptr<AudioHost> default_audio_host();

}  // namespace sonvale::audio
