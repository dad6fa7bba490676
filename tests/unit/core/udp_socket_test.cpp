#include "core/udp_socket.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/fake_datagram_socket.h"

namespace sonvale {
namespace {

using namespace std::chrono_literals;

TEST(UdpSocketTest, ReceiveDetectsTruncation) {
  auto rx = UdpSocket::bound(SocketAddr(SocketAddrV4{Ipv4::loopback(), 0}));
  ASSERT_TRUE(rx);
  auto addr = rx->local_address();
  ASSERT_TRUE(addr);
  auto tx = UdpSocket::bound(SocketAddr(SocketAddrV4{Ipv4::loopback(), 0}));
  ASSERT_TRUE(tx);
  ASSERT_TRUE(tx->send_to(Bytes(41, 7), *addr));
  Bytes buf(40);
  auto d = rx->receive(buf);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->size, 40u);
  EXPECT_GT(d->wire_size, 40u);
}

TEST(UdpSocketTest, ReportsBytesReceivedAndTheDestinationAddress) {
  auto rx = UdpSocket::open(AF_INET);
  ASSERT_TRUE(rx);
  ASSERT_TRUE(rx->bind(SocketAddr(SocketAddrV4{Ipv4::loopback(), 0})));
  ASSERT_TRUE(rx->set_option(IPPROTO_IP, IP_PKTINFO, 1));
  ASSERT_TRUE(rx->set_recv_timeout(std::chrono::milliseconds(500)));
  const auto to = rx->local_address();
  ASSERT_TRUE(to);
  auto tx = UdpSocket::open(AF_INET);
  ASSERT_TRUE(tx);
  for (std::size_t n : {0u, 5u, 41u}) {
    ASSERT_TRUE(tx->send_to(Bytes(n, 7), *to));
    Bytes buf(40, 0);
    const auto got = rx->receive(buf);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->size, std::min<std::size_t>(n, 40));  // never the datagram's full length
    EXPECT_EQ(got->destination, Ipv4::loopback());
    EXPECT_TRUE(got->from.as_v4() && got->from.as_v4()->ip == Ipv4::loopback());
  }
  Bytes buf(8);
  const auto timed_out = rx->receive(buf);
  ASSERT_FALSE(timed_out);
  EXPECT_EQ(timed_out.error().io_kind(), IoKind::kWouldBlock);
}

int option_value(const UdpSocket& s, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(::getsockopt(s.fd(), level, name, &value, &len), 0);
  return value;
}

TEST(UdpSocketTest, OptionsStopAtTheFirstFailureWithItsContext) {
  auto s = UdpSocket::open(AF_INET);
  ASSERT_TRUE(s);
  const auto r = s->set_options({
      {SOL_SOCKET, SO_BROADCAST, 1, "enable broadcast"},
      {SOL_SOCKET, -1, 1, "set an option no socket has"},
      {SOL_SOCKET, SO_REUSEADDR, 1, "enable reuse"},
  });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "set an option no socket has: " + os_error_text(ENOPROTOOPT));
  EXPECT_EQ(r.error().os_code(), ENOPROTOOPT);
  EXPECT_NE(option_value(*s, SOL_SOCKET, SO_BROADCAST), 0);
  EXPECT_EQ(option_value(*s, SOL_SOCKET, SO_REUSEADDR), 0);

  ASSERT_TRUE(s->set_options({{SOL_SOCKET, SO_REUSEADDR, 1, "enable reuse"}}));
  EXPECT_NE(option_value(*s, SOL_SOCKET, SO_REUSEADDR), 0);
}

// What one turn of a receive loop makes of a failed receive: the time-out and an interruption go
// round again silently, anything else is reported once.
struct ReceiveFailureCase {
  const char* name;
  int errnum;
  bool reported;
};

class ReceiveOrReportTest : public ::testing::TestWithParam<ReceiveFailureCase> {};

TEST_P(ReceiveOrReportTest, ReportsOnlyRealFailures) {
  testing::FakeDatagramSocket socket;
  socket.queue_error(GetParam().errnum);
  std::vector<std::string> reports;
  Bytes buf(16);
  const auto got = receive_or_report(socket, buf, 0ms,
                                     [&](const Error& e) { reports.push_back(e.to_string()); });
  EXPECT_FALSE(got);
  if (GetParam().reported) {
    EXPECT_EQ(reports, std::vector<std::string>{os_error_text(GetParam().errnum)});
  } else {
    EXPECT_TRUE(reports.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ReceiveOrReportTest,
    ::testing::Values(ReceiveFailureCase{"WouldBlock", EAGAIN, false},
                      ReceiveFailureCase{"TimedOut", ETIMEDOUT, false},
                      ReceiveFailureCase{"Interrupted", EINTR, false},
                      ReceiveFailureCase{"Refused", ECONNREFUSED, true},
                      ReceiveFailureCase{"NetworkDown", ENETDOWN, true}),
    [](const auto& c) { return std::string(c.param.name); });

TEST(ReceiveOrReportTest, HandsOverTheDatagramAndItsSource) {
  testing::FakeDatagramSocket socket;
  const SocketAddrV4 from{Ipv4::from_octets(10, 0, 0, 7), 5353};
  socket.queue(Bytes{1, 2, 3}, from);
  bool reported = false;
  Bytes buf(16);
  const auto got = receive_or_report(socket, buf, 0ms, [&](const Error&) { reported = true; });
  ASSERT_TRUE(got);
  EXPECT_EQ(got->size, 3u);
  EXPECT_EQ(got->from.as_v4(), from);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 3), (Bytes{1, 2, 3}));
  EXPECT_FALSE(reported);
}

}  // namespace
}  // namespace sonvale
