// Real output through RtAudio: a PulseAudio server of this test alone, with a null sink whose
// monitor `parec` records. Skips only when no PulseAudio server can be started here.
#include "media/audio/rtaudio_host.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "media/output/native_output.h"
#include "support/media_records.h"
#include "support/recording_sink.h"

// libpulse keeps a few small allocations of its device queries (made through RtAudio) until the
// process ends; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpulse.so\n"; }
// libpulse hands its mainloop's mutex to its own thread through memory the race detector does not
// see (the library is not instrumented); reports from inside it are not about this code.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulsecommon\nrace:libpulse.so\nrace:libpulse-simple.so\n";
}

namespace sonvale {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kSink = "sonvale_test";
constexpr const char* kSinkDescription = "SonvaleTestSink";

// A PulseAudio server of this test alone: a child process (ended with the test, even when the
// test process dies first) with its own runtime directory and a 48 kHz null sink.
class PulseServer {
 public:
  PulseServer() {
    char tmpl[] = "/tmp/sonvale-pulse-XXXXXX";
    if (!mkdtemp(tmpl)) return;
    dir_ = tmpl;
    fs::create_directories(dir_ / "home");
    fs::create_directories(dir_ / "runtime");
    setenv("HOME", (dir_ / "home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (dir_ / "runtime").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ / "home").c_str(), 1);
    unsetenv("PULSE_SERVER");
    const std::string sink = std::string("module-null-sink sink_name=") + kSink +
                             " rate=48000 sink_properties=device.description=" + kSinkDescription;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      const int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, STDOUT_FILENO);
      dup2(devnull, STDERR_FILENO);
      execlp("pulseaudio", "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
             "--system=false", "--log-level=error", "-L", "module-native-protocol-unix", "-L",
             sink.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid_ < 0) return;
    for (int i = 0; i < 200 && !running_; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;  // it could not start here
        return;
      }
      running_ = std::system("pactl info >/dev/null 2>&1") == 0;
      if (!running_) std::this_thread::sleep_for(50ms);
    }
  }
  ~PulseServer() {
    stop(SIGTERM);
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  // Ends the server (SIGKILL: as if it crashed) and reaps it.
  void stop(int signal_number) {
    if (pid_ <= 0) return;
    kill(pid_, signal_number);
    for (int i = 0; i < 500; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool running() const { return running_; }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  bool running_ = false;
};

// Records the sink's monitor as interleaved stereo float samples on its own thread.
class MonitorRecorder {
 public:
  MonitorRecorder() {
    const std::string cmd = std::string("exec parec -d ") + kSink +
                            ".monitor --rate=48000 --channels=2 --format=float32le --raw "
                            "--latency-msec=20 2>/dev/null";
    pipe_ = popen(cmd.c_str(), "r");
    if (pipe_) reader_ = std::thread([this] { run(); });
  }
  ~MonitorRecorder() { stop(); }

  void stop() {
    stop_.store(true);
    if (reader_.joinable()) reader_.join();
    if (pipe_) {
      pclose(pipe_);
      pipe_ = nullptr;
    }
  }
  // Waits until a sample louder than `level` was recorded and `frames` frames followed it;
  // returns those frames' left channel, or an empty vector on time-out.
  std::vector<float> wait_for_signal(float level, std::size_t frames, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard l(mu_);
        for (std::size_t i = 0; i + 1 < samples_.size(); i += 2) {
          if (std::abs(samples_[i]) <= level) continue;
          const std::size_t start = i + 2 * 4800;  // skip the first 100 ms after the onset
          if (samples_.size() < start + 2 * frames) break;
          std::vector<float> left;
          for (std::size_t k = 0; k < frames; ++k) left.push_back(samples_[start + 2 * k]);
          return left;
        }
      }
      std::this_thread::sleep_for(20ms);
    }
    return {};
  }
  bool started() const { return pipe_ != nullptr; }

 private:
  void run() {
    std::vector<float> block(2048);
    while (!stop_.load()) {
      const std::size_t n = fread(block.data(), sizeof(float), block.size(), pipe_);
      if (n == 0) break;
      std::lock_guard l(mu_);
      samples_.insert(samples_.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n));
    }
  }

  FILE* pipe_ = nullptr;
  std::thread reader_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<float> samples_;
};

double goertzel_power(const std::vector<float>& x, double f) {
  const double w = 2.0 * std::numbers::pi * f / 48000.0;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0.0, s2 = 0.0;
  for (float v : x) {
    const double s0 = v + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

// The frequency with the largest DFT magnitude between 100 and 4000 Hz: a 10 Hz grid, then
// 0.5 Hz steps around its best point.
double dominant_frequency(const std::vector<float>& x) {
  auto best_in = [&](double lo, double hi, double step) {
    double best_f = lo, best_power = -1.0;
    for (double f = lo; f <= hi; f += step) {
      const double p = goertzel_power(x, f);
      if (p > best_power) {
        best_power = p;
        best_f = f;
      }
    }
    return best_f;
  };
  const double coarse = best_in(100.0, 4000.0, 10.0);
  return best_in(coarse - 10.0, coarse + 10.0, 0.5);
}

class RtAudioOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.running()) GTEST_SKIP() << "no PulseAudio server could be started here";
  }
  PulseServer server_;
};

TEST_F(RtAudioOutputTest, HostListsTheNullSinkAsTheDefaultOutput) {
  auto host = audio::make_rtaudio_host();
  EXPECT_EQ(host->name(), "pulse");
  auto device = host->default_output_device();
  ASSERT_TRUE(device);
  EXPECT_EQ(*device->name(), kSinkDescription);
  EXPECT_TRUE(device->supports_output());
  auto ranges = device->supported_output_configs();
  ASSERT_TRUE(ranges);
  bool has_48k_f32_stereo = false;
  for (const auto& r : *ranges) {
    has_48k_f32_stereo |= r.channels == 2 && r.min_sample_rate <= 48000 &&
                          r.max_sample_rate >= 48000 && r.format == audio::SampleFormat::kF32;
  }
  EXPECT_TRUE(has_48k_f32_stereo);
}

TEST_F(RtAudioOutputTest, QueuedToneIsHeardOnTheDefaultOutput) {
  MonitorRecorder recorder;
  ASSERT_TRUE(recorder.started());
  testing::RecordingSink sink;
  auto telemetry = ZeDidiLatencyTelemetry::create();
  auto out = open_native_output(
      *MediaConfig::resolve(std::nullopt, system_clock()), "pulse:" + std::string(kSinkDescription),
      testing::session_shared(sink.sink(), system_clock(), telemetry));
  ASSERT_TRUE(out) << out.error().to_string();
  const auto ready = sink.named("audio_output_ready").at(0);
  EXPECT_EQ(ready["device_id"], "pulse:" + std::string(kSinkDescription));
  EXPECT_EQ(ready["sample_rate"], 48000);
  EXPECT_TRUE(sink.named("warning").empty());

  // The media reader's part: a 1234 Hz tone decoded in 1024-frame chunks at the real rate.
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    double phase = 0.0;
    const double w = 2.0 * std::numbers::pi * 1234.0 / 48000.0;
    std::vector<float> chunk(2048);
    const auto start = std::chrono::steady_clock::now();
    for (std::int64_t k = 0; feeding.load(); ++k) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(k * 1024 * 1000000 / 48000));
      for (std::size_t i = 0; i < 1024; ++i) {
        chunk[2 * i] = chunk[2 * i + 1] = 0.5f * static_cast<float>(std::sin(phase));
        phase += w;
      }
      std::lock_guard l(out->queue->mutex());
      out->queue->push_samples(chunk, std::nullopt);
      telemetry->queued_frames.store(out->queue->queued_frames(), std::memory_order_release);
    }
  });
  // A whole second of the tone: a scheduling hiccup of the sound server on a loaded machine
  // shifts the phase once, and over a longer window it moves the peak less.
  const auto recorded = recorder.wait_for_signal(0.1f, 48000, 20s);
  feeding.store(false);
  feeder.join();
  out = fail(Error::msg("stopped"));
  recorder.stop();
  ASSERT_FALSE(recorded.empty()) << "the tone never reached the sink";
  // Buffer-window pacing may read up to 0.25 % fast or slow: 3.1 Hz at 1234 Hz.
  EXPECT_NEAR(dominant_frequency(recorded), 1234.0, 4.0);
  EXPECT_EQ(sink.named("audio_output_callback_started").size(), 1u);
  EXPECT_EQ(sink.named("audio_output_signal_started").size(), 1u);
  EXPECT_GT(telemetry->output_latency_us.load(), 0u);
}

TEST_F(RtAudioOutputTest, LostServerIsReportedOnceAndEndsTheStream) {
  testing::RecordingSink sink;
  // The receiver's own host, as the media configuration resolves it at start.
  auto out = open_native_output(*MediaConfig::resolve(std::nullopt, system_clock()), std::nullopt,
                                testing::session_shared(sink.sink(), system_clock()));
  ASSERT_TRUE(out) << out.error().to_string();
  ASSERT_TRUE(sink.wait_for_event("audio_output_callback_started", 10s));
  server_.stop(SIGKILL);
  const auto error = sink.wait_for_event("error", 10s);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->value("code", ""), "sonvale_audio_output_failed");
  EXPECT_EQ(error->value("message", "").rfind("Native audio output error: ", 0), 0u);
  // The library's loop no longer waits for the server: without care it reports the same failure
  // on every pass, many thousand times a second.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sink.named("error").size(), 1u);
  out = fail(Error::msg("stopped"));
}

// The i16 and u16 stream paths, fed directly: RtAudio has no u16, so that one is converted.
class RtAudioFormatTest : public RtAudioOutputTest,
                          public ::testing::WithParamInterface<audio::SampleFormat> {};

TEST_P(RtAudioFormatTest, ToneWrittenInTheFormatIsHeard) {
  MonitorRecorder recorder;
  ASSERT_TRUE(recorder.started());
  auto host = audio::make_rtaudio_host();
  auto device = host->default_output_device();
  ASSERT_TRUE(device);
  const audio::StreamConfig config{2, 48000, GetParam()};
  auto phase = std::make_shared<double>(0.0);
  auto next = [phase] {
    const float v = 0.5f * static_cast<float>(std::sin(*phase));
    *phase += 2.0 * std::numbers::pi * 880.0 / 48000.0;
    return v;
  };
  Result<std::unique_ptr<audio::OutputStream>> stream = fail(Error::msg("not built"));
  if (GetParam() == audio::SampleFormat::kI16) {
    stream = device->build_output_stream_i16(
        config,
        [next](std::span<std::int16_t> b, const audio::OutputTimestamp&) mutable {
          for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
            b[i] = b[i + 1] = static_cast<std::int16_t>(next() * 32767.0f);
          }
        },
        nullptr);
  } else {
    stream = device->build_output_stream_u16(
        config,
        [next](std::span<std::uint16_t> b, const audio::OutputTimestamp&) mutable {
          for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
            b[i] = b[i + 1] = static_cast<std::uint16_t>(32768.0f + next() * 32767.0f);
          }
        },
        nullptr);
  }
  ASSERT_TRUE(stream) << stream.error().to_string();
  ASSERT_TRUE((*stream)->play());
  // A whole second of the tone: a scheduling hiccup of the sound server on a loaded machine
  // shifts the phase once, and over a longer window it moves the peak less.
  const auto recorded = recorder.wait_for_signal(0.1f, 48000, 20s);
  stream = fail(Error::msg("stopped"));
  recorder.stop();
  ASSERT_FALSE(recorded.empty());
  EXPECT_NEAR(dominant_frequency(recorded), 880.0, 1.0);
  // A wrong sign convention would put a large offset on the signal.
  double mean = 0.0;
  for (float v : recorded) mean += v;
  EXPECT_NEAR(mean / static_cast<double>(recorded.size()), 0.0, 0.02);
}

INSTANTIATE_TEST_SUITE_P(Formats, RtAudioFormatTest,
                         ::testing::Values(audio::SampleFormat::kI16, audio::SampleFormat::kU16),
                         [](const auto& p) {
                           return std::string(audio::sample_format_text(p.param));
                         });

}  // namespace
}  // namespace sonvale
