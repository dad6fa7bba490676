#include "media/clock/presentation_clock.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/fake_clock.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

// Each test's clocks run on a time of its own, which only the test moves.
class PresentationClockTest : public ::testing::Test {
 protected:
  void advance(std::chrono::nanoseconds d) { time_->advance(d); }
  std::shared_ptr<testing::FakeClock> time_ = testing::make_fake_clock();
};

ClockEstimate estimate_at(std::int64_t anchor, double offset, double rate = 1.0) {
  ClockEstimate e;
  e.anchor_local_us = anchor;
  e.offset_us = offset;
  e.rate = rate;
  return e;
}

TEST_F(PresentationClockTest, NewClockKnowsNothing) {
  auto clock = ZeDidiPresentationClock::create(time_);
  EXPECT_FALSE(clock->is_synchronized());
  EXPECT_FALSE(clock->synchronized_server_now_micros());
  EXPECT_FALSE(clock->time_offset());
  EXPECT_EQ(clock->local_now_us(), 0);
  advance(1500ns);
  EXPECT_EQ(clock->local_now_us(), 1);  // truncated to whole microseconds
}

TEST_F(PresentationClockTest, TimeOffsetIsIndependentOfTheMapping) {
  auto clock = ZeDidiPresentationClock::create(time_);
  clock->set_time_offset(-20000);
  EXPECT_EQ(clock->time_offset(), -20000);
  EXPECT_FALSE(clock->synchronized_server_now_micros());
  clock->set_time_offset(5000);
  EXPECT_EQ(clock->time_offset(), 5000);
}

TEST_F(PresentationClockTest, FirstUpdateIsTakenWhole) {
  struct Case {
    double offset;
    double rate;
    std::int64_t applied;
    double ppm;
  };
  const Case cases[] = {
      {1234.5, 1.0, 1235, 0.0},
      {-1234.5, 1.0, -1235, 0.0},
      {0.0, 1.0005, 0, 500.0},
  };
  for (const auto& c : cases) {
    auto clock = ZeDidiPresentationClock::create(time_);
    advance(1ms);
    const ClockUpdate u = clock->update_server_clock(estimate_at(clock->local_now_us(), c.offset, c.rate));
    EXPECT_EQ(u.server_minus_local_us, c.applied);
    EXPECT_EQ(u.target_server_minus_local_us, c.applied);
    EXPECT_EQ(u.phase_error_us, c.applied);
    EXPECT_DOUBLE_EQ(u.frequency_ppm, c.ppm);
    EXPECT_TRUE(clock->is_synchronized());
  }
}

TEST_F(PresentationClockTest, LaterUpdatesStepAQuarterClampedToFiveMilliseconds) {
  struct Case {
    std::int64_t phase_error;
    std::int64_t step;
  };
  const Case cases[] = {{30000, 5000}, {-30000, -5000}, {6, 2}, {-6, -2},
                        {2, 1},        {-2, -1},        {1, 0}, {20000, 5000}, {-19999, -5000}};
  for (const auto& c : cases) {
    auto clock = ZeDidiPresentationClock::create(time_);
    clock->update_server_clock(estimate_at(clock->local_now_us(), 100000.0));
    advance(1s);
    const std::int64_t now = clock->local_now_us();
    const ClockUpdate u =
        clock->update_server_clock(estimate_at(now, 100000.0 + static_cast<double>(c.phase_error)));
    EXPECT_EQ(u.phase_error_us, c.phase_error);
    EXPECT_EQ(u.server_minus_local_us, 100000 + c.step) << c.phase_error;
    EXPECT_EQ(*clock->synchronized_server_now_micros(), now + 100000 + c.step);
  }
}

TEST_F(PresentationClockTest, FrequencyClosesAQuarterOfItsGap) {
  auto clock = ZeDidiPresentationClock::create(time_);
  clock->update_server_clock(estimate_at(0, 0.0, 1.0));
  const double rate = 1.0 + 1000e-9;  // 1000 ppb
  ClockUpdate u = clock->update_server_clock(estimate_at(clock->local_now_us(), 0.0, rate));
  EXPECT_DOUBLE_EQ(u.frequency_ppm, 0.25);
  u = clock->update_server_clock(estimate_at(clock->local_now_us(), 0.0, rate));
  EXPECT_DOUBLE_EQ(u.frequency_ppm, 0.438);  // 250 + 187.5 rounded up
}

TEST_F(PresentationClockTest, TargetIsExtrapolatedFromTheEstimateAnchor) {
  auto clock = ZeDidiPresentationClock::create(time_);
  advance(10s);
  const ClockUpdate u = clock->update_server_clock(estimate_at(0, 500.0, 1.0001));
  EXPECT_EQ(u.target_server_minus_local_us, 1500);
}

TEST_F(PresentationClockTest, DriftAppliesFromTheAnchor) {
  struct Case {
    double rate;
    std::int64_t extra_after_2s;
  };
  const Case cases[] = {{1.0005, 1000}, {1.000001, 2}, {0.9995, -1000}};
  for (const auto& c : cases) {
    auto clock = ZeDidiPresentationClock::create(time_);
    clock->update_server_clock(estimate_at(clock->local_now_us(), 700.0, c.rate));
    const std::int64_t anchor = clock->local_now_us();
    advance(2s);
    EXPECT_EQ(*clock->synchronized_server_now_micros(), anchor + 2'000'000 + 700 + c.extra_after_2s);
  }
}

TEST_F(PresentationClockTest, NonFiniteEstimatesSaturate) {
  auto clock = ZeDidiPresentationClock::create(time_);
  const ClockUpdate u = clock->update_server_clock(estimate_at(0, std::nan(""), 1.0));
  EXPECT_EQ(u.server_minus_local_us, 0);
  auto clock2 = ZeDidiPresentationClock::create(time_);
  const ClockUpdate v = clock2->update_server_clock(estimate_at(0, 1e300, 1.0));
  EXPECT_EQ(v.server_minus_local_us, std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(*clock2->synchronized_server_now_micros(), std::numeric_limits<std::int64_t>::max());
}

// One writer publishes mappings whose three fields are equal; readers must never see a mix.
TEST(PresentationClockSeqlockTest, ReadersNeverSeeATornMapping) {
  auto clock = ZeDidiPresentationClock::create(system_clock());
  std::atomic<bool> done{false};
  std::atomic<std::int64_t> torn{0};
  std::atomic<std::int64_t> reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!done.load(std::memory_order_relaxed)) {
        const auto m = clock->mapping_for_testing();
        if (m.anchor_local_us != m.server_minus_local_us || m.anchor_local_us != m.frequency_ppb) {
          torn.fetch_add(1);
        }
        reads.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (std::int64_t k = 1; k <= 200000; ++k) {
    clock->publish_for_testing({k, k, k});
  }
  while (reads.load() < 1000) std::this_thread::yield();
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(clock->mapping_for_testing().anchor_local_us, 200000);
}

}  // namespace
}  // namespace sonvale
