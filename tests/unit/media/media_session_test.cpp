#include "media/media_session.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace sonvale {
namespace {

using namespace std::chrono_literals;

// Session bodies that record what ran where and stay inside until the test lets them go.
class HeldSessions {
 public:
  RtspSessions::Body body() {
    return [this](RtspLaunch launch) {
      std::unique_lock lock(mu_);
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      names_.insert(name);
      threads_.insert(std::this_thread::get_id());
      ran_.push_back(launch.params.token.generation());
      most_inside_ = std::max(most_inside_, ++inside_);
      changed_.notify_all();
      changed_.wait(lock, [&] { return released_; });
      --inside_;
    };
  }

  // Waits until `n` bodies have begun.
  bool wait_ran(std::size_t n) {
    std::unique_lock lock(mu_);
    return changed_.wait_for(lock, 5s, [&] { return ran_.size() >= n; });
  }
  void release() {
    std::lock_guard lock(mu_);
    released_ = true;
    changed_.notify_all();
  }
  std::vector<std::uint64_t> ran() {
    std::lock_guard lock(mu_);
    std::vector<std::uint64_t> sorted = ran_;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }
  std::size_t threads() {
    std::lock_guard lock(mu_);
    return threads_.size();
  }
  std::set<std::string> names() {
    std::lock_guard lock(mu_);
    return names_;
  }
  int most_inside() {
    std::lock_guard lock(mu_);
    return most_inside_;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::vector<std::uint64_t> ran_;
  std::set<std::thread::id> threads_;
  std::set<std::string> names_;
  int inside_ = 0;
  int most_inside_ = 0;
  bool released_ = false;
};

class RtspSessionsTest : public ::testing::Test {
 protected:
  // The launch of an Open that moved the generation on to `generation`.
  RtspLaunch open(std::uint64_t generation) {
    counter_->store(generation);
    return RtspLaunch{
        .params = {.rtsp_ip = Ipv4::loopback(),
                   .rtsp_port = 1,
                   .keys = std::nullopt,
                   .media = nullptr,
                   .token = SessionToken(counter_, generation)},
        .gate = PlaybackGate::with_output_suspension(std::make_shared<std::atomic<bool>>(false),
                                                     system_clock()),
        .receiver_volume = std::make_shared<std::atomic<std::uint32_t>>(50),
        .events = EventSink(),
    };
  }

  static bool wait_idle(const RtspSessions& sessions) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (sessions.running() != 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  std::shared_ptr<std::atomic<std::uint64_t>> counter_ =
      std::make_shared<std::atomic<std::uint64_t>>(0);
  HeldSessions held_;
};

TEST_F(RtspSessionsTest, BeyondTheLimitOnlyTheNewestLaunchWaitsAndRunsOnAFreedThread) {
  const RtspSessions sessions(kMaxRtspSessions, held_.body());
  for (std::uint64_t g = 1; g <= 10; ++g) sessions.start(open(g));
  ASSERT_TRUE(held_.wait_ran(kMaxRtspSessions));
  EXPECT_EQ(sessions.running(), kMaxRtspSessions);
  EXPECT_EQ(held_.ran(), (std::vector<std::uint64_t>{1, 2, 3, 4}));

  held_.release();
  ASSERT_TRUE(held_.wait_ran(5));
  ASSERT_TRUE(wait_idle(sessions));
  // Launches 5 to 9 were retired by the next Open before they began: they never run.
  EXPECT_EQ(held_.ran(), (std::vector<std::uint64_t>{1, 2, 3, 4, 10}));
  EXPECT_EQ(held_.threads(), kMaxRtspSessions);
  EXPECT_EQ(held_.most_inside(), static_cast<int>(kMaxRtspSessions));
  EXPECT_EQ(held_.names(), (std::set<std::string>{"sonvale-rtsp"}));
}

TEST_F(RtspSessionsTest, OfRacingOpensTheHigherGenerationIsTheOneThatWaits) {
  const RtspSessions sessions(2, held_.body());
  sessions.start(open(1));
  sessions.start(open(2));
  ASSERT_TRUE(held_.wait_ran(2));
  // Two Opens raced: the one with the higher generation reaches the sessions first.
  RtspLaunch newer = open(4);
  RtspLaunch older = open(3);
  sessions.start(std::move(newer));
  sessions.start(std::move(older));
  held_.release();
  ASSERT_TRUE(held_.wait_ran(3));
  ASSERT_TRUE(wait_idle(sessions));
  EXPECT_EQ(held_.ran(), (std::vector<std::uint64_t>{1, 2, 4}));
}

TEST_F(RtspSessionsTest, BelowTheLimitEveryLaunchGetsAThreadAtOnce) {
  const RtspSessions sessions(kMaxRtspSessions, held_.body());
  for (std::uint64_t g = 1; g <= 3; ++g) sessions.start(open(g));
  ASSERT_TRUE(held_.wait_ran(3));
  EXPECT_EQ(sessions.running(), 3u);
  held_.release();
  ASSERT_TRUE(wait_idle(sessions));
  // Once they ended, the next launch starts at once on a thread of its own.
  sessions.start(open(4));
  ASSERT_TRUE(held_.wait_ran(4));
  ASSERT_TRUE(wait_idle(sessions));
  EXPECT_EQ(held_.ran(), (std::vector<std::uint64_t>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace sonvale
