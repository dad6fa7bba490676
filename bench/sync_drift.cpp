// Sync of sender-clock playout in simulated time: tone onsets as the device plays them, against
// their due time on the phone's timer clock, over a long cast with a timer server whose clock
// drifts and whose replies jitter.
//
// What runs is the receiver's own code: the timer reply parsing and sample arithmetic
// (parse_timer_reply, timer_sample_from_exchange), TimerClockEstimator,
// ZeDidiPresentationClock, PcmQueue and render_callback. What is simulated, on one discrete
// time line in nanoseconds that the presentation clock reads as its monotonic clock:
//   - the clock synchronisation thread's schedule: rounds of 10 exchanges, 10 ms after every
//     accepted sample, 50 x 100 ms between rounds;
//   - the timer server: server time = offset + local time x (1 + drift); each one-way trip takes
//     250 us, each reply leaves up to `jitter` later (uniform), as tests/e2e/fake_timer_server.py
//     does with jitter_us. That delay falls on the way back alone, the worst case for a two-way
//     exchange, which reads the server half the delay behind; with `legs` "both", each request
//     and each reply is delayed independently instead;
//   - the phone: it announces a time offset once and hands over every 1024-frame chunk 400 ms
//     of its own clock before the chunk is due (the decode is not part of this: the chunks are
//     the PCM the decoder would yield), a 1 kHz tone burst of 40 ms every 250 ms;
//   - the device: a 512-frame callback every 10.667 ms of local time (the device clock is the
//     local clock, as on the paced fake host), each buffer heard 20 ms after its callback.
// An onset is the first rendered frame above 0.1 after at least 2400 quiet frames; it is heard
// at its buffer's playback instant plus its place in the buffer, read on the timer server's
// clock, and compared with the onset frame's presentation time plus the announced offset.
//
//   bench_sync_drift [minutes=10] [jitter_us=5000] [seed=1] [legs=reply|both]
//
// Prints, per drift (-200, 0, +200 ppm), the signed onset error (heard minus due) after lock as
// median, 99th percentile of |error| and maximum |error|, in microseconds. "After lock" is from
// the 16th round in which the clock estimator's rate fit is in use (it fits from its 20th round;
// the presentation clock then closes a quarter of its frequency gap per round, to 1 % after 16),
// some 180 s into the cast; the figures since the first sender-clock buffer are printed beside,
// and how far the presentation clock itself reads behind the server's (the part of the error
// that the timer exchange leaves, against the part that playout pacing adds).

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "media/clock/presentation_clock.h"
#include "media/clock/timer_clock_estimator.h"
#include "media/clock/timer_exchange.h"
#include "media/output/render_callback.h"

namespace {

using namespace sonvale;

constexpr std::int64_t kRate = 48000;
constexpr std::int64_t kChunkFrames = 1024;
constexpr std::int64_t kBufferFrames = 512;
constexpr std::int64_t kOutputLatencyNs = 20'000'000;
constexpr std::int64_t kOneWayNs = 250'000;
constexpr std::int64_t kSendAheadUs = 400'000;
constexpr std::int64_t kStartNs = 1'000'000'000'000;  // local time line origin: 1000 s
// The burst signal of the paced playout tests: silence with 40 ms bursts of a 1 kHz tone every
// 250 ms, the first at 100 ms.
constexpr std::int64_t kFirstBurst = 4800, kBurstEvery = 12000, kBurstLength = 1920;

// The one time line of the simulation, read by the presentation clock.
std::int64_t g_now_ns = kStartNs;
class SimulatedClock final : public Clock {
 public:
  time_point now() const override { return time_point(std::chrono::nanoseconds(g_now_ns)); }
  wall_time_point wall_now() const override {
    return wall_time_point(std::chrono::duration_cast<wall_time_point::duration>(
        std::chrono::nanoseconds(g_now_ns)));
  }
};

float burst_sample(std::int64_t n) {
  if (n < kFirstBurst) return 0.0f;
  const std::int64_t into = (n - kFirstBurst) % kBurstEvery;
  if (into >= kBurstLength) return 0.0f;
  const double phase = 2.0 * M_PI * 1000.0 * static_cast<double>(into) / kRate;
  return static_cast<float>(0.5 * std::cos(phase));
}

struct TimerServer {
  double drift;      // fraction, +200 ppm = 2e-4
  double offset_us;  // server time at the local origin
  std::int64_t jitter_us;
  bool both_legs;
  std::mt19937_64 random;

  double server_us(std::int64_t local_ns) const {
    return offset_us + static_cast<double>(local_ns - kStartNs) / 1000.0 * (1.0 + drift);
  }
  // The local instant at which the server clock reads `server`.
  double local_ns_at(double server) const {
    return static_cast<double>(kStartNs) + (server - offset_us) / (1.0 + drift) * 1000.0;
  }
};

// The clock synchronisation thread as a state machine on the simulated time line.
class SyncSim {
 public:
  SyncSim(std::shared_ptr<ZeDidiPresentationClock> clock, TimerServer& server)
      : clock_(std::move(clock)), server_(server) {}

  std::int64_t next_ns() const { return next_ns_; }
  // Locked: the estimator has fitted its rate for kLockRounds rounds, so the clock's frequency,
  // which closes a quarter of its gap per round, is within 1 % of the fitted rate.
  static constexpr int kLockRounds = 16;
  bool locked() const { return fitted_rounds_ >= kLockRounds; }
  std::uint64_t rounds() const { return rounds_; }

  void run_due() {
    if (apply_due_) {
      apply();
    } else if (waiting_reply_) {
      receive();
    } else {
      send();
    }
  }

 private:
  void send() {
    sent_us_ = clock_->local_now_us();
    ++sequence_;
    std::uniform_int_distribution<std::int64_t> jitter(0, server_.jitter_us * 1000);
    const std::int64_t arrive =
        g_now_ns + kOneWayNs + (server_.both_legs ? jitter(server_.random) : 0);
    const auto t2 = static_cast<std::int64_t>(server_.server_us(arrive));
    const auto t3 = t2;  // stamped as the reply is sent; the jitter delays it after the stamp
    const std::int64_t leave = arrive + jitter(server_.random);
    reply_.fill(0);
    auto put = [&](std::size_t at, std::uint64_t v, int bytes) {
      for (int b = 0; b < bytes; ++b)
        reply_[at + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(v >> (8 * b));
    };
    put(16, static_cast<std::uint64_t>(t3), 8);
    put(24, static_cast<std::uint64_t>(t2), 8);
    put(32, sequence_, 4);
    waiting_reply_ = true;
    next_ns_ = leave + kOneWayNs;  // well inside the 350 ms read time-out
  }

  void receive() {
    waiting_reply_ = false;
    const std::int64_t received = clock_->local_now_us();
    const auto reply = parse_timer_reply(ByteSpan(reply_.data(), reply_.size()));
    std::optional<TimerSample> sample;
    if (reply && reply->sequence == sequence_)
      sample = timer_sample_from_exchange(sent_us_, received, *reply);
    ++attempt_;
    std::int64_t pause_ns = 0;
    if (sample) {
      round_.push_back(*sample);
      pause_ns = 10'000'000;
    }
    next_ns_ = g_now_ns + pause_ns;
    // The round ends after the last sample's pause; the estimate is applied then.
    if (attempt_ == 10) apply_due_ = true;
  }

  void apply() {
    apply_due_ = false;
    if (auto estimate = estimator_.observe_round(round_)) {
      clock_->update_server_clock(*estimate);
      if (estimate->fit_history_samples >= TimerClockEstimator::kMinFitPoints) ++fitted_rounds_;
    }
    ++rounds_;
    round_.clear();
    attempt_ = 0;
    next_ns_ = g_now_ns + 50 * 100'000'000LL;
  }

  std::shared_ptr<ZeDidiPresentationClock> clock_;
  TimerServer& server_;
  TimerClockEstimator estimator_;
  std::vector<TimerSample> round_;
  std::array<std::uint8_t, kTimerMessageSize> reply_{};
  std::int64_t next_ns_ = kStartNs;
  std::int64_t sent_us_ = 0;
  std::uint32_t sequence_ = 0;
  int attempt_ = 0;
  bool waiting_reply_ = false;
  bool apply_due_ = false;
  int fitted_rounds_ = 0;
  std::uint64_t rounds_ = 0;
};

struct Onset {
  double error_us;
  // The presentation clock's server time minus the true one, at the onset's callback.
  double clock_error_us;
  bool locked;  // heard after the rate fit was in use
};

struct RunFigures {
  std::vector<Onset> onsets;
  std::uint64_t bursts_due = 0;
  std::uint64_t rounds = 0;
  double lock_at_s = -1;
  bool sender_clock = false;
};

RunFigures run(double drift_ppm, double minutes, std::int64_t jitter_us, bool both_legs,
               std::uint64_t seed) {
  g_now_ns = kStartNs;
  TimerServer server{drift_ppm / 1e6, 7'000'000'000.0, jitter_us, both_legs, std::mt19937_64(seed)};
  const auto time = std::make_shared<SimulatedClock>();
  auto clock = ZeDidiPresentationClock::create(time);
  SyncSim sync(clock, server);

  RunFigures fig;
  SessionShared session = SessionShared::create(
      PlaybackGate::with_output_suspension(std::make_shared<std::atomic<bool>>(false), time),
      std::make_shared<std::atomic<std::uint32_t>>(100), time, EventSink([&fig](Json e) {
        if (e.value("event", "") == "audio_synchronization_started")
          fig.sender_clock = e.value("synchronization_mode", "") == "sender_clock";
      }));
  session.presentation = clock;
  RenderState st{.session = std::move(session), .queue = PcmQueue::create(), .channels = 2};

  // The phone starts streaming 2 s in (the first timer round is done by then): chunk k of media
  // time pts(k) is due at pts(k) + offset on its clock, and it announces that offset now.
  const std::int64_t stream_start_ns = kStartNs + 2'000'000'000;
  const double pts0_us = 1'000'000.0;
  const double first_due = server.server_us(stream_start_ns) + kSendAheadUs;
  const auto time_offset = static_cast<std::int64_t>(first_due - pts0_us);
  auto chunk_pts = [&](std::int64_t k) {
    return pts0_us + static_cast<double>(k * kChunkFrames) * 1e6 / kRate;
  };
  auto chunk_push_ns = [&](std::int64_t k) {
    return static_cast<std::int64_t>(
        server.local_ns_at(chunk_pts(k) + static_cast<double>(time_offset) - kSendAheadUs));
  };
  bool offset_announced = false;

  const auto chunks = static_cast<std::int64_t>(minutes * 60.0 * kRate / kChunkFrames);
  const std::int64_t end_ns = chunk_push_ns(chunks) + 1'000'000'000;
  std::int64_t next_chunk = 0;
  std::int64_t callback = 0;
  auto callback_ns = [&](std::int64_t k) {
    return kStartNs + k * kBufferFrames * 1'000'000'000 / kRate;
  };

  std::vector<float> chunk(kChunkFrames * 2);
  std::vector<float> buffer(kBufferFrames * 2);
  std::int64_t quiet = kBurstEvery;
  double lock_ns = -1;

  for (;;) {
    const std::int64_t next_cb = callback_ns(callback);
    const std::int64_t next_push = next_chunk < chunks ? chunk_push_ns(next_chunk) : INT64_MAX;
    const std::int64_t next_sync = sync.next_ns();
    const std::int64_t t = std::min({next_cb, next_push, next_sync});
    if (t > end_ns) break;
    g_now_ns = t;
    if (t == next_sync) {
      sync.run_due();
      if (sync.locked() && lock_ns < 0) lock_ns = static_cast<double>(g_now_ns);
      continue;
    }
    if (t == next_push) {
      if (!offset_announced) {
        clock->set_time_offset(time_offset);
        offset_announced = true;
      }
      for (std::int64_t f = 0; f < kChunkFrames; ++f) {
        const float x = burst_sample(next_chunk * kChunkFrames + f);
        chunk[static_cast<std::size_t>(2 * f)] = x;
        chunk[static_cast<std::size_t>(2 * f + 1)] = x;
      }
      {
        std::lock_guard lock(st.queue->mutex());
        st.queue->push_samples(chunk, chunk_pts(next_chunk));
      }
      ++next_chunk;
      continue;
    }
    const std::chrono::nanoseconds cb(t);
    render_callback(st, std::span<float>(buffer),
                    audio::OutputTimestamp{cb, cb + std::chrono::nanoseconds(kOutputLatencyNs)});
    for (std::int64_t f = 0; f < kBufferFrames; ++f) {
      const float x = buffer[static_cast<std::size_t>(2 * f)];
      if (std::abs(x) <= 0.1f) {
        ++quiet;
        continue;
      }
      if (quiet >= 2400 && st.clock_locked) {
        const std::int64_t heard_ns = t + kOutputLatencyNs + f * 1'000'000'000 / kRate;
        const double heard = server.server_us(heard_ns);
        // The burst whose due time lies nearest: bursts are 250 ms apart, errors far smaller.
        const double media_us = heard - static_cast<double>(time_offset) - pts0_us;
        const double burst = std::round((media_us * kRate / 1e6 - kFirstBurst) / kBurstEvery);
        const double onset_frame = kFirstBurst + burst * kBurstEvery;
        const double due = pts0_us + onset_frame * 1e6 / kRate + static_cast<double>(time_offset);
        const double clock_error =
            static_cast<double>(*clock->synchronized_server_now_micros()) - server.server_us(t);
        fig.onsets.push_back({heard - due, clock_error, lock_ns >= 0 && heard_ns > lock_ns});
      }
      quiet = 0;
    }
    ++callback;
  }
  fig.bursts_due =
      static_cast<std::uint64_t>((chunks * kChunkFrames - kFirstBurst) / kBurstEvery + 1);
  fig.rounds = sync.rounds();
  fig.lock_at_s = lock_ns < 0 ? -1 : (lock_ns - static_cast<double>(kStartNs)) / 1e9;
  return fig;
}

struct Distribution {
  std::size_t n = 0;
  double median = 0, p99_abs = 0, max_abs = 0;
  double clock_median = 0;
};

Distribution distribution(const std::vector<Onset>& onsets, bool locked_only) {
  std::vector<double> e, a, k;
  for (const Onset& o : onsets) {
    if (locked_only && !o.locked) continue;
    e.push_back(o.error_us);
    k.push_back(o.clock_error_us);
    a.push_back(std::abs(o.error_us));
  }
  Distribution d;
  d.n = e.size();
  if (e.empty()) return d;
  std::sort(e.begin(), e.end());
  std::sort(a.begin(), a.end());
  std::sort(k.begin(), k.end());
  d.clock_median = k[k.size() / 2];
  d.median = e[e.size() / 2];
  d.p99_abs = a[std::min(a.size() - 1, static_cast<std::size_t>(std::ceil(0.99 * a.size())) - 1)];
  d.max_abs = a.back();
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
  const std::int64_t jitter_us = argc > 2 ? std::atoll(argv[2]) : 5000;
  const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
  const bool both_legs = argc > 4 && std::strcmp(argv[4], "both") == 0;
  std::printf(
      "sync: %.1f min of audio per run, %s jittered 0..%lld us, seed %llu "
      "(simulated time)\n",
      minutes, both_legs ? "timer requests and replies" : "timer replies",
      static_cast<long long>(jitter_us), static_cast<unsigned long long>(seed));
  int worst = 0;
  for (const double ppm : {-200.0, 0.0, 200.0}) {
    const RunFigures f = run(ppm, minutes, jitter_us, both_legs, seed);
    const Distribution locked = distribution(f.onsets, true);
    const Distribution all = distribution(f.onsets, false);
    std::printf(
        "  drift %+5.0f ppm: %s, %llu rounds, locked at %.0f s; onsets heard %zu of %llu\n"
        "    after lock (%zu): median %+.0f us, p99 |err| %.0f us, max |err| %.0f us "
        "(presentation clock behind the server by %.0f us, median)\n"
        "    since first sender-clock buffer (%zu): median %+.0f us, p99 |err| %.0f us, "
        "max |err| %.0f us\n",
        ppm, f.sender_clock ? "sender_clock" : "NOT sender_clock",
        static_cast<unsigned long long>(f.rounds), f.lock_at_s, f.onsets.size(),
        static_cast<unsigned long long>(f.bursts_due), locked.n, locked.median, locked.p99_abs,
        locked.max_abs, -locked.clock_median, all.n, all.median, all.p99_abs, all.max_abs);
    if (!f.sender_clock || locked.n == 0 || locked.max_abs > 2000.0) worst = 1;
  }
  std::printf("sync target: max |err| after lock <= 2000 us: %s\n", worst ? "MISSED" : "met");
  return 0;
}
