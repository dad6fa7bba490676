// Cost of one render callback per 512-frame device buffer (10.667 ms of audio at 48 kHz). The
// callback runs on the real-time audio thread and must stay far below the buffer's duration.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "media/output/render_callback.h"
#include "support/fake_clock.h"

namespace sonvale {
namespace {

constexpr std::size_t kFrames = 512;
constexpr std::int64_t kBufferNs = 512LL * 1000000000 / 48000;

struct Bench {
  explicit Bench(std::size_t channels, bool sender_clock)
      : st{.session = session_parts(time), .queue = PcmQueue::create(), .channels = channels} {
    if (sender_clock) {
      st.session.presentation->update_server_clock(ClockEstimate{st.session.presentation->local_now_us(), 0.0, 1.0, 0, 0, 0});
      st.session.presentation->set_time_offset(0);
      next_pts = static_cast<double>(*st.session.presentation->synchronized_server_now_micros()) + 20000.0;
    }
    chunk.resize(2048);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<float>(i % 97) / 97.0f;
    refill();
  }
  // Tops the queue up to the buffer-window target plus a margin, as the media reader would.
  void refill() {
    std::lock_guard l(st.queue->mutex());
    while (st.queue->queued_frames() < 40000) {
      st.queue->push_samples(chunk, next_pts ? std::optional<double>(*next_pts) : std::nullopt);
      if (next_pts) *next_pts += 1024 * 1000000.0 / 48000.0;
    }
  }

  static SessionShared session_parts(const std::shared_ptr<testing::FakeClock>& time) {
    return SessionShared::create(
        PlaybackGate::with_output_suspension(std::make_shared<std::atomic<bool>>(false), time),
        std::make_shared<std::atomic<std::uint32_t>>(80), time, EventSink());
  }

  std::shared_ptr<testing::FakeClock> time = testing::make_fake_clock();
  RenderState st;
  std::vector<float> chunk;
  std::optional<double> next_pts;
};

template <class S>
void BM_Render(benchmark::State& state) {
  const auto channels = static_cast<std::size_t>(state.range(0));
  Bench b(channels, state.range(1) != 0);
  std::vector<S> buffer(kFrames * channels);
  std::int64_t n = 0;
  for (auto _ : state) {
    const std::chrono::nanoseconds now = b.time->now().time_since_epoch();
    render_callback(b.st, std::span<S>(buffer), audio::OutputTimestamp{now, now + std::chrono::milliseconds(20)});
    benchmark::DoNotOptimize(buffer.data());
    b.time->advance(std::chrono::nanoseconds(kBufferNs));
    if (++n % 32 == 0) {  // 16384 frames consumed: top up outside the timing
      state.PauseTiming();
      b.refill();
      state.ResumeTiming();
    }
  }
}

// Arguments: channels, sender-clock pacing (1) or buffer-window pacing (0).
BENCHMARK(BM_Render<float>)->Args({2, 0})->Args({2, 1})->Args({1, 1})->Args({6, 1});
BENCHMARK(BM_Render<std::int16_t>)->Args({2, 1});
BENCHMARK(BM_Render<std::uint16_t>)->Args({2, 1})->Args({6, 1});

}  // namespace
}  // namespace sonvale

BENCHMARK_MAIN();
