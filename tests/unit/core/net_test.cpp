#include "core/net.h"

#include <netinet/tcp.h>
#include <sys/socket.h>

#include <thread>

#include <gtest/gtest.h>

namespace sonvale {
namespace {

TEST(Ipv4ParseTest, StrictDottedDecimal) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"127.0.0.1", true},   {"0.0.0.0", true},     {"255.255.255.255", true},
      {"10.0.0.256", false}, {"010.0.0.5", false},  {" 10.0.0.5", false},
      {"10.0.0.5 ", false},  {"10.0.0", false},     {"10.0.0.5.6", false},
      {"10..0.5", false},    {"+1.0.0.5", false},   {"1.0.0.0005", false},
      {"", false},           {"a.b.c.d", false},    {"1.2.3.4\n", false},
  };
  for (const auto& c : cases) EXPECT_EQ(Ipv4::parse(c.text).has_value(), c.ok) << c.text;
  EXPECT_EQ(Ipv4::parse("192.168.1.23")->to_string(), "192.168.1.23");
  EXPECT_EQ(Ipv4::parse("192.168.1.23")->value, 0xc0a80117u);
}

TEST(SocketTest, KeepaliveSettingsReachTheSocket) {
  auto listener = tcp_listen(SocketAddrV4{Ipv4::loopback(), 0}, 1, true);
  ASSERT_TRUE(listener);
  auto conn = tcp_connect(*local_address(listener->get()));
  ASSERT_TRUE(conn);
  ASSERT_TRUE(set_tcp_keepalive(conn->get(), std::chrono::seconds(60), std::chrono::seconds(10), 6));
  auto option = [&](int level, int name) {
    int v = 0;
    socklen_t len = sizeof v;
    EXPECT_EQ(::getsockopt(conn->get(), level, name, &v, &len), 0);
    return v;
  };
  EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 60);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 6);
}

TEST(SocketTest, ReadExactReportsEndOfStreamAsUnexpectedEof) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Fd a(sv[0]);
  Fd b(sv[1]);
  const Bytes two = {1, 2};
  ASSERT_TRUE(write_all(b.get(), two));
  b.reset();
  Bytes buf(4);
  auto r = read_exact(a.get(), buf);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().io_kind(), IoKind::kUnexpectedEof);
}

TEST(SocketTest, WriteToClosedPeerFailsWithoutSignal) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  Fd a(sv[0]);
  Fd(sv[1]).reset();
  const Bytes data(1024, 0);
  auto r = write_all(a.get(), data);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().io_kind(), IoKind::kBrokenPipe);
}

TEST(SocketTest, UdpReceiveDetectsTruncation) {
  auto rx = udp_bind({Ipv4::loopback(), 0});
  ASSERT_TRUE(rx);
  auto addr = local_address(rx->get());
  ASSERT_TRUE(addr);
  auto tx = udp_bind({Ipv4::loopback(), 0});
  ASSERT_TRUE(tx);
  ASSERT_TRUE(udp_send_to(tx->get(), Bytes(41, 7), *addr));
  Bytes buf(40);
  auto d = udp_recv_from(rx->get(), buf);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->size, 40u);
  EXPECT_GT(d->wire_size, 40u);
}

}  // namespace
}  // namespace sonvale
