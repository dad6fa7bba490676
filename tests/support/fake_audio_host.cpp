#include "support/fake_audio_host.h"

#include <utility>

#include "core/thread.h"
#include <type_traits>

namespace sonvale::testing {

void FakeStreamCore::inject_error(const std::string& message) {
  audio::ErrorCallback cb;
  {
    std::lock_guard lock(mu);
    if (!alive) return;
    cb = error;
  }
  if (cb) cb(message);
}

namespace {

// A stream of the scripted host: play() may fail as scripted; destruction releases the callbacks.
class ScriptedStream final : public audio::OutputStream {
 public:
  ScriptedStream(std::shared_ptr<FakeStreamCore> core, std::optional<std::string> start_error)
      : core_(std::move(core)), start_error_(std::move(start_error)) {}
  ~ScriptedStream() override {
    std::lock_guard lock(core_->mu);
    core_->alive = false;
    core_->data = std::monostate{};
    core_->error = nullptr;
  }
  Result<> play() override {
    if (start_error_) return fail(Error::msg(*start_error_));
    std::lock_guard lock(core_->mu);
    core_->started = true;
    return {};
  }

 private:
  std::shared_ptr<FakeStreamCore> core_;
  std::optional<std::string> start_error_;
};

class ScriptedDevice final : public audio::AudioDevice {
 public:
  ScriptedDevice(FakeDeviceScript script, std::shared_ptr<ScriptedAudioHost::Shared> shared)
      : script_(std::move(script)), shared_(std::move(shared)) {}

  Result<std::string> id() const override {
    if (!script_.id) return fail(Error::msg("device id unavailable"));
    return *script_.id;
  }
  Result<std::string> name() const override {
    if (!script_.name) return fail(Error::msg("device description unavailable"));
    return *script_.name;
  }
  bool supports_output() const override { return script_.output; }
  Result<audio::DefaultOutputConfig> default_output_config() const override {
    if (!script_.default_config) return fail(Error::msg("default configuration unavailable"));
    return *script_.default_config;
  }
  Result<std::vector<audio::SupportedOutputRange>> supported_output_configs() const override {
    if (!script_.ranges) return fail(Error::msg("configuration ranges unavailable"));
    return *script_.ranges;
  }
  Result<std::unique_ptr<audio::OutputStream>> build_output_stream_f32(
      const audio::StreamConfig& config, audio::DataCallback<float> data,
      audio::ErrorCallback error) override {
    return build(config, std::move(data), std::move(error));
  }
  Result<std::unique_ptr<audio::OutputStream>> build_output_stream_i16(
      const audio::StreamConfig& config, audio::DataCallback<std::int16_t> data,
      audio::ErrorCallback error) override {
    return build(config, std::move(data), std::move(error));
  }
  Result<std::unique_ptr<audio::OutputStream>> build_output_stream_u16(
      const audio::StreamConfig& config, audio::DataCallback<std::uint16_t> data,
      audio::ErrorCallback error) override {
    return build(config, std::move(data), std::move(error));
  }

 private:
  template <class Cb>
  Result<std::unique_ptr<audio::OutputStream>> build(const audio::StreamConfig& config, Cb data,
                                                     audio::ErrorCallback error) {
    if (script_.build_error) return fail(Error::msg(*script_.build_error));
    auto core = std::make_shared<FakeStreamCore>();
    core->device = script_.name.value_or(script_.id.value_or("?"));
    core->config = config;
    core->data = std::move(data);
    core->error = std::move(error);
    {
      std::lock_guard lock(shared_->mu);
      shared_->streams.push_back(core);
    }
    return std::unique_ptr<audio::OutputStream>(
        std::make_unique<ScriptedStream>(core, script_.start_error));
  }

  FakeDeviceScript script_;
  std::shared_ptr<ScriptedAudioHost::Shared> shared_;
};

}  // namespace

ScriptedAudioHost::ScriptedAudioHost(std::string host_name, std::vector<FakeDeviceScript> devices,
                                     std::optional<std::size_t> default_index)
    : host_name_(std::move(host_name)),
      default_index_(default_index),
      shared_(std::make_shared<Shared>()) {
  for (auto& d : devices) devices_.push_back(std::make_shared<ScriptedDevice>(std::move(d), shared_));
}

Result<std::vector<std::shared_ptr<audio::AudioDevice>>> ScriptedAudioHost::devices() {
  if (list_error) return fail(Error::msg(*list_error));
  return devices_;
}

std::shared_ptr<audio::AudioDevice> ScriptedAudioHost::default_output_device() {
  if (!default_index_ || *default_index_ >= devices_.size()) return nullptr;
  return devices_[*default_index_];
}

std::vector<std::shared_ptr<FakeStreamCore>> ScriptedAudioHost::streams() const {
  std::lock_guard lock(shared_->mu);
  return shared_->streams;
}

// ---------------------------------------------------------------------------------------------
// Paced host

namespace {

template <class S>
float as_float(S s) {
  if constexpr (std::is_same_v<S, float>) {
    return s;
  } else if constexpr (std::is_same_v<S, std::int16_t>) {
    return static_cast<float>(s) / 32768.0f;
  } else {
    return (static_cast<float>(s) - 32768.0f) / 32768.0f;
  }
}

class PacedStream final : public audio::OutputStream {
 public:
  using Render = std::function<void(std::vector<float>& rendered, std::size_t samples,
                                    const audio::OutputTimestamp& ts)>;

  PacedStream(PacedAudioHost::Options options, std::shared_ptr<PacedAudioHost::Recording> rec,
              Render render)
      : options_(std::move(options)), rec_(std::move(rec)), render_(std::move(render)) {}

  ~PacedStream() override {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

  Result<> play() override {
    SV_ASSIGN_OR_RETURN(thread_, spawn_named("fake-audio", [this] { run(); }));
    return {};
  }

 private:
  void run() {
    using namespace std::chrono;
    const std::size_t samples = std::size_t{options_.buffer_frames} * options_.channels;
    const auto buffer_ns = nanoseconds(std::int64_t{options_.buffer_frames} * 1000000000 / 48000);
    const auto real_start = steady_clock::now();
    std::vector<float> rendered;
    rendered.reserve(samples);
    for (std::uint64_t k = 0; !stop_.load(); ++k) {
      if (options_.max_callbacks != 0 && k >= options_.max_callbacks) break;
      nanoseconds cb_time, play_time;
      if (options_.simulated_time) {
        if (k > 0) options_.device_clock->advance(buffer_ns);
        cb_time = options_.device_clock->now().time_since_epoch();
        play_time = cb_time + options_.output_latency;
      } else {
        // Playback follows the ideal schedule; the call itself may come a little late.
        const auto due = real_start + k * buffer_ns;
        std::this_thread::sleep_until(due);
        cb_time = duration_cast<nanoseconds>(steady_clock::now().time_since_epoch());
        play_time = duration_cast<nanoseconds>(due.time_since_epoch()) + options_.output_latency;
      }
      if (options_.before_callback) options_.before_callback(cb_time);
      audio::OutputTimestamp ts{cb_time, play_time};
      rendered.clear();
      render_(rendered, samples, ts);
      {
        std::lock_guard lock(rec_->mu);
        if (!rec_->first) rec_->first = ts;
        rec_->timestamps.push_back(ts);
        rec_->samples.insert(rec_->samples.end(), rendered.begin(), rendered.end());
        ++rec_->callbacks;
      }
      rec_->cv.notify_all();
    }
    {
      std::lock_guard lock(rec_->mu);
      rec_->finished = true;
    }
    rec_->cv.notify_all();
  }

  PacedAudioHost::Options options_;
  std::shared_ptr<PacedAudioHost::Recording> rec_;
  Render render_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class PacedDevice final : public audio::AudioDevice {
 public:
  PacedDevice(PacedAudioHost::Options options, std::shared_ptr<PacedAudioHost::Recording> rec)
      : options_(std::move(options)), rec_(std::move(rec)) {}

  Result<std::string> id() const override { return std::string("paced-0"); }
  Result<std::string> name() const override { return std::string("Paced test output"); }
  bool supports_output() const override { return true; }
  Result<audio::DefaultOutputConfig> default_output_config() const override {
    return audio::DefaultOutputConfig{options_.channels, 48000, options_.format};
  }
  Result<std::vector<audio::SupportedOutputRange>> supported_output_configs() const override {
    return std::vector<audio::SupportedOutputRange>{
        {options_.channels, 48000, 48000, {options_.buffer_frames, options_.buffer_frames},
         options_.format}};
  }
  Result<std::unique_ptr<audio::OutputStream>> build_output_stream_f32(
      const audio::StreamConfig&, audio::DataCallback<float> data, audio::ErrorCallback) override {
    return build(std::move(data));
  }
  Result<std::unique_ptr<audio::OutputStream>> build_output_stream_i16(
      const audio::StreamConfig&, audio::DataCallback<std::int16_t> data,
      audio::ErrorCallback) override {
    return build(std::move(data));
  }
  Result<std::unique_ptr<audio::OutputStream>> build_output_stream_u16(
      const audio::StreamConfig&, audio::DataCallback<std::uint16_t> data,
      audio::ErrorCallback) override {
    return build(std::move(data));
  }

 private:
  template <class S>
  Result<std::unique_ptr<audio::OutputStream>> build(audio::DataCallback<S> data) {
    auto buffer = std::make_shared<std::vector<S>>();
    PacedStream::Render render = [data = std::move(data), buffer](
                                     std::vector<float>& out, std::size_t samples,
                                     const audio::OutputTimestamp& ts) {
      buffer->assign(samples, S{});
      data(std::span<S>(*buffer), ts);
      for (S s : *buffer) out.push_back(as_float(s));
    };
    return std::unique_ptr<audio::OutputStream>(
        std::make_unique<PacedStream>(options_, rec_, std::move(render)));
  }

  PacedAudioHost::Options options_;
  std::shared_ptr<PacedAudioHost::Recording> rec_;
};

}  // namespace

PacedAudioHost::PacedAudioHost(Options options)
    : recording_(std::make_shared<Recording>()) {
  device_ = std::make_shared<PacedDevice>(std::move(options), recording_);
}

Result<std::vector<std::shared_ptr<audio::AudioDevice>>> PacedAudioHost::devices() {
  return std::vector<std::shared_ptr<audio::AudioDevice>>{device_};
}

std::shared_ptr<audio::AudioDevice> PacedAudioHost::default_output_device() { return device_; }

bool PacedAudioHost::wait_for_callbacks(std::uint64_t callbacks,
                                        std::chrono::milliseconds timeout) const {
  std::unique_lock lock(recording_->mu);
  return recording_->cv.wait_for(lock, timeout, [&] {
    return recording_->callbacks >= callbacks || recording_->finished;
  }) && recording_->callbacks >= callbacks;
}

}  // namespace sonvale::testing
