#include "media/audio/rtaudio_host.h"

#include <RtAudio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sonvale::audio {
namespace {

std::string host_name_of(RtAudio::Api api) {
  if (api == RtAudio::MACOSX_CORE) return "coreaudio";
  const std::string name = RtAudio::getApiName(api);
  return name.empty() ? "rtaudio" : name;
}

std::string exception_text(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "unknown audio library failure";
  }
}

// RtAudio's error callback carries no user data, so each open stream borrows one of a fixed set
// of slots, each with its own plain function that forwards to the slot's handler.
using SlotHandler = std::function<void(RtAudioError::Type, const std::string&)>;

struct ErrorSlot {
  std::mutex mu;
  bool in_use = false;
  SlotHandler handler;
};

constexpr std::size_t kErrorSlots = 32;
std::array<ErrorSlot, kErrorSlots>& error_slots() {
  static auto* slots = new std::array<ErrorSlot, kErrorSlots>();  // never destroyed: audio
                                                                  // threads may outlive exit
  return *slots;
}

template <std::size_t N>
void forward_error(RtAudioError::Type type, const std::string& text) {
  auto& slot = error_slots()[N];
  std::lock_guard lock(slot.mu);
  if (slot.in_use && slot.handler) slot.handler(type, text);
}

template <std::size_t... N>
constexpr std::array<RtAudioErrorCallback, kErrorSlots> make_forwarders(
    std::index_sequence<N...>) {
  return {&forward_error<N>...};
}
constexpr auto kForwarders = make_forwarders(std::make_index_sequence<kErrorSlots>());

std::optional<std::size_t> acquire_slot(SlotHandler handler) {
  for (std::size_t i = 0; i < kErrorSlots; ++i) {
    auto& slot = error_slots()[i];
    std::lock_guard lock(slot.mu);
    if (!slot.in_use) {
      slot.in_use = true;
      slot.handler = std::move(handler);
      return i;
    }
  }
  return std::nullopt;
}

void release_slot(std::size_t i) {
  SlotHandler old;
  {
    auto& slot = error_slots()[i];
    std::lock_guard lock(slot.mu);
    slot.in_use = false;
    old = std::move(slot.handler);
  }
}

std::vector<SampleFormat> formats_of(RtAudioFormat native) {
  std::vector<SampleFormat> out;
  if (native & RTAUDIO_FLOAT32) out.push_back(SampleFormat::kF32);
  if (native & RTAUDIO_SINT16) out.push_back(SampleFormat::kI16);
  if (native & RTAUDIO_SINT32) out.push_back(SampleFormat::kI32);
  if (native & RTAUDIO_SINT24) out.push_back(SampleFormat::kI24);
  if (native & RTAUDIO_SINT8) out.push_back(SampleFormat::kI8);
  if (native & RTAUDIO_FLOAT64) out.push_back(SampleFormat::kF64);
  return out;
}

std::chrono::nanoseconds steady_now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

// One running RtAudio output stream with its own RtAudio instance.
class RtAudioOutputStream final : public OutputStream {
 public:
  enum class Phase { kOpening, kRunning, kStopping };

  static Result<std::unique_ptr<OutputStream>> open(RtAudio::Api api, unsigned device_index,
                                                    const StreamConfig& config,
                                                    RtAudioFormat format,
                                                    std::function<void(void*, unsigned, const OutputTimestamp&)> render,
                                                    ErrorCallback on_error) {
    auto stream = std::unique_ptr<RtAudioOutputStream>(new RtAudioOutputStream());
    stream->render_ = std::move(render);
    stream->on_error_ = std::move(on_error);
    stream->sample_rate_ = config.sample_rate;
    stream->api_ = api;
    stream->frame_bytes_ = std::size_t{config.channels} * (format == RTAUDIO_FLOAT32 ? 4 : 2);
    RtAudioOutputStream* raw = stream.get();
    auto slot = acquire_slot([raw](RtAudioError::Type type, const std::string& text) {
      raw->handle_error(type, text);
    });
    if (!slot) return fail(Error::msg("too many open audio output streams"));
    stream->slot_ = *slot;
    try {
      stream->rt_ = std::make_unique<RtAudio>(api);
      stream->rt_->showWarnings(false);
      RtAudio::StreamParameters params;
      params.deviceId = device_index;
      params.nChannels = config.channels;
      unsigned frames = 512;
      RtAudio::StreamOptions options;
      options.streamName = "sonvale";
      stream->rt_->openStream(&params, nullptr, format, config.sample_rate, &frames,
                              &RtAudioOutputStream::on_data, raw, &options,
                              kForwarders[*slot]);
    } catch (...) {
      return fail(Error::msg(exception_text(std::current_exception())));
    }
    if (auto failure = stream->take_open_error()) return fail(Error::msg(*failure));
    if (!stream->rt_->isStreamOpen()) return fail(Error::msg("the audio library did not open the stream"));
    return std::unique_ptr<OutputStream>(std::move(stream));
  }

  ~RtAudioOutputStream() override {
    {
      std::lock_guard lock(mu_);
      phase_ = Phase::kStopping;
    }
    if (rt_) {
      try {
        if (rt_->isStreamRunning()) rt_->abortStream();
        if (rt_->isStreamOpen()) rt_->closeStream();
      } catch (...) {
      }
      rt_.reset();
    }
    if (slot_) release_slot(*slot_);
  }

  Result<> play() override {
    try {
      rt_->startStream();
    } catch (...) {
      return fail(Error::msg(exception_text(std::current_exception())));
    }
    if (auto failure = take_open_error()) return fail(Error::msg(*failure));
    std::lock_guard lock(mu_);
    phase_ = Phase::kRunning;
    return {};
  }

 private:
  RtAudioOutputStream() = default;

  static int on_data(void* out, void*, unsigned frames, double, RtAudioStreamStatus,
                     void* user) {
    auto* self = static_cast<RtAudioOutputStream*>(user);
    if (self->connection_lost_.load(std::memory_order_acquire)) {
      // RtAudio's PulseAudio loop keeps calling without pause once its server is gone; end it.
      std::memset(out, 0, std::size_t{frames} * self->frame_bytes_);
      return 2;
    }
    OutputTimestamp ts;
    ts.callback = steady_now();
    long latency = 0;
    try {
      latency = self->rt_->getStreamLatency();
    } catch (...) {
    }
    // The frames already queued in the device play first, then this buffer.
    const auto ahead = static_cast<long long>(std::max(latency, 0L)) + static_cast<long long>(frames);
    ts.playback = ts.callback + std::chrono::nanoseconds(ahead * 1000000000LL /
                                                         std::max<std::uint32_t>(self->sample_rate_, 1));
    self->render_(out, frames, ts);
    return 0;
  }

  // A running stream reports every error except an exact repeat of the previous text within a
  // second: RtAudio repeats a failure on every pass of a loop that no longer waits.
  void handle_error(RtAudioError::Type type, const std::string& text) {
    if (type == RtAudioError::DEBUG_WARNING) return;
    bool report = false;
    {
      std::lock_guard lock(mu_);
      if (phase_ == Phase::kOpening && type != RtAudioError::WARNING && !open_error_) {
        open_error_ = text;
      }
      if (phase_ == Phase::kRunning && !connection_lost_.load(std::memory_order_acquire)) {
        const auto now = std::chrono::steady_clock::now();
        report = !(last_error_ && *last_error_ == text && now - last_error_at_ < std::chrono::seconds(1));
        if (report) {
          last_error_ = text;
          last_error_at_ = now;
        }
        // A PulseAudio write that fails has lost its server connection for good; what the
        // stream's own ending reports after that is not news.
        if (api_ == RtAudio::LINUX_PULSE && text.find("audio write error") != std::string::npos) {
          connection_lost_.store(true, std::memory_order_release);
        }
      }
    }
    if (report && on_error_) on_error_(text);
  }

  std::optional<std::string> take_open_error() {
    std::lock_guard lock(mu_);
    return std::exchange(open_error_, std::nullopt);
  }

  std::unique_ptr<RtAudio> rt_;
  std::function<void(void*, unsigned, const OutputTimestamp&)> render_;
  ErrorCallback on_error_;
  std::uint32_t sample_rate_ = 48000;
  std::optional<std::size_t> slot_;
  std::mutex mu_;
  Phase phase_ = Phase::kOpening;
  std::optional<std::string> open_error_;
  std::optional<std::string> last_error_;
  std::chrono::steady_clock::time_point last_error_at_;
  RtAudio::Api api_ = RtAudio::UNSPECIFIED;
  std::size_t frame_bytes_ = 0;
  std::atomic<bool> connection_lost_{false};
};

class RtAudioDevice final : public AudioDevice {
 public:
  RtAudioDevice(RtAudio::Api api, unsigned index, RtAudio::DeviceInfo info)
      : api_(api), index_(index), info_(std::move(info)) {}

  Result<std::string> id() const override {
    if (!info_.probed) return fail(Error::msg("device could not be probed"));
    return info_.name;
  }
  Result<std::string> name() const override {
    if (!info_.probed) return fail(Error::msg("device could not be probed"));
    return info_.name;
  }
  bool supports_output() const override { return info_.probed && info_.outputChannels > 0; }

  Result<DefaultOutputConfig> default_output_config() const override {
    if (!supports_output()) return fail(Error::msg("device has no output"));
    const auto formats = formats_of(info_.nativeFormats);
    DefaultOutputConfig c;
    c.channels = static_cast<std::uint16_t>(std::min(info_.outputChannels, 2u));
    c.sample_rate = info_.preferredSampleRate;
    c.format = formats.empty() ? SampleFormat::kF32 : formats.front();
    return c;
  }

  Result<std::vector<SupportedOutputRange>> supported_output_configs() const override {
    if (!supports_output()) return fail(Error::msg("device has no output"));
    std::vector<SupportedOutputRange> out;
    const unsigned max_channels = std::min(info_.outputChannels, 65535u);
    for (unsigned ch = 1; ch <= max_channels; ++ch) {
      for (SampleFormat f : formats_of(info_.nativeFormats)) {
        for (unsigned rate : info_.sampleRates) {
          out.push_back(SupportedOutputRange{static_cast<std::uint16_t>(ch), rate, rate, {}, f});
        }
      }
    }
    return out;
  }

  Result<std::unique_ptr<OutputStream>> build_output_stream_f32(const StreamConfig& config,
                                                                DataCallback<float> data,
                                                                ErrorCallback error) override {
    return RtAudioOutputStream::open(
        api_, index_, config, RTAUDIO_FLOAT32,
        [data = std::move(data), ch = config.channels](void* out, unsigned frames,
                                                       const OutputTimestamp& ts) {
          data(std::span<float>(static_cast<float*>(out), std::size_t{frames} * ch), ts);
        },
        std::move(error));
  }
  Result<std::unique_ptr<OutputStream>> build_output_stream_i16(const StreamConfig& config,
                                                                DataCallback<std::int16_t> data,
                                                                ErrorCallback error) override {
    return RtAudioOutputStream::open(
        api_, index_, config, RTAUDIO_SINT16,
        [data = std::move(data), ch = config.channels](void* out, unsigned frames,
                                                       const OutputTimestamp& ts) {
          data(std::span<std::int16_t>(static_cast<std::int16_t*>(out), std::size_t{frames} * ch),
               ts);
        },
        std::move(error));
  }
  Result<std::unique_ptr<OutputStream>> build_output_stream_u16(const StreamConfig& config,
                                                                DataCallback<std::uint16_t> data,
                                                                ErrorCallback error) override {
    return RtAudioOutputStream::open(
        api_, index_, config, RTAUDIO_SINT16,
        [data = std::move(data), ch = config.channels](void* out, unsigned frames,
                                                       const OutputTimestamp& ts) {
          // Unsigned and signed 16-bit storage may alias; the top bit flip maps one onto the other.
          std::span<std::uint16_t> samples(static_cast<std::uint16_t*>(out), std::size_t{frames} * ch);
          data(samples, ts);
          for (auto& s : samples) s = static_cast<std::uint16_t>(s ^ 0x8000u);
        },
        std::move(error));
  }

 private:
  RtAudio::Api api_;
  unsigned index_;
  RtAudio::DeviceInfo info_;
};

RtAudio::Api choose_api() {
  std::vector<RtAudio::Api> apis;
  RtAudio::getCompiledApi(apis);
  auto has = [&](RtAudio::Api a) { return std::find(apis.begin(), apis.end(), a) != apis.end(); };
  if (has(RtAudio::MACOSX_CORE)) return RtAudio::MACOSX_CORE;
  for (RtAudio::Api candidate : {RtAudio::LINUX_PULSE, RtAudio::LINUX_ALSA}) {
    if (!has(candidate)) continue;
    try {
      RtAudio probe(candidate);
      probe.showWarnings(false);
      if (probe.getDeviceCount() > 0) return candidate;
    } catch (...) {
    }
  }
  if (has(RtAudio::LINUX_ALSA)) return RtAudio::LINUX_ALSA;
  return apis.empty() ? RtAudio::UNSPECIFIED : apis.front();
}

// Chooses its RtAudio API when first used, not when made: the receiver makes its host at start,
// and a sound server that comes up before the first native output is still found.
class RtAudioHost final : public AudioHost {
 public:
  std::string name() const override { return host_name_of(api()); }

  Result<std::vector<std::shared_ptr<AudioDevice>>> devices() override {
    const RtAudio::Api api_ = api();
    try {
      RtAudio rt(api_);
      rt.showWarnings(false);
      std::vector<std::shared_ptr<AudioDevice>> out;
      const unsigned count = rt.getDeviceCount();
      for (unsigned i = 0; i < count; ++i) {
        out.push_back(std::make_shared<RtAudioDevice>(api_, i, rt.getDeviceInfo(i)));
      }
      return out;
    } catch (...) {
      return fail(Error::msg(exception_text(std::current_exception())));
    }
  }

  std::shared_ptr<AudioDevice> default_output_device() override {
    const RtAudio::Api api_ = api();
    try {
      RtAudio rt(api_);
      rt.showWarnings(false);
      const unsigned count = rt.getDeviceCount();
      if (count == 0) return nullptr;
      // Prefer the device the host flags as default; RtAudio answers 0 when it knows none.
      for (unsigned i = 0; i < count; ++i) {
        auto info = rt.getDeviceInfo(i);
        if (info.probed && info.isDefaultOutput && info.outputChannels > 0) {
          return std::make_shared<RtAudioDevice>(api_, i, std::move(info));
        }
      }
      const unsigned index = rt.getDefaultOutputDevice();
      if (index >= count) return nullptr;
      auto info = rt.getDeviceInfo(index);
      if (!info.probed || info.outputChannels == 0) return nullptr;
      return std::make_shared<RtAudioDevice>(api_, index, std::move(info));
    } catch (...) {
      return nullptr;
    }
  }

 private:
  RtAudio::Api api() const {
    std::call_once(chosen_, [this] { chosen_api_ = choose_api(); });
    return chosen_api_;
  }

  mutable std::once_flag chosen_;
  mutable RtAudio::Api chosen_api_ = RtAudio::UNSPECIFIED;
};

}  // namespace

std::unique_ptr<AudioHost> make_rtaudio_host() { return std::make_unique<RtAudioHost>(); }

std::unique_ptr<AudioHost> default_audio_host() { return make_rtaudio_host(); }

}  // namespace sonvale::audio
