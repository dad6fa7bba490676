#include "media/output/render_callback.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "support/media_records.h"
#include "support/recording_sink.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;
using testing::RecordingSink;

// One render state over fake time, with the session's shared objects, driven buffer by buffer.
class RenderHarness {
 public:
  explicit RenderHarness(std::size_t channels = 2, std::optional<EventSink> events = std::nullopt)
      : st{.session = session_parts(events ? *events : sink.sink()),
           .queue = queue,
           .channels = channels} {}

  // Server time equals local time now and runs `rate` times as fast from now on; the phone's
  // offset is 0.
  void sync_clock(double rate = 1.0) {
    clock->update_server_clock(ClockEstimate{clock->local_now_us(), 0.0, rate, 0, 0, 0});
    clock->set_time_offset(0);
  }
  double server_now_us() const { return static_cast<double>(*clock->synchronized_server_now_micros()); }

  // `frames` frames, each (value, value), or a ramp 1, 2, 3, ... scaled by `value` when `ramp`.
  void push(std::size_t frames, std::optional<double> pts, float value = 0.5f) {
    std::vector<float> chunk(frames * 2, value);
    std::lock_guard l(queue->mutex());
    queue->push_samples(chunk, pts);
    pushed_ += frames;
  }
  void push_chunk(const std::vector<float>& chunk, std::optional<double> pts) {
    std::lock_guard l(queue->mutex());
    queue->push_samples(chunk, pts);
    pushed_ += chunk.size() / 2;
  }

  // The position in the pushed audio that reading has reached, in source frames.
  double source_position() const {
    return static_cast<double>(pushed_ - queue->queued_frames()) + queue->position();
  }

  template <class S = float>
  std::vector<S> render(std::size_t frames, std::chrono::nanoseconds latency = 0ns) {
    std::vector<S> buffer(frames * std::max<std::size_t>(st.channels, 1), S{7});
    const std::chrono::nanoseconds now = time->now().time_since_epoch();
    render_callback(st, std::span<S>(buffer), audio::OutputTimestamp{now, now + latency});
    return buffer;
  }

  RecordingSink sink;
  std::shared_ptr<PcmQueue> queue = PcmQueue::create();
  std::shared_ptr<ZeDidiLatencyTelemetry> telemetry = ZeDidiLatencyTelemetry::create();
  std::shared_ptr<testing::FakeClock> time = testing::make_fake_clock();
  std::shared_ptr<ZeDidiPresentationClock> clock = ZeDidiPresentationClock::create(time);
  PlaybackGate gate =
      PlaybackGate::with_output_suspension(std::make_shared<std::atomic<bool>>(false), time);
  std::shared_ptr<std::atomic<bool>> blocked = gate.blocked_cell();
  std::shared_ptr<std::atomic<std::uint32_t>> volume =
      std::make_shared<std::atomic<std::uint32_t>>(100);
  RenderState st;

 private:
  SessionShared session_parts(EventSink events) const {
    SessionShared shared = testing::session_shared(std::move(events), time, telemetry);
    shared.gate = gate;
    shared.receiver_volume = volume;
    shared.presentation = clock;
    return shared;
  }

  std::uint64_t pushed_ = 0;
};

bool all_silent(const std::vector<float>& b) {
  return std::all_of(b.begin(), b.end(), [](float x) { return x == 0.0f; });
}

// ---------------------------------------------------------------------------------------------
// Output latency and the buffer-window target

struct LatencyCase {
  const char* name;
  std::chrono::nanoseconds playback_after_callback;
  std::uint64_t latency_us;
  std::uint64_t target_frames;
};

class RenderLatencyTest : public ::testing::TestWithParam<LatencyCase> {};

TEST_P(RenderLatencyTest, FirstSampleSetsLatencyAndTheQueueTarget) {
  const auto& c = GetParam();
  RenderHarness h;
  h.push(c.target_frames - 1, std::nullopt);
  EXPECT_TRUE(all_silent(h.render(512, c.playback_after_callback)));
  EXPECT_EQ(h.telemetry->output_latency_us.load(), c.latency_us);
  EXPECT_EQ(h.source_position(), 0.0) << "nothing is read below the target";
  EXPECT_FALSE(h.queue->started());
  h.push(1, std::nullopt);
  EXPECT_FALSE(all_silent(h.render(512, c.playback_after_callback)));
  EXPECT_TRUE(h.queue->started());
  EXPECT_EQ(h.source_position(), 512.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderLatencyTest,
    ::testing::Values(LatencyCase{"OneBuffer", 10667us, 10667, 37888},
                      LatencyCase{"CappedAt250Ms", 400ms, 250000, 31200},
                      LatencyCase{"Zero", 0ns, 0, 38400},
                      // Playback before the callback: the buffer's own duration, 512 / 48 kHz.
                      LatencyCase{"PlaybackBeforeCallback", -1ms, 10667, 37888}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(RenderLatencyTest, LaterSamplesAreTakenEverySixtyFifthCallbackAndSmoothed) {
  RenderHarness h;
  h.render(512, 10667us);
  for (int callback = 2; callback <= 65; ++callback) {
    h.render(512, 20ms);
    ASSERT_EQ(h.telemetry->output_latency_us.load(), 10667u) << "callback " << callback;
  }
  h.render(512, 20ms);  // callback 66
  EXPECT_EQ(h.telemetry->output_latency_us.load(), 12534u);  // 0.2 x 20 + 0.8 x 10.667 ms
  EXPECT_NEAR(h.st.output_latency_ms, 12.5336, 1e-9);
}

// ---------------------------------------------------------------------------------------------
// Buffer-window pacing

struct WindowCase {
  const char* name;
  std::size_t queued;
  double step;
};

class BufferWindowStepTest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(BufferWindowStepTest, ReadsFasterWhenFullerAndSlowerWhenEmptier) {
  const auto& c = GetParam();
  RenderHarness h;  // latency 0: target 38400
  h.queue->set_started(true);
  h.push(c.queued, std::nullopt);
  h.render(512);
  EXPECT_NEAR(h.source_position(), 512.0 * c.step, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BufferWindowStepTest,
    ::testing::Values(WindowCase{"FarOverIsClamped", 40480, 1.0025},
                      WindowCase{"FiveHundredOver", 38900, 1.0 + 500.0 / 576000.0},
                      WindowCase{"NinetySixOver", 38496, 1.0},
                      WindowCase{"NinetySevenOver", 38497, 1.0 + 97.0 / 576000.0},
                      WindowCase{"NinetySixUnder", 38304, 1.0},
                      WindowCase{"FarUnderIsClamped", 30000, 0.9975}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(BufferWindowTest, UnderrunWaitsForTheTargetAgain) {
  RenderHarness h;
  h.push(38400, std::nullopt);
  h.render(512);
  ASSERT_TRUE(h.queue->started());
  {
    std::lock_guard l(h.queue->mutex());
    h.queue->drop_frames(100000);  // two frames stay
  }
  h.render(512);  // underruns: render_stereo clears `started`
  EXPECT_FALSE(h.queue->started());
  h.push(30000, std::nullopt);
  const double before = h.source_position();
  EXPECT_TRUE(all_silent(h.render(512)));
  EXPECT_EQ(h.source_position(), before);
}

// ---------------------------------------------------------------------------------------------
// Sender-clock pacing (latency 0, server time = local time, offset 0: error = head - now)

struct SenderCase {
  const char* name;
  bool locked;
  double error_us;
  std::size_t queued;
  std::size_t lead_frames;
  std::uint64_t dropped;
  double step;
  std::size_t buffer_frames = 512;
  double sender_rate = 1.0;  // of the phone's timer clock against the local clock
};

class SenderClockTest : public ::testing::TestWithParam<SenderCase> {};

TEST_P(SenderClockTest, LeadDropsAndStepFollowTheTimingError) {
  const auto& c = GetParam();
  RenderHarness h;
  h.sync_clock(c.sender_rate);
  h.st.clock_locked = c.locked;
  h.push(c.queued, h.server_now_us() + c.error_us);
  const auto out = h.render(c.buffer_frames);
  std::size_t lead = 0;
  while (lead < c.buffer_frames && out[lead * 2] == 0.0f) ++lead;
  EXPECT_EQ(lead, c.lead_frames);
  const double rendered = static_cast<double>(c.buffer_frames - c.lead_frames);
  EXPECT_NEAR(h.source_position(), static_cast<double>(c.dropped) + rendered * c.step, 1e-6);
  EXPECT_TRUE(h.st.clock_locked);
  ASSERT_EQ(h.sink.named("audio_synchronization_started").size(), 1u);
  EXPECT_EQ(h.sink.named("audio_synchronization_started")[0]["synchronization_mode"],
            "sender_clock");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SenderClockTest,
    ::testing::Values(
        SenderCase{"EarlyHeadGetsLeadSilence", false, 10000.0, 4000, 480, 0,
                   1.0 - 10000.0 / 12000000.0},
        // Corrected however small the error: no dead band for drift to park playout in.
        SenderCase{"SlightlyLateBeforeLock", false, -1500.0, 4000, 0, 0, 1.0 + 1500.0 / 12000000.0},
        SenderCase{"LateBeforeLockIsDropped", false, -3000.0, 4000, 0, 144, 1.0},
        SenderCase{"LateAfterLockIsLeftToTheRate", true, -20000.0, 4000, 0, 0,
                   1.0 + 20000.0 / 12000000.0},
        SenderCase{"VeryLateAfterLockIsDropped", true, -30000.0, 4000, 0, 1440, 1.0},
        SenderCase{"OnTime", false, 0.0, 4000, 0, 0, 1.0},
        SenderCase{"CorrectionSaturates", false, 40000.0, 8000, 1920, 0, 0.9975, 2048},
        // The phone's audio runs at its clock's rate: read at that rate, corrected from there.
        SenderCase{"FastSenderClockOnTime", true, 0.0, 4000, 0, 0, 1.0002, 512, 1.0002},
        SenderCase{"SlowSenderClockLate", true, -20000.0, 4000, 0, 0,
                   0.9998 * (1.0 + 20000.0 / 12000000.0), 512, 0.9998}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SenderClockTest, HeadDueAfterTheWholeBufferRendersSilenceAndConsumesNothing) {
  for (bool locked : {false, true}) {
    RenderHarness h;
    h.sync_clock();
    h.st.clock_locked = locked;
    h.push(4000, h.server_now_us() + 50000.0);  // lead 2400 frames >= 512
    EXPECT_TRUE(all_silent(h.render(512)));
    EXPECT_EQ(h.source_position(), 0.0);
    EXPECT_EQ(h.st.clock_locked, locked);
    EXPECT_TRUE(h.sink.named("audio_synchronization_started").empty());
  }
}

TEST(SenderClockTest, ShortLateQueueKeepsTwoFramesAndStaysLate) {
  RenderHarness h;
  h.sync_clock();
  h.push(100, h.server_now_us() - 3000.0, 0.5f);
  const auto out = h.render(512);
  // 98 frames dropped (2 stay); one is played, then the queue has underrun.
  EXPECT_EQ(out[0], 0.5f);
  EXPECT_TRUE(std::all_of(out.begin() + 2, out.end(), [](float x) { return x == 0.0f; }));
  EXPECT_EQ(h.source_position(), 99.0);
  EXPECT_EQ(h.queue->queued_frames(), 1u);
  EXPECT_TRUE(h.st.clock_locked);
}

struct FallbackCase {
  const char* name;
  bool synchronized;
  bool offset_known;
  bool timed;
  double error_us;
};

class SenderClockFallbackTest : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(SenderClockFallbackTest, AnyMissingConditionFallsBackToTheBufferWindow) {
  const auto& c = GetParam();
  RenderHarness h;
  if (c.synchronized) {
    h.clock->update_server_clock(ClockEstimate{h.clock->local_now_us(), 0.0, 1.0, 0, 0, 0});
  }
  if (c.offset_known) h.clock->set_time_offset(0);
  h.st.clock_locked = true;
  const double now = static_cast<double>(h.clock->local_now_us());
  h.push(38400, c.timed ? std::optional<double>(now + c.error_us) : std::nullopt);
  h.render(512);
  EXPECT_FALSE(h.st.clock_locked);
  ASSERT_EQ(h.sink.named("audio_synchronization_started").size(), 1u);
  EXPECT_EQ(h.sink.named("audio_synchronization_started")[0]["synchronization_mode"],
            "buffer_window");
  EXPECT_EQ(h.source_position(), 512.0);  // read at the target depth with step 1.0
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SenderClockFallbackTest,
    ::testing::Values(FallbackCase{"ClockNotSynchronized", false, true, true, 0.0},
                      FallbackCase{"OffsetUnknown", true, false, true, 0.0},
                      FallbackCase{"NoTimestamps", true, true, false, 0.0},
                      FallbackCase{"ErrorOfTwoSeconds", true, true, true, 2000000.0},
                      FallbackCase{"LateByTwoSeconds", true, true, true, -2000000.0}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------------------------
// Gate, lock, volume, conversions and channel mapping

TEST(RenderGateTest, BlockedGateSilencesClearsAndForcesARelock) {
  RenderHarness h;
  h.sync_clock();
  h.st.clock_locked = true;
  h.push(20000, h.server_now_us());
  h.blocked->store(true);
  EXPECT_TRUE(all_silent(h.render(512)));
  EXPECT_EQ(h.queue->queued_frames(), 0u);
  EXPECT_FALSE(h.queue->head_pts_us());
  EXPECT_EQ(h.telemetry->queued_frames.load(), 0u);
  EXPECT_FALSE(h.st.clock_locked);
  EXPECT_EQ(h.sink.named("audio_output_callback_started").size(), 1u);
  EXPECT_TRUE(h.sink.named("audio_synchronization_started").empty());

  // After the resume the threshold is back at -2 ms: 3 ms late audio is dropped.
  h.blocked->store(false);
  h.push(4000, h.server_now_us() - 3000.0);
  h.render(512);
  EXPECT_NEAR(h.source_position(), 20000.0 + 144.0 + 512.0, 1e-6);
}

TEST(RenderGateTest, BlockedGateWithTheQueueHeldStillReportsAnEmptyQueue) {
  RenderHarness h;
  h.push(20000, std::nullopt);
  h.telemetry->queued_frames.store(20000);
  h.blocked->store(true);
  std::lock_guard reader(h.queue->mutex());
  EXPECT_TRUE(all_silent(h.render(512)));
  EXPECT_EQ(h.telemetry->queued_frames.load(), 0u);
  EXPECT_EQ(h.queue->queued_frames(), 20000u);
}

TEST(RenderLockTest, QueueHeldByTheReaderGivesSilenceAndLeavesTheTelemetry) {
  RenderHarness h;
  h.push(38400, std::nullopt);
  h.telemetry->queued_frames.store(12345);
  {
    std::lock_guard reader(h.queue->mutex());
    EXPECT_TRUE(all_silent(h.render(512)));
  }
  EXPECT_EQ(h.telemetry->queued_frames.load(), 12345u);
  EXPECT_EQ(h.source_position(), 0.0);
  EXPECT_FALSE(h.queue->started());
  h.render(512);
  EXPECT_EQ(h.telemetry->queued_frames.load(), 38400u - 512u);
}

TEST(RenderLockTest, EmptyBufferConsumesNothingButKeepsTheBooks) {
  RenderHarness h;
  h.queue->set_started(true);
  h.push(40000, std::nullopt);
  h.render(0, 5ms);
  EXPECT_EQ(h.source_position(), 0.0);
  EXPECT_EQ(h.telemetry->output_latency_us.load(), 5000u);
  EXPECT_EQ(h.telemetry->queued_frames.load(), 40000u);
}

struct VolumeCase {
  const char* name;
  std::uint32_t volume;
  float expected;
};

class RenderVolumeTest : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(RenderVolumeTest, ScalesByTheVolumeCappedAtOneHundred) {
  const auto& c = GetParam();
  RenderHarness h;
  h.volume->store(c.volume);
  h.queue->set_started(true);
  h.push(40000, std::nullopt, 0.8f);
  const auto out = h.render(512);
  for (float x : out) ASSERT_FLOAT_EQ(x, c.expected);
  EXPECT_EQ(h.sink.named("audio_output_signal_started").size(), c.expected != 0.0f ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, RenderVolumeTest,
                         ::testing::Values(VolumeCase{"Full", 100, 0.8f},
                                           VolumeCase{"AboveFullIsFull", 150, 0.8f},
                                           VolumeCase{"Half", 50, 0.4f},
                                           VolumeCase{"Muted", 0, 0.0f}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(RenderVolumeTest, MutedUnsignedOutputIsMidScale) {
  RenderHarness h;
  h.volume->store(0);
  h.queue->set_started(true);
  h.push(40000, std::nullopt, 0.8f);
  const auto out = h.render<std::uint16_t>(64);
  for (auto x : out) ASSERT_EQ(x, 0x8000);
  EXPECT_TRUE(h.sink.named("audio_output_signal_started").empty());
}

struct ConversionCase {
  const char* name;
  float x;
  std::int16_t i16;
  std::uint16_t u16;
};

class SampleConversionTest : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(SampleConversionTest, ConvertsToTheDeviceType) {
  const auto& c = GetParam();
  EXPECT_EQ(f32_to_i16(c.x), c.i16);
  EXPECT_EQ(f32_to_u16(c.x), c.u16);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SampleConversionTest,
    ::testing::Values(ConversionCase{"One", 1.0f, 32767, 65535},
                      ConversionCase{"MinusOne", -1.0f, -32768, 0},
                      ConversionCase{"JustBelowOne", 0.99999f, 32767, 65535},
                      ConversionCase{"MinusHalf", -0.5f, -16384, 16384},
                      ConversionCase{"AboveRange", 1.5f, 32767, 65535},
                      ConversionCase{"BelowRange", -3.0f, -32768, 0},
                      ConversionCase{"Zero", 0.0f, 0, 32768},
                      ConversionCase{"TruncatesTowardZero", -0.00005f, -1, 32767},
                      ConversionCase{"NotANumber", std::numeric_limits<float>::quiet_NaN(), 0,
                                     32768}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(RenderFormatTest, EachDeviceTypeGetsTheConvertedSample) {
  for (float v : {1.5f, -0.5f}) {
    RenderHarness f, i, u;
    for (auto* h : {&f, &i, &u}) {
      h->queue->set_started(true);
      h->push(40000, std::nullopt, v);
    }
    EXPECT_EQ(f.render<float>(8)[0], v) << "f32 is not clamped";
    EXPECT_EQ(i.render<std::int16_t>(8)[0], f32_to_i16(v));
    EXPECT_EQ(u.render<std::uint16_t>(8)[0], f32_to_u16(v));
  }
}

TEST(RenderChannelsTest, MonoSixChannelAndPartialFrames) {
  auto stereo_source = [](RenderHarness& h) {
    h.queue->set_started(true);
    std::vector<float> chunk;
    for (int i = 0; i < 38400; ++i) {  // the target depth: read at step 1.0
      chunk.push_back(0.25f);
      chunk.push_back(0.75f);
    }
    h.push_chunk(chunk, std::nullopt);
  };
  {
    RenderHarness mono(1);
    stereo_source(mono);
    for (float x : mono.render(16)) ASSERT_FLOAT_EQ(x, 0.5f);
  }
  {
    RenderHarness six(6);
    stereo_source(six);
    const auto out = six.render(16);
    ASSERT_EQ(out.size(), 96u);
    for (std::size_t f = 0; f < 16; ++f) {
      EXPECT_FLOAT_EQ(out[f * 6 + 0], 0.25f);
      EXPECT_FLOAT_EQ(out[f * 6 + 1], 0.75f);
      for (std::size_t ch = 2; ch < 6; ++ch) EXPECT_EQ(out[f * 6 + ch], 0.0f);
    }
  }
  {
    // Five samples on a stereo device: two frames and the left value of a third.
    RenderHarness h;
    stereo_source(h);
    std::vector<float> buffer(5, 9.0f);
    render_callback(h.st, std::span<float>(buffer), audio::OutputTimestamp{});
    EXPECT_EQ(buffer, (std::vector<float>{0.25f, 0.75f, 0.25f, 0.75f, 0.25f}));
    EXPECT_EQ(h.source_position(), 3.0);
  }
}

// ---------------------------------------------------------------------------------------------
// One-shot events

TEST(RenderEventsTest, EachStartEventIsSentOnceWithItsValues) {
  RenderHarness h;
  h.queue->set_started(true);
  h.push(40000, std::nullopt, 0.1f);
  for (int i = 0; i < 200; ++i) h.render(512, 10667us);
  const auto callback = h.sink.named("audio_output_callback_started");
  const auto sync = h.sink.named("audio_synchronization_started");
  const auto signal = h.sink.named("audio_output_signal_started");
  ASSERT_EQ(callback.size(), 1u);
  ASSERT_EQ(sync.size(), 1u);
  ASSERT_EQ(signal.size(), 1u);
  EXPECT_EQ(callback[0], (Json{{"event", "audio_output_callback_started"},
                               {"protocol", "xiaomi_zedidi"},
                               {"frames", 512},
                               {"channels", 2}}));
  EXPECT_EQ(sync[0]["group_target_delay_ms"], 800);
  EXPECT_TRUE(sync[0]["group_target_delay_ms"].is_number_integer());
  EXPECT_NEAR(sync[0]["queue_delay_ms"].get<double>(), 37888 * 1000.0 / 48000.0, 1e-9);
  EXPECT_NEAR(sync[0]["output_latency_ms"].get<double>(), 10.667, 1e-9);
  EXPECT_EQ(sync[0]["output_callback_frames"], 512);
  EXPECT_EQ(sync[0]["output_sample_rate"], 48000);
  EXPECT_EQ(sync[0]["synchronization_mode"], "buffer_window");
  EXPECT_EQ(sync[0]["protocol"], "xiaomi_zedidi");
  EXPECT_EQ(sync[0].size(), 8u);
  EXPECT_EQ(compact_json(signal[0]),
            R"({"event":"audio_output_signal_started","peak":0.1,"protocol":"xiaomi_zedidi"})");
  EXPECT_FALSE(sync[0].contains("media_generation"));
}

TEST(RenderEventsTest, SignalWaitsForAPeakAboveTheThreshold) {
  RenderHarness h;
  h.queue->set_started(true);
  h.push(40000, std::nullopt, 0.00001f);
  h.render(512);
  EXPECT_TRUE(h.sink.named("audio_output_signal_started").empty());
  h.push(1000, std::nullopt, -0.25f);
  for (int i = 0; i < 80; ++i) h.render(512);
  ASSERT_EQ(h.sink.named("audio_output_signal_started").size(), 1u);
  EXPECT_EQ(h.sink.named("audio_output_signal_started")[0]["peak"], 0.25);
}

// A slow reader of the events (standard output blocked) must never hold up the media reader's
// push: the callback sends its events only after releasing the queue's lock.
TEST(RenderEventsTest, ASlowEventSinkNeverHoldsTheQueueLock) {
  struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    int entered = 0;
    bool release = false;
  };
  auto gate = std::make_shared<Gate>();
  EventSink slow([gate](Json e) {
    const std::string name = e.value("event", "");
    if (name != "audio_synchronization_started" && name != "audio_output_signal_started") return;
    std::unique_lock l(gate->mu);
    ++gate->entered;
    gate->cv.notify_all();
    gate->cv.wait(l, [&] { return gate->release; });
  });
  RenderHarness h(2, slow);
  h.queue->set_started(true);
  h.push(40000, std::nullopt);
  std::thread audio([&] { h.render(512); });
  {
    std::unique_lock l(gate->mu);
    ASSERT_TRUE(gate->cv.wait_for(l, 5s, [&] { return gate->entered > 0; }));
  }
  // The sink is stuck inside the callback; the reader can still take the lock and push.
  std::unique_lock reader(h.queue->mutex(), std::defer_lock);
  EXPECT_TRUE(reader.try_lock());
  if (reader.owns_lock()) reader.unlock();
  {
    std::lock_guard l(gate->mu);
    gate->release = true;
  }
  gate->cv.notify_all();
  audio.join();
}

}  // namespace
}  // namespace sonvale
