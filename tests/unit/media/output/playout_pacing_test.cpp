// Playout on a device that runs at its own pace (the paced fake host, in simulated time): the
// render callback, the queue, the presentation clock and the output opening working together.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "media/output/native_output.h"
#include "support/media_records.h"
#include "support/fake_audio_host.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;
using testing::PacedAudioHost;
using testing::RecordingSink;

constexpr double kFrameUs = 1000000.0 / 48000.0;

// Hands the queue of the opened output to the host thread's producer; the first callback waits
// for it, so simulated time does not run ahead of the test.
struct QueueHandOff {
  std::mutex mu;
  std::condition_variable cv;
  std::shared_ptr<PcmQueue> queue;

  std::shared_ptr<PcmQueue> wait() {
    std::unique_lock l(mu);
    cv.wait(l, [&] { return queue != nullptr; });
    return queue;
  }
  void give(std::shared_ptr<PcmQueue> q) {
    {
      std::lock_guard l(mu);
      queue = std::move(q);
    }
    cv.notify_all();
  }
};

// Opens the host's default output with an open gate and full volume, playing by `clock`.
Result<NativeOutput> open_default(PacedAudioHost& host,
                                  std::shared_ptr<ZeDidiPresentationClock> clock,
                                  RecordingSink& sink) {
  SessionShared shared = testing::session_shared(sink.sink(), system_clock());
  shared.presentation = std::move(clock);
  return open_native_audio_output(host, std::nullopt, shared);
}

// Plays the host's scripted callbacks through the opened output, its queue handed to the
// producer, then stops the stream.
void play_scripted_callbacks(PacedAudioHost& host, const PacedAudioHost::Options& options,
                             std::shared_ptr<ZeDidiPresentationClock> clock,
                             QueueHandOff& hand_off, RecordingSink& sink) {
  auto out = open_default(host, std::move(clock), sink);
  ASSERT_TRUE(out) << out.error().to_string();
  hand_off.give(out->queue);
  ASSERT_TRUE(host.wait_for_callbacks(options.max_callbacks));
}

// A test signal: silence with 40 ms bursts of a 1 kHz cosine every 250 ms, the first at 100 ms.
constexpr std::uint64_t kFirstBurst = 4800, kBurstEvery = 12000, kBurstLength = 1920;
float signal_at(std::uint64_t n) {
  if (n < kFirstBurst) return 0.0f;
  const std::uint64_t into = (n - kFirstBurst) % kBurstEvery;
  if (into >= kBurstLength) return 0.0f;
  return 0.5f * static_cast<float>(std::cos(2.0 * std::numbers::pi * 1000.0 *
                                            static_cast<double>(into) / 48000.0));
}

struct SenderClockCase {
  const char* name;
  audio::SampleFormat format;
  std::uint16_t channels;
  std::uint32_t buffer_frames;
  std::chrono::nanoseconds latency;
  double first_due_in_us;  // when the first frame of the stream is due, from the start
  // The phone's timer clock against the local (device) clock, as the clock has estimated it.
  double sender_ppm = 0.0;
  std::uint64_t seconds = 8;
};

class SenderClockPlayoutTest : public ::testing::TestWithParam<SenderClockCase> {};

TEST_P(SenderClockPlayoutTest, ToneOnsetsLandWithinTwoMillisecondsOfTheirDueTime) {
  const auto& c = GetParam();
  const auto device_clock = testing::make_fake_clock();
  const auto base = device_clock->now();
  auto clock = ZeDidiPresentationClock::create(device_clock);
  constexpr double kServerMinusLocal = 3'000'000'000.0;
  constexpr std::int64_t kTimeOffset = -1'000'000'000;
  const double rate = 1.0 + c.sender_ppm * 1e-6;
  clock->update_server_clock(
      ClockEstimate{clock->local_now_us(), kServerMinusLocal, rate, 0, 0, 0});
  clock->set_time_offset(kTimeOffset);
  // The server clock at a local time (the clock's anchor is local time 0).
  const auto server_at = [&](double local_us) { return kServerMinusLocal + local_us * rate; };
  // Presentation time of frame 0: due on the server clock first_due_in_us from now.
  const double pts0 = static_cast<double>(*clock->synchronized_server_now_micros()) +
                      c.first_due_in_us - static_cast<double>(kTimeOffset);

  auto hand_off = std::make_shared<QueueHandOff>();
  PacedAudioHost::Options options;
  options.channels = c.channels;
  options.format = c.format;
  options.buffer_frames = c.buffer_frames;
  options.output_latency = c.latency;
  options.max_callbacks = c.seconds * 48000 / c.buffer_frames;
  options.device_clock = device_clock;
  std::uint64_t next_frame = 0;
  options.before_callback = [&, hand_off](std::chrono::nanoseconds) {
    static thread_local std::shared_ptr<PcmQueue> q;
    if (!q) q = hand_off->wait();
    // The media reader's part: decoded chunks of 1024 frames arrive 400 ms ahead of their time.
    const double server_now = server_at(static_cast<double>(clock->local_now_us()));
    std::lock_guard l(q->mutex());
    for (;;) {
      const double pts = pts0 + static_cast<double>(next_frame) * kFrameUs;
      if (pts + static_cast<double>(kTimeOffset) > server_now + 400000.0) break;
      std::vector<float> chunk;
      for (std::uint64_t i = 0; i < 1024; ++i) {
        chunk.push_back(signal_at(next_frame + i));
        chunk.push_back(signal_at(next_frame + i));
      }
      q->push_samples(chunk, pts);
      next_frame += 1024;
    }
  };
  PacedAudioHost host(options);
  RecordingSink sink;
  play_scripted_callbacks(host, options, clock, *hand_off, sink);
  if (HasFatalFailure()) return;

  const auto& rec = *host.recording();
  std::lock_guard l(rec.mu);
  ASSERT_TRUE(rec.first);
  const double first_play_local_us =
      static_cast<double>(
          (std::chrono::steady_clock::time_point(rec.first->playback) - base).count()) /
      1000.0;
  // Onsets: a sample above 0.1 after at least 100 frames at or below it. (Read at a fractional
  // position, a burst's first output frame is interpolated from the silence before it and may
  // lie anywhere below its first sample.)
  std::vector<double> onset_server_us;
  std::uint64_t quiet = 0;
  const std::size_t frames = rec.samples.size() / c.channels;
  for (std::size_t m = 0; m < frames; ++m) {
    const float x = std::abs(rec.samples[m * c.channels]);
    if (x > 0.1f && quiet >= 100) {
      onset_server_us.push_back(
          server_at(first_play_local_us + static_cast<double>(m) * kFrameUs));
    }
    quiet = x <= 0.1f ? quiet + 1 : 0;
  }
  // Every burst due well inside the recording was heard, each close to its due time.
  const double end_server_us =
      server_at(first_play_local_us + static_cast<double>(frames) * kFrameUs);
  std::size_t expected = 0;
  for (std::uint64_t j = 0;; ++j) {
    const double due = pts0 + static_cast<double>(kFirstBurst + j * kBurstEvery) * kFrameUs +
                       static_cast<double>(kTimeOffset);
    if (due > end_server_us - 50000.0) break;
    if (due < server_at(first_play_local_us)) continue;  // due before the device began
    ++expected;
    double best = 1e18;
    for (double o : onset_server_us) best = std::min(best, std::abs(o - due));
    EXPECT_LE(best, 2000.0) << "burst " << j;
  }
  EXPECT_GE(expected, 25u);
  EXPECT_EQ(onset_server_us.size(), expected) << "no burst heard twice or out of place";
  ASSERT_EQ(sink.named("audio_synchronization_started").size(), 1u);
  EXPECT_EQ(sink.named("audio_synchronization_started")[0]["synchronization_mode"],
            "sender_clock");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SenderClockPlayoutTest,
    ::testing::Values(
        SenderClockCase{"F32Stereo", audio::SampleFormat::kF32, 2, 512, 20ms, 300000.0},
        SenderClockCase{"I16StereoLargeBuffers", audio::SampleFormat::kI16, 2, 1024, 45ms,
                        250000.0},
        SenderClockCase{"U16SixSmallBuffers", audio::SampleFormat::kU16, 6, 256, 5ms, 500000.0},
        // The first audio arrives 30 ms late: dropped before the lock, then on time.
        SenderClockCase{"StartsLate", audio::SampleFormat::kF32, 2, 512, 20ms, -30000.0},
        // The phone's clock runs 200 ppm off the device's for 40 s: 8 ms of drift, which
        // playout must follow at the clock's rate rather than trail.
        SenderClockCase{"SenderClockFast", audio::SampleFormat::kF32, 2, 512, 20ms, 300000.0,
                        200.0, 40},
        SenderClockCase{"SenderClockSlow", audio::SampleFormat::kF32, 2, 512, 20ms, 300000.0,
                        -200.0, 40}),
    [](const auto& p) { return std::string(p.param.name); });

struct WindowCase {
  const char* name;
  double producer_skew_ppm;  // the sender's rate against the device's
  std::uint64_t burst_over;  // frames above the target delivered at once at the start
  double settle_s;           // time allowed to come within the window
  // A drifting sender pushes the depth to the first value at which the correction engages,
  // 97 frames off, and the correction then holds it there.
  std::int64_t bound;
};

class BufferWindowPlayoutTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(BufferWindowPlayoutTest, QueueStaysWithinNinetySixFramesOfItsTarget) {
  const auto& c = GetParam();
  const auto device_clock = testing::make_fake_clock();
  auto clock = ZeDidiPresentationClock::create(device_clock);  // never synchronized
  auto hand_off = std::make_shared<QueueHandOff>();
  PacedAudioHost::Options options;
  options.buffer_frames = 512;
  options.output_latency = std::chrono::nanoseconds(512 * 1000000000LL / 48000);  // one buffer
  options.max_callbacks = 60 * 48000 / 512;                                        // 60 s
  options.device_clock = device_clock;
  constexpr std::uint64_t kTarget = 37888;  // 800 ms - 10.667 ms
  std::vector<std::uint64_t> depth;  // queued frames as each callback finds them
  double owed = 0.0;
  bool first = true;
  options.before_callback = [&, hand_off](std::chrono::nanoseconds) {
    static thread_local std::shared_ptr<PcmQueue> q;
    if (!q) q = hand_off->wait();
    std::lock_guard l(q->mutex());
    std::uint64_t frames = 0;
    if (first) {
      frames = c.burst_over;
      first = false;
    }
    owed += 512.0 * (1.0 + c.producer_skew_ppm * 1e-6);
    frames += static_cast<std::uint64_t>(owed);
    owed -= std::floor(owed);
    q->push_samples(std::vector<float>(frames * 2, 0.25f), std::nullopt);
    depth.push_back(q->queued_frames());
  };
  PacedAudioHost host(options);
  RecordingSink sink;
  play_scripted_callbacks(host, options, clock, *hand_off, sink);
  if (HasFatalFailure()) return;

  std::size_t start = 0;
  while (start < depth.size() && depth[start] < kTarget) ++start;
  ASSERT_LT(start, depth.size());
  const auto settle = static_cast<std::size_t>(c.settle_s * 48000.0 / 512.0);
  std::int64_t worst = 0;
  for (std::size_t k = start + settle; k < depth.size(); ++k) {
    worst = std::max(worst, std::abs(static_cast<std::int64_t>(depth[k]) -
                                     static_cast<std::int64_t>(kTarget)));
  }
  EXPECT_LE(worst, c.bound);
  EXPECT_EQ(sink.named("audio_synchronization_started").at(0)["synchronization_mode"],
            "buffer_window");
  EXPECT_EQ(sink.named("audio_synchronization_started").at(0)["queue_delay_ms"].get<double>(),
            kTarget * 1000.0 / 48000.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BufferWindowPlayoutTest,
    ::testing::Values(WindowCase{"MatchedRates", 0.0, 0, 0.0, 96},
                      WindowCase{"BurstAtStart", 0.0, 600, 30.0, 96},
                      // A skewed sender crosses the target at any depth up to 511 frames over.
                      WindowCase{"SenderFaster", 100.0, 0, 25.0, 97},
                      WindowCase{"SenderSlower", -100.0, 0, 25.0, 97},
                      WindowCase{"BurstAtStartSenderFaster", 100.0, 600, 30.0, 97}),
    [](const auto& p) { return std::string(p.param.name); });

// In real time, with the media reader's pushes on a thread of their own: whatever the timing of
// the lock, every sample played comes from the queue in order (a rising ramp never falls).
TEST(RealTimePlayoutTest, ConcurrentPushesAndCallbacksKeepTheAudioInOrder) {
  PacedAudioHost::Options options;
  options.simulated_time = false;
  options.buffer_frames = 480;
  options.output_latency = 10ms;
  PacedAudioHost host(options);
  RecordingSink sink;
  auto out = open_default(host, ZeDidiPresentationClock::create(system_clock()), sink);
  ASSERT_TRUE(out) << out.error().to_string();
  std::atomic<bool> feeding{true};
  std::thread reader([&] {
    const auto start = std::chrono::steady_clock::now();
    std::vector<float> chunk(2048);
    for (std::uint64_t k = 0; feeding.load(); ++k) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(k * 1024 * 1000000 / 48000));
      for (std::uint64_t i = 0; i < 1024; ++i) {
        chunk[2 * i] = chunk[2 * i + 1] = 0.001f + static_cast<float>(k * 1024 + i) / 1e6f;
      }
      std::lock_guard l(out->queue->mutex());
      out->queue->push_samples(chunk, std::nullopt);
    }
  });
  ASSERT_TRUE(sink.wait_for_event("audio_output_signal_started", 20s));
  const std::uint64_t now = host.callbacks();
  EXPECT_TRUE(host.wait_for_callbacks(now + 50));  // half a second of playout
  feeding.store(false);
  reader.join();
  out = fail(Error::msg("stopped"));

  const auto& rec = *host.recording();
  std::lock_guard l(rec.mu);
  float last = 0.0f;
  std::size_t heard = 0;
  for (std::size_t i = 0; i < rec.samples.size(); i += 2) {
    const float x = rec.samples[i];
    if (x == 0.0f) continue;  // silence while the lock was busy or the queue refilled
    ASSERT_GE(x, last - 1e-6f) << "frame " << i / 2;
    ASSERT_EQ(x, rec.samples[i + 1]);
    last = x;
    ++heard;
  }
  EXPECT_GE(heard, 20000u);
}

}  // namespace
}  // namespace sonvale
