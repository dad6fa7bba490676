#include "media/session_context.h"

#include <atomic>
#include <memory>

#include <gtest/gtest.h>

#include "support/fake_clock.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

// The configuration's clock is the one every session measures on: moving it moves the session's
// presentation clock, which stamps and maps the same instants the reader stamps on it.
TEST(SessionSharedTest, PresentationClockRunsOnTheConfigurationsClock) {
  const auto clock = testing::make_fake_clock();
  const auto config = MediaConfig::resolve("stream:1", nullptr, clock);
  const SessionShared shared = SessionShared::create(
      PlaybackGate::with_output_suspension(std::make_shared<std::atomic<bool>>(false), clock),
      std::make_shared<std::atomic<std::uint32_t>>(100), config->clock, EventSink());
  EXPECT_EQ(shared.presentation->local_now_us(), 0);
  clock->advance(2500us);
  EXPECT_EQ(shared.presentation->local_now_us(), 2500);
  clock->advance(3s);
  EXPECT_EQ(shared.presentation->local_now_us(), 3'002'500);
}

}  // namespace
}  // namespace sonvale
