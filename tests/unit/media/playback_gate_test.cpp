#include "media/playback_gate.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/fake_clock.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

class PlaybackGateTest : public ::testing::Test {
 protected:
  // The fake monotonic clock of the grace period, advanced by the tests.
  void advance(std::chrono::nanoseconds d) { clock_->advance(d); }
  PlaybackGate make_gate() { return PlaybackGate::with_output_suspension(suspended_, clock_); }

  std::shared_ptr<testing::FakeClock> clock_ = testing::make_fake_clock();
  std::shared_ptr<std::atomic<bool>> suspended_ = std::make_shared<std::atomic<bool>>(false);
};

TEST_F(PlaybackGateTest, NewGatePlaysAndAcceptsWeakResume) {
  auto gate = make_gate();
  EXPECT_FALSE(gate.blocked());
  EXPECT_FALSE(gate.remote_paused());
  EXPECT_TRUE(gate.accepts_weak_resume());
  EXPECT_FALSE(gate.resume_grace_until());
}

TEST_F(PlaybackGateTest, PauseIsProtectedForExactlyOnePointFiveSeconds) {
  auto gate = make_gate();
  gate.set_paused(true);
  EXPECT_TRUE(gate.blocked());
  advance(1s);
  EXPECT_FALSE(gate.accepts_weak_resume());
  EXPECT_TRUE(gate.remote_paused());
  EXPECT_TRUE(gate.blocked());
  advance(500ms - 1ns);
  EXPECT_FALSE(gate.accepts_weak_resume());
  advance(1ns);  // exactly at the grace instant: accepted
  EXPECT_TRUE(gate.accepts_weak_resume());
  EXPECT_FALSE(gate.remote_paused());
  EXPECT_FALSE(gate.blocked());
  EXPECT_FALSE(gate.resume_grace_until());
}

TEST_F(PlaybackGateTest, RepeatedPauseRestartsTheGrace) {
  auto gate = make_gate();
  gate.set_paused(true);
  advance(1s);
  gate.set_paused(true);
  advance(1s);
  EXPECT_FALSE(gate.accepts_weak_resume());
  advance(500ms);
  EXPECT_TRUE(gate.accepts_weak_resume());
}

TEST_F(PlaybackGateTest, ExplicitResumeClearsAtOnce) {
  auto gate = make_gate();
  gate.set_paused(true);
  gate.set_paused(false);
  EXPECT_FALSE(gate.blocked());
  EXPECT_FALSE(gate.resume_grace_until());
  gate.set_paused(true);
  ASSERT_TRUE(gate.resume_grace_until());
  EXPECT_EQ(*gate.resume_grace_until(), clock_->now() + 1500ms);
}

TEST_F(PlaybackGateTest, OutputSuspensionKeepsTheGateBlocked) {
  suspended_->store(true);
  auto gate = make_gate();
  EXPECT_TRUE(gate.blocked());
  gate.set_paused(false);
  EXPECT_TRUE(gate.blocked());
  EXPECT_FALSE(gate.accepts_weak_resume());
}

TEST_F(PlaybackGateTest, CopiesShareCellsAndNewGatesDoNot) {
  auto gate = make_gate();
  const PlaybackGate copy = gate;
  auto blocked = gate.blocked_cell();
  copy.set_paused(true);
  EXPECT_TRUE(blocked->load());
  auto later = make_gate();
  EXPECT_FALSE(later.blocked());
  EXPECT_FALSE(later.shares_cells_with(gate));
  EXPECT_TRUE(copy.shares_cells_with(gate));
}

TEST_F(PlaybackGateTest, ConcurrentWeakResumesClearOnePauseOnce) {
  for (int round = 0; round < 200; ++round) {
    auto gate = make_gate();
    gate.set_paused(true);
    advance(2s);
    std::atomic<int> go{0};
    std::vector<int> results(4, -1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        go.fetch_add(1);
        while (go.load() < 4) {
        }
        results[static_cast<std::size_t>(t)] = gate.accepts_weak_resume() ? 1 : 0;
      });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(gate.blocked());
    EXPECT_FALSE(gate.remote_paused());
    // At least one caller saw the pause cleared (by itself or before it looked).
    EXPECT_GE(std::count(results.begin(), results.end(), 1), 1);
  }
}

}  // namespace
}  // namespace sonvale
