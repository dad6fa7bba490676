#include "core/net.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "core/socket_addr.h"
#include "support/socket_pair.h"

namespace sonvale {
namespace {

TEST(Ipv4ParseTest, StrictDottedDecimal) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"127.0.0.1", true},   {"0.0.0.0", true},    {"255.255.255.255", true}, {"10.0.0.256", false},
      {"010.0.0.5", false},  {" 10.0.0.5", false}, {"10.0.0.5 ", false},      {"10.0.0", false},
      {"10.0.0.5.6", false}, {"10..0.5", false},   {"+1.0.0.5", false},       {"1.0.0.0005", false},
      {"", false},           {"a.b.c.d", false},   {"1.2.3.4\n", false},
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

TEST(SocketTest, ReadSomeByGivesUpAtItsDeadline) {
  auto [a, b] = testing::socket_pair();
  Bytes buf(4);
  const auto start = std::chrono::steady_clock::now();
  auto r = read_some_by(a.get(), buf, start + std::chrono::milliseconds(100));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().io_kind(), IoKind::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  // What has arrived is read at once, whatever the deadline.
  ASSERT_TRUE(write_all(b.get(), Bytes{7, 8}));
  EXPECT_EQ(*read_some_by(a.get(), buf, std::chrono::steady_clock::now()), 2u);
}

TEST(SocketTest, WriteAllByFailsAtItsDeadlineOrOnceAbandoned) {
  const Bytes big(8 * 1024 * 1024, 1);  // far more than the socket holds; the peer never reads
  struct Case {
    const char* name;
    std::chrono::milliseconds deadline;
    std::chrono::milliseconds abandon_after;  // 0: never
    int error;
  };
  const Case cases[] = {
      {"deadline", std::chrono::milliseconds(150), std::chrono::milliseconds(0), EAGAIN},
      {"abandoned", std::chrono::milliseconds(5000), std::chrono::milliseconds(150), ECANCELED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto [a, b] = testing::socket_pair();
    const auto start = std::chrono::steady_clock::now();
    std::function<bool()> abandoned;
    if (c.abandon_after.count() > 0) {
      abandoned = [&] { return std::chrono::steady_clock::now() - start >= c.abandon_after; };
    }
    auto r = write_all_by(a.get(), big, start + c.deadline, abandoned);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().os_code(), c.error);
    EXPECT_GE(took, std::chrono::milliseconds(150));
    EXPECT_LT(took, std::chrono::milliseconds(900));
  }
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


// One getifaddrs entry as glibc fills it: ifa_broadaddr is set also for interfaces that have no
// broadcast address (loopback, a /32, an alias added without "brd").
struct IfaddrsCase {
  const char* title;
  const char* name;
  unsigned flags;
  const char* address;
  const char* mask;
  const char* broadaddr;  // what glibc put in ifa_broadaddr (nullptr: none)
  const char* broadcast;  // expected: nullptr for none
};

class IfaddrsTest : public ::testing::TestWithParam<IfaddrsCase> {};

sockaddr_in sin_of(const char* text) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, text, &sa.sin_addr);
  return sa;
}

TEST_P(IfaddrsTest, BroadcastOnlyWhenTheInterfaceHasOne) {
  const auto& c = GetParam();
  sockaddr_in addr = sin_of(c.address);
  sockaddr_in mask = sin_of(c.mask);
  sockaddr_in brd = c.broadaddr ? sin_of(c.broadaddr) : sockaddr_in{};
  ifaddrs entry{};
  entry.ifa_name = const_cast<char*>(c.name);
  entry.ifa_flags = c.flags;
  entry.ifa_addr = reinterpret_cast<sockaddr*>(&addr);
  entry.ifa_netmask = reinterpret_cast<sockaddr*>(&mask);
  entry.ifa_broadaddr = c.broadaddr ? reinterpret_cast<sockaddr*>(&brd) : nullptr;
  const auto got = interface_address_from_ifaddrs(entry);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->name, c.name);
  EXPECT_EQ(got->v4.to_string(), c.address);
  EXPECT_EQ(got->netmask->to_string(), c.mask);
  EXPECT_EQ(got->broadcast ? got->broadcast->to_string() : "none",
            c.broadcast ? c.broadcast : "none");
}

INSTANTIATE_TEST_SUITE_P(
    Entries, IfaddrsTest,
    ::testing::Values(IfaddrsCase{"ethernet", "eth0", IFF_UP | IFF_BROADCAST | IFF_MULTICAST,
                                  "192.168.1.23", "255.255.255.0", "192.168.1.255",
                                  "192.168.1.255"},
                      IfaddrsCase{"loopback", "lo", IFF_UP | IFF_LOOPBACK, "127.0.0.1", "255.0.0.0",
                                  "127.0.0.1", nullptr},
                      IfaddrsCase{"alias_without_brd", "eth0:1", IFF_UP | IFF_BROADCAST, "10.9.0.1",
                                  "255.255.0.0", "10.9.0.1", nullptr},
                      IfaddrsCase{"slash_32", "eth0", IFF_UP | IFF_BROADCAST, "10.1.2.3",
                                  "255.255.255.255", "10.1.2.3", nullptr},
                      IfaddrsCase{"zero_broadcast", "eth0", IFF_UP | IFF_BROADCAST, "10.1.2.3",
                                  "255.0.0.0", "0.0.0.0", nullptr},
                      IfaddrsCase{"point_to_point_peer", "tun0", IFF_UP | IFF_POINTOPOINT,
                                  "10.8.0.2", "255.255.255.255", "10.8.0.1", nullptr},
                      IfaddrsCase{"no_broadaddr", "eth0", IFF_UP | IFF_BROADCAST, "10.1.2.3",
                                  "255.0.0.0", nullptr, nullptr}),
    [](const auto& p) { return std::string(p.param.title); });

TEST(IfaddrsSkipTest, EntriesWithoutAnAddressOrOfOtherFamilies) {
  ifaddrs entry{};
  entry.ifa_name = const_cast<char*>("eth0");
  EXPECT_FALSE(interface_address_from_ifaddrs(entry));
  sockaddr packet{};
  packet.sa_family = AF_PACKET;
  entry.ifa_addr = &packet;
  EXPECT_FALSE(interface_address_from_ifaddrs(entry));
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "fe80::1", &v6.sin6_addr);
  entry.ifa_addr = reinterpret_cast<sockaddr*>(&v6);
  const auto got = interface_address_from_ifaddrs(entry);
  ASSERT_TRUE(got);
  EXPECT_TRUE(got->is_ipv6);
  EXPECT_EQ(ipv6_to_string(got->v6), "fe80::1");
}

TEST(SystemInterfacesTest, LoopbackIsListedAndIndexed) {
  const auto& lister = *system_interfaces();
  const auto list = lister.list();
  ASSERT_TRUE(list);
  bool lo = false;
  for (const auto& e : *list) lo = lo || (!e.is_ipv6 && e.v4 == Ipv4::loopback());
  EXPECT_TRUE(lo);
  EXPECT_NE(lister.index_of("lo"), 0u);
  EXPECT_EQ(lister.index_of(std::string("lo\0x", 4)), 0u);
  EXPECT_EQ(lister.index_of("no-such-interface"), 0u);
}

TEST(SocketAddrTest, Ipv6TextCarriesTheNumericScope) {
  in6_addr a{};
  inet_pton(AF_INET6, "ff02::fb", &a);
  EXPECT_EQ(SocketAddr::v6(a, 5353, 7).to_string(), "[ff02::fb%7]:5353");
  EXPECT_EQ(SocketAddr::v6(a, 5353, 0).to_string(), "[ff02::fb]:5353");
  EXPECT_EQ(SocketAddr(SocketAddrV4{Ipv4::loopback(), 80}).to_string(), "127.0.0.1:80");
  EXPECT_EQ(SocketAddr::v6(a, 1, 2).as_v4(), std::nullopt);
}

}  // namespace
}  // namespace sonvale

namespace sonvale {
namespace {

// A listener whose accept queue is full drops further SYNs, so a connect to it stays pending.
TEST(TcpConnectTest, AnAbandonedPendingConnectEndsAtOnceWithEcanceled) {
  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(listener.valid());
  sockaddr_in any = SocketAddrV4{Ipv4::loopback(), 0}.to_sockaddr();
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(::listen(listener.get(), 0), 0);
  auto bound = local_address(listener.get());
  ASSERT_TRUE(bound);
  const SocketAddr target(*bound);
  std::vector<Fd> queued;
  for (int i = 0; i < 4; ++i) {
    if (auto c = tcp_connect_timeout(target, std::chrono::milliseconds(200)))
      queued.push_back(std::move(*c));
  }
  int asked = 0;
  auto pending =
      tcp_connect_timeout(target, std::chrono::seconds(30), [&asked] { return ++asked > 3; });
  ASSERT_FALSE(pending);
  EXPECT_EQ(pending.error().os_code(), ECANCELED) << pending.error().to_string();
  EXPECT_EQ(asked, 4);
}

}  // namespace
}  // namespace sonvale
