#include "media/rtsp/rtsp_transport.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "core/net.h"
#include "media/media_error.h"
#include "support/socket_pair.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

// The session's end of an RTSP connection with the 50 ms read time-out of a session, the
// phone's end, and the session's generation.
class RtspReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto pair = testing::socket_pair();
    session_ = std::move(pair.ours);
    phone_ = std::move(pair.theirs);
    ASSERT_TRUE(set_recv_timeout(session_.get(), 50ms));
  }

  void send(std::string_view text) { ASSERT_TRUE(write_all(phone_.get(), as_bytes(text))); }

  // Bytes the phone sent that the session has not read.
  std::size_t unread() const {
    std::array<char, 256> buf{};
    const ssize_t n = ::recv(session_.get(), buf.data(), buf.size(), MSG_PEEK | MSG_DONTWAIT);
    return n < 0 ? 0 : static_cast<std::size_t>(n);
  }

  Fd session_;
  Fd phone_;
  std::atomic<std::uint64_t> counter_{5};
  RtspReader reader_{5, counter_};
};

TEST_F(RtspReaderTest, MessageSplitOverReadsIsFramedOnceComplete) {
  send("OPTIONS * RTSP/1.0\r\nCSe");
  auto first = reader_.next_message(session_.get());
  ASSERT_TRUE(first) << first.error().to_string();
  EXPECT_FALSE(*first);  // timed out with half a message, which is kept
  send("q: 5\r\n\r\nGET_PARAMETER x RTSP/1.0\r\n\r\n");
  for (const char* start_line : {"OPTIONS * RTSP/1.0", "GET_PARAMETER x RTSP/1.0"}) {
    auto r = reader_.next_message(session_.get());
    ASSERT_TRUE(r) << r.error().to_string();
    ASSERT_TRUE(*r);
    EXPECT_EQ((*r)->start_line, start_line);
  }
  phone_.reset();
  auto closed = reader_.next_message(session_.get());
  ASSERT_FALSE(closed);
  ASSERT_NE(remote_closed_details(closed.error()), nullptr);
  EXPECT_EQ(closed.error().to_string(), "ZeDidi rtsp source closed the channel after 0/0 bytes");
}

TEST_F(RtspReaderTest, RetiredGenerationReadsNothingMore) {
  send("OPTIONS * RTSP/1.0\r\nCSe");
  ASSERT_TRUE(reader_.next_message(session_.get()));
  counter_.store(6);
  send("q: 5\r\n\r\n");
  auto r = reader_.next_message(session_.get());
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_FALSE(*r);
  EXPECT_EQ(unread(), 8u);
}

TEST_F(RtspReaderTest, TricklingSourceCannotHoldARetiredSession) {
  // One byte every 2 ms for 3 s, never a whole header: every read returns data in time.
  std::thread trickle([fd = phone_.get()] {
    for (int i = 0; i < 1500; ++i) {
      if (!write_all(fd, as_bytes(std::string_view("X")))) return;
      std::this_thread::sleep_for(2ms);
    }
  });
  std::thread retire([this] {
    std::this_thread::sleep_for(100ms);
    counter_.store(6);
  });
  const auto start = std::chrono::steady_clock::now();
  bool failed = false;
  while (counter_.load() == 5 && !failed) failed = !reader_.next_message(session_.get());
  auto r = reader_.next_message(session_.get());
  const auto took = std::chrono::steady_clock::now() - start;
  shutdown_both(phone_.get());  // ends the trickle
  retire.join();
  trickle.join();
  EXPECT_FALSE(failed);
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_FALSE(*r);
  EXPECT_LT(took, 1s);
}

TEST(WriteRtspTest, AWriteToASourceThatDoesNotReadIsGivenUpOnceTheSessionIsRetired) {
  auto [session, phone] = testing::socket_pair();  // the phone never reads
  auto counter = std::make_shared<std::atomic<std::uint64_t>>(5);
  const SessionToken token(counter, 5);
  // What the socket takes before the write blocks goes out; the rest waits for room.
  const std::string text(8 * 1024 * 1024, 'r');
  std::thread retire([&counter] {
    std::this_thread::sleep_for(100ms);
    counter->store(6);
  });
  const auto start = std::chrono::steady_clock::now();
  auto r = write_rtsp(session.get(), text, token);
  const auto took = std::chrono::steady_clock::now() - start;
  retire.join();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().os_code(), ECANCELED);
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, 1s);
}

TEST(WriteRtspTest, ACurrentSessionWritesWholeTextsAndFailsOnAClosedConnection) {
  auto [session, phone] = testing::socket_pair();
  const SessionToken token(std::make_shared<std::atomic<std::uint64_t>>(1), 1);
  const std::string text(256 * 1024, 'w');
  std::string got;
  std::thread reader([&got, fd = phone.get()] {
    std::array<std::uint8_t, 4096> buf{};
    while (got.size() < 256 * 1024) {
      auto n = read_some(fd, buf);
      if (!n || *n == 0) return;
      got.append(reinterpret_cast<const char*>(buf.data()), *n);
    }
  });
  ASSERT_TRUE(write_rtsp(session.get(), text, token));
  reader.join();
  EXPECT_EQ(got, text);
  phone.reset();
  EXPECT_EQ(write_rtsp(session.get(), "OPTIONS", token).error().io_kind(), IoKind::kBrokenPipe);
}

}  // namespace
}  // namespace sonvale
