#include "core/net.h"
#include "support/socket_pair.h"

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

TEST(SocketTest, ReadExactReportsEndOfStreamAsUnexpectedEof) {
  auto [a, b] = testing::socket_pair();
  const Bytes two = {1, 2};
  ASSERT_TRUE(write_all(b.get(), two));
  b.reset();
  Bytes buf(4);
  auto r = read_exact(a.get(), buf);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().io_kind(), IoKind::kUnexpectedEof);
}

TEST(SocketTest, WriteToClosedPeerFailsWithoutSignal) {
  auto [a, b] = testing::socket_pair();
  b.reset();
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
