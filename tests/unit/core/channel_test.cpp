#include "core/channel.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace sonvale {
namespace {

TEST(ChannelTest, SendFailsOnceTheReceiverIsGone) {
  auto [tx, rx] = make_channel<int>();
  ASSERT_TRUE(tx.send(1));
  rx.close();
  auto r = tx.send(2);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "sending on a closed channel");
  EXPECT_EQ(r.error().kind(), ErrorKind::kClosedChannel);
}

std::size_t length_of(const std::string& s) { return s.size(); }

TEST(BoundedChannelTest, HoldsUpToItsBoundAndRefusesTheValueThatPassesIt) {
  struct Case {
    std::size_t second;  // cost of the second value after one of 4, bound 10
    bool fits;
  };
  for (const Case c : {Case{5, true}, Case{6, true}, Case{7, false}}) {
    auto [tx, rx] = make_bounded_channel<std::string>(10, &length_of);
    ASSERT_TRUE(tx.send("aaaa"));
    auto r = tx.send(std::string(c.second, 'b'));
    EXPECT_EQ(r.has_value(), c.fits) << c.second;
    if (!c.fits) {
      EXPECT_EQ(r.error().kind(), ErrorKind::kChannelFull);
      EXPECT_EQ(r.error().to_string(), "sending on a full channel");
    }
  }
}

TEST(BoundedChannelTest, TakenValuesMakeRoomUntilTheFirstRefusal) {
  auto [tx, rx] = make_bounded_channel<std::string>(10, &length_of);
  ASSERT_TRUE(tx.send(std::string(6, 'a')));
  ASSERT_TRUE(tx.send(std::string(4, 'b')));
  EXPECT_EQ(rx.recv(), std::string(6, 'a'));
  ASSERT_TRUE(tx.send(std::string(6, 'c')));  // the taken value's room is free again
  ASSERT_FALSE(tx.send("d"));
  EXPECT_EQ(rx.recv(), std::string(4, 'b'));
  EXPECT_EQ(rx.recv(), std::string(6, 'c'));
  // Once refused, the channel stays full: its consumer has fallen too far behind.
  EXPECT_EQ(tx.send("e").error().kind(), ErrorKind::kChannelFull);
  EXPECT_EQ(rx.try_recv(), std::nullopt);
}

TEST(ChannelTest, ReceiverDrainsQueueThenSeesEndWhenLastSenderGoes) {
  auto [tx, rx] = make_channel<int>();
  {
    Sender<int> copy = tx;
    ASSERT_TRUE(copy.send(1));
  }
  ASSERT_TRUE(tx.send(2));
  tx = Sender<int>();  // the last live sender goes
  EXPECT_EQ(rx.recv(), 1);
  EXPECT_EQ(rx.recv(), 2);
  EXPECT_EQ(rx.recv(), std::nullopt);
}

TEST(ChannelTest, TimedReceiveTellsTimeoutFromEnd) {
  auto [tx, rx] = make_channel<int>();
  bool timed_out = false;
  EXPECT_EQ(rx.recv_for(std::chrono::milliseconds(10), &timed_out), std::nullopt);
  EXPECT_TRUE(timed_out);
  tx = Sender<int>();
  EXPECT_EQ(rx.recv_for(std::chrono::seconds(5), &timed_out), std::nullopt);
  EXPECT_FALSE(timed_out);
}

TEST(ChannelTest, ManyProducersLoseNothingAndKeepPerSenderOrder) {
  auto [tx, rx] = make_channel<std::pair<int, int>>();
  constexpr int kThreads = 4;
  constexpr int kEach = 2000;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t) {
    producers.emplace_back([t, s = tx] {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(s.send({t, i}));
    });
  }
  tx = {};
  std::vector<int> next(kThreads, 0);
  int total = 0;
  while (auto v = rx.recv()) {
    EXPECT_EQ(v->second, next[static_cast<std::size_t>(v->first)]++);
    ++total;
  }
  for (auto& p : producers) p.join();
  EXPECT_EQ(total, kThreads * kEach);
}

}  // namespace
}  // namespace sonvale
