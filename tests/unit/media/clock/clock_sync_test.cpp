#include "media/clock/clock_sync.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/thread.h"
#include "support/media_records.h"
#include "support/recording_sink.h"
#include "support/timer_server_process.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;
using testing::RecordingSink;
using testing::TimerServerProcess;

constexpr std::uint64_t kGeneration = 7;

std::int64_t steady_now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::vector<std::uint32_t> sequences(const std::vector<Json>& requests) {
  std::vector<std::uint32_t> out;
  for (const auto& r : requests) out.push_back(r["sequence"].get<std::uint32_t>());
  return out;
}

// Runs one clock synchronisation thread against a fake timer server and watches it: the thread's
// end is seen when it releases its event sink (the sink holds the only reference to a guard that
// completes `ended_` when destroyed).
class ClockSyncTest : public ::testing::Test {
 protected:
  void TearDown() override {
    alive_->store(false);
    if (ended_.valid()) {
      EXPECT_TRUE(ended(5s)) << "the clock synchronisation thread did not end";
    }
  }

  // Starts the thread through spawn_timer_synchronizer, or with `timing` through clock_sync_main.
  void start(SocketAddrV4 server, const ClockSyncTiming* timing = nullptr) {
    EventSink events = watched_sink();
    SessionShared shared = testing::session_shared(std::move(events), system_clock());
    shared.gate = gate_;
    shared.presentation = clock_;
    shared.session_alive = alive_;
    shared.play_received = play_;
    TimerSyncInputs inputs{.server = server,
                           .shared = std::move(shared),
                           .token = SessionToken(generation_, kGeneration)};
    if (timing == nullptr) {
      spawn_timer_synchronizer(std::move(inputs));
      return;
    }
    auto thread =
        spawn_named("clock-sync-test", [inputs = std::move(inputs), t = *timing]() mutable {
          clock_sync_main(std::move(inputs), t);
        });
    ASSERT_TRUE(thread);
    thread->detach();
  }
  void start(const TimerServerProcess& server, const ClockSyncTiming* timing = nullptr) {
    ASSERT_TRUE(server.started());
    start(SocketAddrV4{Ipv4::loopback(), server.port()}, timing);
  }

  bool ended(std::chrono::milliseconds timeout) {
    return ended_.wait_for(timeout) == std::future_status::ready;
  }

  std::vector<Json> synchronized_events() const { return recorder_.named("clock_synchronized"); }
  std::optional<Json> wait_for_synchronized(std::uint64_t fit_points,
                                            std::chrono::milliseconds timeout = 10s) {
    return recorder_.wait_for(
        [&](const Json& e) {
          return e.value("event", "") == "clock_synchronized" &&
                 e.value("fit_history_samples", std::uint64_t{0}) >= fit_points;
        },
        timeout);
  }

  // What server_minus_local_us must be for a server whose clock reads `offset_us` at `epoch_us`.
  std::int64_t expected_offset(std::int64_t offset_us, std::int64_t epoch_us) const {
    return offset_us - epoch_us + base_us_;
  }

  std::set<std::string> thread_names() const {
    std::lock_guard lock(names_->mu);
    return names_->names;
  }

  RecordingSink recorder_;
  std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  std::shared_ptr<std::atomic<std::uint64_t>> generation_ =
      std::make_shared<std::atomic<std::uint64_t>>(kGeneration);
  PlaybackGate gate_ =
      PlaybackGate::with_output_suspension(std::make_shared<std::atomic<bool>>(false), system_clock());
  std::shared_ptr<std::atomic<bool>> blocked_ = gate_.blocked_cell();
  std::shared_ptr<std::atomic<bool>> play_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<ZeDidiPresentationClock> clock_ = ZeDidiPresentationClock::create(system_clock());
  // The steady-clock time (µs) of the clock's base.
  const std::int64_t base_us_ = steady_now_us() - clock_->local_now_us();

 private:
  struct Names {
    std::mutex mu;
    std::set<std::string> names;
  };
  struct EndGuard {
    explicit EndGuard(std::shared_ptr<std::promise<void>> p) : promise(std::move(p)) {}
    ~EndGuard() { promise->set_value(); }
    std::shared_ptr<std::promise<void>> promise;
  };

  EventSink watched_sink() {
    auto promise = std::make_shared<std::promise<void>>();
    ended_ = promise->get_future().share();
    auto guard = std::make_shared<EndGuard>(promise);
    return EventSink([record = recorder_.sink(), guard, names = names_](Json event) {
      char name[32] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      {
        std::lock_guard lock(names->mu);
        names->names.insert(name);
      }
      record(std::move(event));
    });
  }

  std::shared_ptr<Names> names_ = std::make_shared<Names>();
  std::shared_future<void> ended_;
};

TEST_F(ClockSyncTest, FirstRoundReportsTheServerOffsetWithoutTheServersHold) {
  // The server holds every request 20 ms; the round trip must not include that.
  TimerServerProcess server({"--offset-us", "123456789", "--hold-us", "20000"});
  start(server);
  const auto event = wait_for_synchronized(1);
  ASSERT_TRUE(event);

  std::set<std::string> keys;
  for (const auto& [key, value] : event->items()) keys.insert(key);
  EXPECT_EQ(keys, (std::set<std::string>{"event", "protocol", "timer_server",
                                         "server_minus_local_us", "target_server_minus_local_us",
                                         "phase_error_us", "frequency_ppm", "round_trip_us",
                                         "filtered_samples", "fit_history_samples"}));
  EXPECT_EQ((*event)["protocol"], "xiaomi_zedidi");
  EXPECT_EQ((*event)["timer_server"], "127.0.0.1:" + std::to_string(server.port()));

  const std::int64_t round_trip = (*event)["round_trip_us"].get<std::int64_t>();
  EXPECT_GE(round_trip, 0);
  EXPECT_LT(round_trip, 20'000);
  // Each sample is within half its own round trip of the truth. The filtered offset averages
  // several samples, and on a loaded machine (sanitizers, parallel tests) their round trips can
  // exceed the best one's by several hundred µs; the 20 ms hold, if it were counted, would be
  // off by about 10 ms.
  const std::int64_t offset = (*event)["server_minus_local_us"].get<std::int64_t>();
  EXPECT_NEAR(static_cast<double>(offset),
              static_cast<double>(expected_offset(123'456'789, server.epoch_us())),
              static_cast<double>(round_trip / 2 + 1000));
  // The first update takes the estimate whole.
  EXPECT_EQ((*event)["target_server_minus_local_us"], offset);
  EXPECT_EQ((*event)["phase_error_us"], offset);
  EXPECT_TRUE((*event)["frequency_ppm"].is_number_float());
  EXPECT_EQ((*event)["frequency_ppm"].get<double>(), 0.0);
  EXPECT_EQ((*event)["filtered_samples"], 10u);
  EXPECT_EQ((*event)["fit_history_samples"], 1u);
  EXPECT_TRUE(clock_->is_synchronized());

  const auto requests = server.requests();
  ASSERT_GE(requests.size(), 10u);
  const std::vector<Json> first_round(requests.begin(), requests.begin() + 10);
  EXPECT_EQ(sequences(first_round), (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  for (std::size_t i = 1; i < first_round.size(); ++i) {
    EXPECT_EQ(first_round[i]["size"], 40);
    EXPECT_GT(first_round[i]["originate_us"].get<std::int64_t>(),
              first_round[i - 1]["originate_us"].get<std::int64_t>());
  }
  EXPECT_EQ(thread_names(), std::set<std::string>{"sonvale-clock-s"});

  // Every round that brings samples is reported; a PLAY request cuts the pause short.
  play_->store(true);
  const auto second = wait_for_synchronized(2, 3s);
  ASSERT_TRUE(second) << "a PLAY request did not start the next round";
  EXPECT_FALSE(play_->load());
  EXPECT_EQ(sequences(server.requests())[10], 11u);
}

class RejectedReplyTest : public ClockSyncTest,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(RejectedReplyTest, RepliesOfTheWrongSizeOrSequenceBringNoEstimate) {
  // "long" is a correct reply followed by one more byte: its first 40 bytes must not pass.
  TimerServerProcess server({"--mode", GetParam()});
  ClockSyncTiming timing;
  timing.io_timeout = 100ms;  // keeps the rounds against a silent server short
  play_->store(true);         // no pause after the first round
  start(server, &timing);

  // The second round has begun, so the first one has been handed to the estimator.
  ASSERT_TRUE(server.wait_for_request(11));
  EXPECT_EQ(sequences(server.requests()).at(9), 10u) << "every attempt sends one request";
  EXPECT_TRUE(synchronized_events().empty());
  EXPECT_FALSE(clock_->is_synchronized());

  // The same thread synchronises once the server answers properly.
  ASSERT_TRUE(server.configure({{"mode", "normal"}}));
  play_->store(true);
  const auto event = wait_for_synchronized(1);
  ASSERT_TRUE(event);
  EXPECT_EQ(synchronized_events().front()["fit_history_samples"], 1u);
  EXPECT_TRUE(clock_->is_synchronized());
}

INSTANTIATE_TEST_SUITE_P(Modes, RejectedReplyTest,
                         ::testing::Values("short", "long", "wrong_sequence", "silent"),
                         [](const auto& param_info) {
                           std::string name = param_info.param;
                           std::erase(name, '_');
                           return name;
                         });

class ExtraDatagramTest : public ClockSyncTest,
                          public ::testing::WithParamInterface<const char*> {};

// A datagram that is not the awaited reply, left unread, would be taken for the next exchange's
// reply, and so on for every later exchange: one duplicate would end the synchronisation.
TEST_P(ExtraDatagramTest, OtherDatagramsAreSkippedAndEveryExchangeCounts) {
  TimerServerProcess server({"--mode", GetParam()});
  play_->store(true);  // no pause after the first round
  start(server);
  ASSERT_TRUE(wait_for_synchronized(1));
  play_->store(true);
  ASSERT_TRUE(wait_for_synchronized(2, 5s));
  const auto events = synchronized_events();
  EXPECT_EQ(events.at(0)["filtered_samples"], 10u);
  EXPECT_EQ(events.at(1)["filtered_samples"], 10u);
  EXPECT_EQ(sequences(server.requests()).at(19), 20u) << "one request per exchange";
}

INSTANTIATE_TEST_SUITE_P(Modes, ExtraDatagramTest, ::testing::Values("duplicate", "stray_first"),
                         [](const auto& param_info) {
                           std::string name = param_info.param;
                           std::erase(name, '_');
                           return name;
                         });

TEST_F(ClockSyncTest, SequenceNumbersWrapAfterTheLargest) {
  TimerServerProcess server;
  ClockSyncTiming timing;
  timing.initial_sequence = 0xFFFFFFFD;
  start(server, &timing);
  ASSERT_TRUE(wait_for_synchronized(1));
  const auto seen = sequences(server.requests());
  ASSERT_GE(seen.size(), 10u);
  EXPECT_EQ(std::vector<std::uint32_t>(seen.begin(), seen.begin() + 10),
            (std::vector<std::uint32_t>{0xFFFFFFFE, 0xFFFFFFFF, 0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(ClockSyncTest, HeldPlaybackAbandonsTheRoundAndStopsTheRequests) {
  // 30 ms per exchange, so that the gate closes in the middle of the second round.
  TimerServerProcess server({"--hold-us", "30000"});
  play_->store(true);
  start(server);
  ASSERT_TRUE(server.wait_for_request(13));
  blocked_->store(true);

  // At most the attempt under way completes; then no traffic while held.
  std::this_thread::sleep_for(300ms);
  const std::size_t held_at = server.requests().size();
  EXPECT_LE(held_at, 15u);
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(server.requests().size(), held_at);
  EXPECT_EQ(synchronized_events().size(), 1u) << "the abandoned round must not be reported";

  blocked_->store(false);
  ASSERT_TRUE(server.wait_for_request(static_cast<std::uint32_t>(held_at + 1), 2s));
  // The next complete round is the second fit point: the abandoned one added nothing.
  const auto second = wait_for_synchronized(2);
  ASSERT_TRUE(second);
  EXPECT_EQ((*second)["fit_history_samples"], 2u);
  EXPECT_EQ((*second)["filtered_samples"], 10u);
  // Numbers keep counting across the abandoned round.
  const auto seen = sequences(server.requests());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], i + 1);
}

enum class Stop { kGenerationMoves, kSessionEnds };
enum class Phase { kBeforeStart, kPause, kRound, kHeld };

struct EndCase {
  std::string name;
  Stop stop;
  Phase phase;
};

class EndTest : public ClockSyncTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndTest, ThreadEndsQuietlyAtItsNextCheck) {
  const EndCase& c = GetParam();
  TimerServerProcess server({"--hold-us", "50000"});
  if (c.phase == Phase::kHeld) blocked_->store(true);
  if (c.phase == Phase::kBeforeStart) alive_->store(false);
  if (c.phase == Phase::kRound) play_->store(true);
  start(server);

  switch (c.phase) {
    case Phase::kBeforeStart:
      break;
    case Phase::kPause:  // the first round is reported, then a 5 s pause begins
      ASSERT_TRUE(wait_for_synchronized(1));
      break;
    case Phase::kRound:
      ASSERT_TRUE(server.wait_for_request(13));
      break;
    case Phase::kHeld:
      std::this_thread::sleep_for(250ms);  // some hold sleeps
      break;
  }
  const std::size_t events_before = recorder_.events().size();
  if (c.stop == Stop::kGenerationMoves) {
    generation_->store(kGeneration + 1);
  } else {
    alive_->store(false);
  }

  // Far sooner than a pause or a round would take.
  ASSERT_TRUE(ended(1500ms));
  EXPECT_EQ(recorder_.events().size(), events_before) << "the thread must end without an event";
  const std::size_t requests = server.requests().size();
  if (c.phase == Phase::kBeforeStart || c.phase == Phase::kHeld) {
    EXPECT_EQ(requests, 0u);
  }
  if (c.phase == Phase::kRound) {
    EXPECT_LE(requests, 15u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, EndTest,
    ::testing::Values(
        EndCase{"SessionGoneBeforeTheFirstRound", Stop::kSessionEnds, Phase::kBeforeStart},
        EndCase{"GenerationMovesDuringThePause", Stop::kGenerationMoves, Phase::kPause},
        EndCase{"SessionEndsDuringThePause", Stop::kSessionEnds, Phase::kPause},
        EndCase{"GenerationMovesDuringARound", Stop::kGenerationMoves, Phase::kRound},
        EndCase{"SessionEndsDuringARound", Stop::kSessionEnds, Phase::kRound},
        EndCase{"GenerationMovesWhileHeld", Stop::kGenerationMoves, Phase::kHeld},
        EndCase{"SessionEndsWhileHeld", Stop::kSessionEnds, Phase::kHeld}),
    [](const auto& param_info) { return param_info.param.name; });

TEST_F(ClockSyncTest, ConnectFailureIsReportedAndEndsTheThread) {
  // Unreachable in a namespace with only loopback; refused without SO_BROADCAST elsewhere.
  start(SocketAddrV4{Ipv4::from_octets(255, 255, 255, 255), 9});
  ASSERT_TRUE(ended(5s));
  const auto events = recorder_.events();
  ASSERT_EQ(events.size(), 1u);
  const Json& e = events.front();
  EXPECT_EQ(e.size(), 3u);
  EXPECT_EQ(e["event"], "error");
  EXPECT_EQ(e["code"], "sonvale_clock_sync_connect_failed");
  const std::string message = e["message"];
  const std::string prefix = "小米妙播同步时钟连接失败：";
  EXPECT_EQ(message.substr(0, prefix.size()), prefix);
  EXPECT_TRUE(std::regex_search(message, std::regex(R"(\S \(os error [0-9]+\)$)"))) << message;
  EXPECT_FALSE(clock_->is_synchronized());
}

// Without a free descriptor number the socket cannot be made. Runs in a child process (a death
// test), which prints the events on standard error and exits.
void run_without_descriptors() {
  // Descriptors already open stay usable; no new one can be made.
  const int lowest_free = ::dup(2);
  if (lowest_free < 0) std::_Exit(2);
  ::close(lowest_free);
  const rlimit none{static_cast<rlim_t>(lowest_free), static_cast<rlim_t>(lowest_free)};
  if (::setrlimit(RLIMIT_NOFILE, &none) != 0) std::_Exit(2);
  TimerSyncInputs inputs{
      .server = SocketAddrV4{Ipv4::loopback(), 9},
      .shared = testing::session_shared(
          EventSink([](Json e) { std::fprintf(stderr, "%s\n", compact_json(e).c_str()); }),
          system_clock()),
      .token = SessionToken(std::make_shared<std::atomic<std::uint64_t>>(kGeneration), kGeneration)};
  clock_sync_main(std::move(inputs));
  std::_Exit(0);
}

TEST(ClockSyncBindTest, BindFailureIsReportedAndEndsTheThread) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer runtime of that build opens pipes for its own checks and fails without them.
  GTEST_SKIP() << "needs free descriptors for the sanitizer runtime";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_without_descriptors(), ::testing::ExitedWithCode(0),
              "^\\{\"code\":\"sonvale_clock_sync_bind_failed\",\"event\":\"error\","
              "\"message\":\"小米妙播同步时钟初始化失败：[^\"]+ \\(os error 24\\)\"\\}\n$");
}

TEST_F(ClockSyncTest, ServerDriftIsFittedAfterTwentyRoundsAndApproached) {
  TimerServerProcess server({"--offset-us", "-5000000", "--drift-ppm", "200"});
  // PLAY requests every 250 ms keep the rounds some 300 ms apart, so that twenty of them span the
  // five seconds the fit needs.
  std::atomic<bool> ticking{true};
  std::thread ticker([&] {
    while (ticking.load()) {
      play_->store(true);
      std::this_thread::sleep_for(250ms);
    }
  });
  start(server);
  const auto converged = recorder_.wait_for(
      [](const Json& e) {
        return e.value("event", "") == "clock_synchronized" &&
               e.value("frequency_ppm", 0.0) > 150.0;
      },
      40s);
  ticking.store(false);
  ticker.join();
  ASSERT_TRUE(converged) << "frequency_ppm did not approach 200";

  double last_ppm = 0.0;
  for (const auto& e : synchronized_events()) {
    const double ppm = e["frequency_ppm"].get<double>();
    if (e["fit_history_samples"].get<std::uint64_t>() < 20) {
      EXPECT_EQ(ppm, 0.0) << "no rate before twenty fit points";
    } else {
      // Each update closes a quarter of the gap towards the fitted 200 ppm.
      EXPECT_GE(ppm, last_ppm - 5.0);
      EXPECT_LT(ppm, 230.0);
    }
    last_ppm = ppm;
  }
  EXPECT_GE((*converged)["fit_history_samples"].get<std::uint64_t>(), 20u);
}

}  // namespace
}  // namespace sonvale
