#include "media/generation_read.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "core/net.h"
#include "media/media_error.h"
#include "support/socket_pair.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

class GenerationRead : public ::testing::Test {
 protected:
  void SetUp() override {
    auto pair = testing::socket_pair();
    reader_ = std::move(pair.ours);
    phone_ = std::move(pair.theirs);
    ASSERT_TRUE(set_recv_timeout(reader_.get(), 20ms));
  }
  void send(std::string_view bytes) { ASSERT_TRUE(write_all(phone_.get(), as_bytes(bytes))); }

  Fd reader_;
  Fd phone_;
  std::atomic<std::uint64_t> counter_{7};
};

TEST_F(GenerationRead, FillsAcrossSeveralReadsAndTimeouts) {
  std::array<std::uint8_t, 6> buf{};
  std::thread writer([&] {
    send("ab");
    std::this_thread::sleep_for(60ms);  // longer than the read time-out: a heartbeat in between
    send("cdef");
  });
  auto r = read_exact_for_generation(reader_.get(), buf, 7, counter_);
  writer.join();
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_TRUE(*r);
  EXPECT_EQ(as_text(buf), "abcdef");
}

TEST_F(GenerationRead, EmptyBufferIsFilledWithoutGenerationCheck) {
  counter_ = 8;
  auto r = read_exact_for_generation(reader_.get(), std::span<std::uint8_t>(), 7, counter_);
  ASSERT_TRUE(r);
  EXPECT_TRUE(*r);
}

TEST_F(GenerationRead, MovedGenerationReadsNothingMore) {
  send("abcd");
  counter_ = 8;
  std::array<std::uint8_t, 4> buf{};
  auto r = read_exact_for_generation(reader_.get(), buf, 7, counter_);
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  // The bytes are still in the socket: nothing was read.
  counter_ = 7;
  ASSERT_TRUE(read_exact_for_generation(reader_.get(), buf, 7, counter_).value());
  EXPECT_EQ(as_text(buf), "abcd");
}

TEST_F(GenerationRead, GenerationChangeWhileIdleIsSeenWithinATimeout) {
  std::array<std::uint8_t, 4> buf{};
  std::thread advance([&] {
    std::this_thread::sleep_for(50ms);
    counter_ = 8;
  });
  const auto t0 = std::chrono::steady_clock::now();
  auto r = read_exact_for_generation(reader_.get(), buf, 7, counter_);
  advance.join();
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
}

TEST_F(GenerationRead, CloseMidHeaderIsRemoteChannelClosedWithCounts) {
  send("ab");
  phone_.reset();
  std::array<std::uint8_t, 4> buf{};
  auto r = read_exact_for_generation(reader_.get(), buf, 7, counter_);
  ASSERT_FALSE(r);
  const RemoteChannelClosed* closed = remote_closed_details(r.error());
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(closed->channel, "audio");
  EXPECT_EQ(closed->bytes_read, 2u);
  EXPECT_EQ(closed->bytes_expected, 4u);
}

TEST(GenerationReadTcp, ResetCarriesReadContext) {
  auto listener = tcp_listen({Ipv4::loopback(), 0}, 1, false);
  ASSERT_TRUE(listener);
  auto addr = local_address(listener->get());
  ASSERT_TRUE(addr);
  auto client = tcp_connect(*addr);
  ASSERT_TRUE(client);
  auto server = accept_connection(listener->get());
  ASSERT_TRUE(server);
  // Closing with SO_LINGER 0 sends a reset.
  linger lg{1, 0};
  ASSERT_EQ(::setsockopt(server->fd.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
  server->fd.reset();
  std::atomic<std::uint64_t> counter{1};
  std::array<std::uint8_t, 4> buf{};
  auto r = read_exact_for_generation(client->get(), buf, 1, counter);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().io_kind(), IoKind::kConnectionReset);
  EXPECT_EQ(r.error().to_string().rfind("read ZeDidi media stream: ", 0), 0u);
}

void on_signal(int) {}

TEST_F(GenerationRead, InterruptedReadsAreRetried) {
  struct sigaction sa {};
  sa.sa_handler = on_signal;  // no SA_RESTART: a blocked recv fails with EINTR
  struct sigaction old {};
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
  ASSERT_TRUE(set_recv_timeout(reader_.get(), 0us));  // no time-out: only the signal wakes it

  std::array<std::uint8_t, 4> buf{};
  std::atomic<bool> started{false};
  Result<bool> result = false;
  std::thread reader([&] {
    started = true;
    result = read_exact_for_generation(reader_.get(), buf, 7, counter_);
  });
  while (!started) std::this_thread::yield();
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(10ms);
    ::pthread_kill(reader.native_handle(), SIGUSR1);
  }
  send("wxyz");
  reader.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  ASSERT_TRUE(result) << result.error().to_string();
  EXPECT_TRUE(*result);
  EXPECT_EQ(as_text(buf), "wxyz");
}

}  // namespace
}  // namespace sonvale
