#include "core/thread.h"

#include <pthread.h>

#include <atomic>
#include <stdexcept>

#include <gtest/gtest.h>

namespace sonvale {
namespace {

std::string current_name() {
  char buf[64] = {};
  pthread_getname_np(pthread_self(), buf, sizeof buf);
  return buf;
}

TEST(SpawnNamedTest, NamesAreCutToFifteenBytes) {
  struct Case {
    std::string requested;
    std::string seen;
  };
  const Case cases[] = {
      {"sonvale-rtsp", "sonvale-rtsp"},
      {"sonvale-control-listener", "sonvale-control"},
      {"sonvale-control-writer-12", "sonvale-control"},
      {"sonvale-clock-sync", "sonvale-clock-s"},
  };
  for (const auto& c : cases) {
    std::string seen;
    auto t = spawn_named(c.requested, [&] { seen = current_name(); });
    ASSERT_TRUE(t);
    t->join();
    EXPECT_EQ(seen, c.seen);
  }
}

TEST(SpawnNamedTest, AnExceptionEndsOnlyTheThread) {
  std::atomic<bool> ran{false};
  auto t = spawn_named("thrower", [&] {
    ran = true;
    throw std::runtime_error("boom");
  });
  ASSERT_TRUE(t);
  t->join();
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace sonvale
