#include "core/clock.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/fake_clock.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

TEST(SystemClockTest, IsOneObjectAndMovesForward) {
  const auto& clock = system_clock();
  ASSERT_NE(clock, nullptr);
  EXPECT_EQ(clock.get(), system_clock().get());
  const auto a = clock->now();
  const auto b = clock->now();
  EXPECT_LE(a, b);
  const auto wall = clock->wall_now();
  EXPECT_LT(std::chrono::abs(wall - std::chrono::system_clock::now()), 5s);
}

TEST(FakeClockTest, BothReadingsAdvanceTogetherOnlyWhenTold) {
  testing::FakeClock clock;
  const auto t0 = clock.now();
  const auto w0 = clock.wall_now();
  EXPECT_EQ(clock.now(), t0);
  clock.advance(1500ms);
  EXPECT_EQ(clock.now() - t0, 1500ms);
  EXPECT_EQ(clock.wall_now() - w0, 1500ms);

  const auto fixed = std::chrono::system_clock::time_point(1'800'000'000s);
  clock.set_wall(fixed);
  EXPECT_EQ(clock.wall_now(), fixed);
  EXPECT_EQ(clock.now() - t0, 1500ms);
  clock.advance(2s);
  EXPECT_EQ(clock.wall_now(), fixed + 2s);
}

}  // namespace
}  // namespace sonvale
