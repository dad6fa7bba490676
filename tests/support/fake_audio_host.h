#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "support/fake_clock.h"
#include "media/audio/audio_host.h"

namespace sonvale::testing {

// What one scripted device answers. An absent field makes the matching query fail.
struct FakeDeviceScript {
  std::optional<std::string> id;
  std::optional<std::string> name;
  bool output = true;
  std::optional<audio::DefaultOutputConfig> default_config =
      audio::DefaultOutputConfig{2, 48000, audio::SampleFormat::kF32};
  std::optional<std::vector<audio::SupportedOutputRange>> ranges =
      std::vector<audio::SupportedOutputRange>{{2, 8000, 192000, {}, audio::SampleFormat::kF32}};
  std::optional<std::string> build_error;
  std::optional<std::string> start_error;
};

// The callbacks and state of one stream built on a scripted host; stays readable after the
// stream itself is destroyed (then `alive` is false and the callbacks are released).
struct FakeStreamCore {
  std::mutex mu;
  std::string device;
  audio::StreamConfig config;
  bool alive = true;
  bool started = false;
  std::variant<std::monostate, audio::DataCallback<float>, audio::DataCallback<std::int16_t>,
               audio::DataCallback<std::uint16_t>>
      data;
  audio::ErrorCallback error;

  // Runs the data callback once, synchronously, on the calling thread. The buffer's type must be
  // the stream's sample type.
  template <class S>
  bool pump(std::span<S> buffer, const audio::OutputTimestamp& ts) {
    audio::DataCallback<S> cb;
    {
      std::lock_guard lock(mu);
      if (!alive) return false;
      auto* typed = std::get_if<audio::DataCallback<S>>(&data);
      if (!typed) return false;
      cb = *typed;
    }
    cb(buffer, ts);
    return true;
  }
  // Reports a stream error as the host would.
  void inject_error(const std::string& message);
};

// An audio host whose devices, answers and failures are scripted by the test.
class ScriptedAudioHost final : public audio::AudioHost {
 public:
  ScriptedAudioHost(std::string host_name, std::vector<FakeDeviceScript> devices,
                    std::optional<std::size_t> default_index);

  std::string name() const override { return host_name_; }
  Result<std::vector<std::shared_ptr<audio::AudioDevice>>> devices() override;
  std::shared_ptr<audio::AudioDevice> default_output_device() override;

  std::optional<std::string> list_error;
  // Every stream built so far, oldest first.
  std::vector<std::shared_ptr<FakeStreamCore>> streams() const;

  struct Shared {
    mutable std::mutex mu;
    std::vector<std::shared_ptr<FakeStreamCore>> streams;
  };

 private:
  std::string host_name_;
  std::vector<std::shared_ptr<audio::AudioDevice>> devices_;
  std::optional<std::size_t> default_index_;
  std::shared_ptr<Shared> shared_;
};

// An audio host with one output device whose stream runs a thread "fake-audio" that calls the
// data callback at the device's pace and records every rendered sample (as float).
//
// With `simulated_time` the thread does not sleep: it advances `device_clock` (which a test may
// also hand to the presentation clock) by one buffer per callback and calls `before_callback` first, so a test can play the media reader's part in
// lockstep. Otherwise it paces itself on the steady clock: buffer k is due to play at the start
// plus k buffers plus the output latency, whenever the thread gets to call for it (a late call
// reports a later callback instant, not a later playback instant, as a device's sample clock
// would).
class PacedAudioHost final : public audio::AudioHost {
 public:
  struct Options {
    std::uint16_t channels = 2;
    audio::SampleFormat format = audio::SampleFormat::kF32;
    std::uint32_t buffer_frames = 512;
    std::chrono::nanoseconds output_latency = std::chrono::milliseconds(20);
    bool simulated_time = true;
    // Callbacks to run before the stream stops by itself (0: until the stream is destroyed).
    std::uint64_t max_callbacks = 0;
    std::function<void(std::chrono::nanoseconds device_time)> before_callback;
    // The simulated device clock; its monotonic reading starts at 1000 s.
    std::shared_ptr<FakeClock> device_clock = make_fake_clock();
  };

  struct Recording {
    mutable std::mutex mu;
    std::condition_variable cv;
    std::vector<float> samples;  // interleaved at the stream's channel count
    std::optional<audio::OutputTimestamp> first;  // timestamp of the first callback
    std::vector<audio::OutputTimestamp> timestamps;  // of every callback, in order
    std::uint64_t callbacks = 0;
    bool finished = false;
  };

  explicit PacedAudioHost(Options options);

  std::string name() const override { return "paced"; }
  Result<std::vector<std::shared_ptr<audio::AudioDevice>>> devices() override;
  std::shared_ptr<audio::AudioDevice> default_output_device() override;

  const std::shared_ptr<Recording>& recording() const { return recording_; }
  std::uint64_t callbacks() const {
    std::lock_guard lock(recording_->mu);
    return recording_->callbacks;
  }
  // Waits until the stream has run `callbacks` callbacks (or stopped by itself).
  bool wait_for_callbacks(std::uint64_t callbacks,
                          std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;

 private:
  std::shared_ptr<audio::AudioDevice> device_;
  std::shared_ptr<Recording> recording_;
};

}  // namespace sonvale::testing
