#include "media/generation_read.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "core/net.h"
#include "media/media_error.h"
#include "support/socket_pair.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;
using namespace std::string_view_literals;

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

// The block reader: the same outcomes per piece as read_exact_for_generation, fewer read calls.
class GenerationReaderTest : public GenerationRead {
 protected:
  GenerationReader make_reader() {
    return GenerationReader(reader_.get(), 7, counter_, [this] { ++reads_announced_; });
  }
  static std::string text(const Result<std::optional<ByteSpan>>& piece) {
    EXPECT_TRUE(piece) << piece.error().to_string();
    EXPECT_TRUE(piece && *piece);
    return piece && *piece ? std::string(as_text(**piece)) : std::string();
  }
  int reads_announced_ = 0;
};

TEST_F(GenerationReaderTest, PiecesOfOneWriteTakeOneReadAndLaterOnesWaitAcrossTimeouts) {
  GenerationReader input = make_reader();
  send("$abcdefghi");
  EXPECT_EQ(text(input.next(1)), "$");
  EXPECT_EQ(text(input.next(4)), "abcd");
  EXPECT_EQ(text(input.next(5)), "efghi");
  EXPECT_EQ(reads_announced_, 1);

  std::thread writer([&] {
    send("jk");
    std::this_thread::sleep_for(60ms);  // longer than the read time-out: a heartbeat in between
    send("lmno");
  });
  EXPECT_EQ(text(input.next(6)), "jklmno");
  writer.join();
  EXPECT_GE(reads_announced_, 3);  // a read for "jk", at least one time-out, one for "lmno"
}

TEST_F(GenerationReaderTest, PiecesStraddlingBlockEndsAndLargerThanABlockComeWhole) {
  // Pieces of a frame stream (4-byte header, then a body) whose boundaries fall anywhere in the
  // blocks the reader reads, and one piece longer than a whole block.
  const std::size_t bodies[] = {1500, 12, 65535, 1, 999, GenerationReader::kBlockBytes + 100, 7};
  Bytes stream;
  for (std::size_t b = 0; b < 40; ++b) {
    const std::size_t body = bodies[b % std::size(bodies)];
    for (std::size_t i = 0; i < 4 + body; ++i) {
      stream.push_back(static_cast<std::uint8_t>(b * 31 + i * 7 + (i >> 9)));
    }
  }
  std::thread writer([&] { ASSERT_TRUE(write_all(phone_.get(), stream)); });
  GenerationReader input = make_reader();
  std::size_t pos = 0;
  for (std::size_t b = 0; b < 40; ++b) {
    for (const std::size_t n : {std::size_t{4}, bodies[b % std::size(bodies)]}) {
      auto piece = input.next(n);
      ASSERT_TRUE(piece && *piece) << "piece at " << pos;
      ASSERT_EQ((*piece)->size(), n);
      ASSERT_TRUE(std::equal((*piece)->begin(), (*piece)->end(),
                             stream.begin() + static_cast<std::ptrdiff_t>(pos)))
          << "piece at " << pos;
      pos += n;
    }
  }
  writer.join();
  EXPECT_EQ(pos, stream.size());
}

TEST_F(GenerationReaderTest, MovedGenerationHandsOutNothingMoreEvenWhenBuffered) {
  GenerationReader input = make_reader();
  send("abcdefgh");
  EXPECT_EQ(text(input.next(4)), "abcd");  // reads all eight bytes
  counter_ = 8;
  const int reads = reads_announced_;
  auto buffered = input.next(4);
  ASSERT_TRUE(buffered);
  EXPECT_FALSE(*buffered);
  auto more = input.next(8);
  ASSERT_TRUE(more);
  EXPECT_FALSE(*more);
  EXPECT_EQ(reads_announced_, reads) << "read after the generation moved on";
  // A piece of no bytes is handed out without a check, as an empty buffer is filled.
  auto empty = input.next(0);
  ASSERT_TRUE(empty && *empty);
  EXPECT_TRUE((*empty)->empty());
}

struct CloseCase {
  const char* name;
  std::string_view sent;  // all the phone sends before it closes
  std::size_t first;      // a piece taken whole first (0: none)
  std::size_t asked;      // the piece the close cuts short
  std::size_t read;       // its bytes that had come
};

class GenerationReaderClose : public GenerationReaderTest,
                              public ::testing::WithParamInterface<CloseCase> {};

TEST_P(GenerationReaderClose, CountsTheBytesOfThePieceCutShort) {
  const CloseCase& c = GetParam();
  GenerationReader input = make_reader();
  if (!c.sent.empty()) send(c.sent);
  phone_.reset();
  if (c.first > 0) {
    ASSERT_EQ(text(input.next(c.first)), c.sent.substr(0, c.first));
  }
  auto r = input.next(c.asked);
  ASSERT_FALSE(r);
  const RemoteChannelClosed* closed = remote_closed_details(r.error());
  ASSERT_NE(closed, nullptr) << r.error().to_string();
  EXPECT_EQ(closed->channel, "audio");
  EXPECT_EQ(closed->bytes_read, c.read);
  EXPECT_EQ(closed->bytes_expected, c.asked);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, GenerationReaderClose,
    ::testing::Values(CloseCase{"NothingCame", ""sv, 0, 4, 0},
                      CloseCase{"TwoOfAFourByteHeader", "$\x00"sv, 0, 4, 2},
                      CloseCase{"BodyAfterAWholeHeader", "$\x00\x00\x0c" "abc"sv, 4, 12, 3},
                      CloseCase{"RightAfterAWholePiece", "$\x00\x00\x0c"sv, 4, 12, 0}),
    [](const ::testing::TestParamInfo<CloseCase>& param_info) {
      return std::string(param_info.param.name);
    });

}  // namespace
}  // namespace sonvale
