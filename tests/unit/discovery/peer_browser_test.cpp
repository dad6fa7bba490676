#include "discovery/peer_browser.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/encoding.h"
#include "support/fake_clock.h"
#include "support/fake_datagram_socket.h"
#include "support/fake_interfaces.h"
#include "support/recording_sink.h"

namespace sonvale::mdns {
namespace {

using namespace std::chrono_literals;

Json at(const Json& e, const char* key) { return e.contains(key) ? e[key] : Json(); }

TEST(PeerQueryTest, ThirtyNineFixedBytes) {
  EXPECT_EQ(hex_lower(lyra_peer_query()),
            "0000000000010000000000000a5f6c7972612d6d646e73045f756470056c6f63616c00000c8001");
}

const Bytes kName = {10,  '_', 'l', 'y', 'r', 'a', '-', 'm', 'd', 'n', 's', 4,
                     '_', 'u', 'd', 'p', 5,   'l', 'o', 'c', 'a', 'l', 0};

Bytes response_header() { return {0, 0, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0}; }

Bytes join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct VerdictCase {
  const char* title;
  Bytes datagram;
  bool found;
  bool names_service;
};

class VerdictTest : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictTest, Classifies) {
  const auto& c = GetParam();
  const PeerVerdict v = classify_peer_datagram(c.datagram);
  EXPECT_EQ(v.found, c.found);
  EXPECT_EQ(v.names_service, c.names_service);
}

Bytes upper_name() {
  Bytes n = kName;
  for (auto& b : n) {
    if (b >= 'a' && b <= 'z') b = static_cast<std::uint8_t>(b - 'a' + 'A');
  }
  return n;
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, VerdictTest,
    ::testing::Values(
        VerdictCase{"empty", {}, false, false},
        VerdictCase{"eleven_bytes", Bytes(11, 0xff), false, false},
        VerdictCase{"header_only_response", response_header(), false, false},
        VerdictCase{"name_alone_no_header", kName, false, true},  // 23 bytes, QR bit clear
        VerdictCase{"twenty_two_bytes_of_the_name", Bytes(kName.begin(), kName.end() - 1), false, false},
        VerdictCase{"response_ending_with_the_name", join(response_header(), kName), true, true},
        VerdictCase{"query_with_the_name", join({0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0}, kName), false, true},
        VerdictCase{"name_behind_a_pointer_only", join(response_header(), {0xc0, 0x0c}), false, false},
        VerdictCase{"upper_case_name", join(response_header(), upper_name()), false, false},
        VerdictCase{"name_cut_at_the_end", join(response_header(), Bytes(kName.begin(), kName.end() - 1)),
                    false, false}),
    [](const auto& p) { return std::string(p.param.title); });

TEST(BrowserSocketTest, Ipv6NeedsAnIndexAndALinkLocalAddress) {
  const auto no_index = create_ipv6_browser_socket(0, testing::v6_addr("fe80::1"));
  ASSERT_FALSE(no_index);
  EXPECT_EQ(no_index.error().to_string(), "selected ZeDidi interface has no usable IPv6 link-local address");
  const auto routable = create_ipv6_browser_socket(1, testing::v6_addr("2001:db8::1"));
  ASSERT_FALSE(routable);
  EXPECT_EQ(routable.error().to_string(), "selected ZeDidi interface has no usable IPv6 link-local address");
  // fe80::/10 also covers febf::; a bind to an address nobody holds names the scoped address.
  const auto unheld = create_ipv6_browser_socket(1, testing::v6_addr("febf::99"));
  ASSERT_FALSE(unheld);
  EXPECT_EQ(unheld.error().to_string().rfind("bind IPv6 Lyra peer browser to [febf::99%1]:0: ", 0), 0u)
      << unheld.error().to_string();
  const auto bad_v4 = create_ipv4_browser_socket(*Ipv4::parse("192.0.2.77"));
  ASSERT_FALSE(bad_v4);
  EXPECT_EQ(bad_v4.error().to_string().rfind("bind IPv4 Lyra peer browser to 192.0.2.77: ", 0), 0u);
}

// A fake Lyra peer on loopback: receives the browser's queries and answers what the test says.
class PeerBrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    peer_ = *UdpSocket::open(AF_INET);
    ASSERT_TRUE(peer_.bind(SocketAddr(SocketAddrV4{Ipv4::loopback(), 0})));
    peer_addr_ = *peer_.local_address();
  }
  void start() {
    auto socket = create_ipv4_browser_socket(Ipv4::loopback());
    ASSERT_TRUE(socket);
    browser_addr_ = *socket->local_address();
    auto t = spawn_lyra_peer_browser(
        std::move(*socket), PeerBrowserParams{"ipv4", peer_addr_, stop_, sink_.sink(), clock_});
    ASSERT_TRUE(t);
    thread_.emplace(std::move(*t));
  }
  void stop() {
    stop_->store(true);
    thread_.reset();
  }
  void TearDown() override { stop(); }
  std::optional<Bytes> receive(std::chrono::milliseconds timeout) {
    (void)peer_.set_recv_timeout(timeout);
    Bytes buf(512);
    auto got = peer_.receive(buf);
    if (!got) return std::nullopt;
    buf.resize(got->size);
    return buf;
  }
  std::size_t rounds() const { return sink_.named("discovery_peer_query").size(); }

  UdpSocket peer_;
  SocketAddr peer_addr_;
  SocketAddr browser_addr_;
  std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<testing::FakeClock> clock_ = testing::make_fake_clock();
  testing::RecordingSink sink_;
  std::optional<JoiningThread> thread_;
};

TEST_F(PeerBrowserTest, RoundsFollowTheClock) {
  start();
  ASSERT_EQ(receive(2s), lyra_peer_query());
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(rounds(), 1u);
  for (std::uint64_t round = 2; round <= 3; ++round) {
    clock_->advance(1s);
    ASSERT_EQ(receive(2s), lyra_peer_query()) << round;
  }
  clock_->advance(299s);
  EXPECT_FALSE(receive(600ms));
  clock_->advance(1s);
  ASSERT_EQ(receive(2s), lyra_peer_query());
  clock_->advance(300s);
  ASSERT_EQ(receive(2s), lyra_peer_query());
  ASSERT_TRUE(sink_.wait_for([](const Json& e) { return at(e, "round") == 5; }));
  const auto q = sink_.named("discovery_peer_query");
  ASSERT_EQ(q.size(), 5u);
  std::vector<std::string> reasons;
  for (const auto& e : q) reasons.push_back(e["reason"]);
  EXPECT_EQ(reasons, (std::vector<std::string>{"startup_burst", "startup_burst", "startup_burst",
                                               "cache_refresh", "cache_refresh"}));
  EXPECT_EQ(q[4]["round"], 5);
  EXPECT_EQ(q[0], (Json{{"event", "discovery_peer_query"},
                        {"protocol", "xiaomi_zedidi"},
                        {"service", "_lyra-mdns._udp.local."},
                        {"address_family", "ipv4"},
                        {"source", browser_addr_.to_string()},
                        {"destination", peer_addr_.to_string()},
                        {"bytes", 39},
                        {"wire_hex", hex_lower(lyra_peer_query())},
                        {"round", 1},
                        {"reason", "startup_burst"},
                        {"success", true},
                        {"error", nullptr}}));
}

TEST_F(PeerBrowserTest, ReportsEveryDatagramByOnlyItsOwnBytes) {
  start();
  ASSERT_TRUE(receive(2s));
  // The long response first, so that stale bytes of the buffer would be there to misread.
  const Bytes found = join(response_header(), kName);
  const std::vector<Bytes> sent = {found, {}, Bytes(11, 0x84), response_header(),
                                   Bytes(found.begin(), found.begin() + 22), Bytes(found.begin(), found.begin() + 23),
                                   join(join(response_header(), kName), Bytes(4100, 0))};
  for (const auto& d : sent) ASSERT_TRUE(peer_.send_to(d, browser_addr_));
  ASSERT_TRUE(sink_.wait_for([&](const Json& e) { return at(e, "bytes") == 4096; }));
  std::vector<Json> reports;
  for (const auto& e : sink_.events()) {
    if (e["event"] != "discovery_peer_query") reports.push_back(e);
  }
  ASSERT_EQ(reports.size(), sent.size());
  struct Want {
    const char* event;
    bool service;
    std::size_t bytes;
  };
  const Want want[] = {
      {"discovery_peer_found", true, 35},         {"discovery_peer_packet_ignored", false, 0},
      {"discovery_peer_packet_ignored", false, 11}, {"discovery_peer_packet_ignored", false, 12},
      {"discovery_peer_packet_ignored", false, 22}, {"discovery_peer_packet_ignored", false, 23},
      {"discovery_peer_found", true, 4096},
  };
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(reports[i]["event"], want[i].event) << i;
    EXPECT_EQ(reports[i]["service"].is_null(), !want[i].service) << i;
    EXPECT_EQ(reports[i]["bytes"], want[i].bytes) << i;
    EXPECT_EQ(reports[i]["source"], peer_addr_.to_string());
    EXPECT_EQ(reports[i]["destination"], browser_addr_.to_string());
    EXPECT_EQ(reports[i]["address_family"], "ipv4");
  }
  EXPECT_EQ(reports[0]["wire_hex"], hex_lower(found));
  EXPECT_EQ(reports[1]["wire_hex"], "");
}

TEST_F(PeerBrowserTest, AFailedSendIsReportedAndTheScheduleGoesOn) {
  // An IPv4 socket cannot send to an IPv6 destination: every send fails.
  peer_addr_ = SocketAddr::v6(testing::v6_addr("::1"), 5353, 0);
  start();
  ASSERT_TRUE(sink_.wait_for_event("discovery_peer_query"));
  clock_->advance(1s);
  ASSERT_TRUE(sink_.wait_for([](const Json& e) { return at(e, "round") == 2; }));
  for (const auto& e : sink_.named("discovery_peer_query")) {
    EXPECT_EQ(e["success"], false);
    EXPECT_EQ(e["bytes"], 39);
    EXPECT_TRUE(e["error"].is_string() && e["error"].get<std::string>().find("(os error ") != std::string::npos)
        << e;
    EXPECT_EQ(e["destination"], "[::1]:5353");
  }
}

TEST_F(PeerBrowserTest, StopFlagSetBeforeTheStartMeansNothingAtAll) {
  stop_->store(true);
  start();
  stop();
  EXPECT_TRUE(sink_.events().empty());
  EXPECT_FALSE(receive(300ms));
}

// "discovery_peer_browser_failed" names the family and the browser's own address with the
// system's text; each failure is followed by a 200 ms pause, time-outs and interruptions are
// silent, and the browser goes on with the next datagram.
TEST(PeerBrowserLoopTest, ReceiveFailuresAreReportedEachWithItsPause) {
  struct Family {
    const char* label;
    const char* local;
  };
  for (const Family f :
       {Family{"ipv4", "192.168.1.23:40001"}, Family{"ipv6", "[fe80::1%2]:40001"}}) {
    SCOPED_TRACE(f.label);
    auto clock = testing::make_fake_clock();
    testing::FakeDatagramSocket socket(clock, 250ms);
    auto stop = std::make_shared<std::atomic<bool>>(false);
    socket.stop_when_drained(stop);
    socket.queue_error(ENETDOWN);
    socket.queue_error(EINTR);
    socket.queue_error(ETIMEDOUT);
    socket.queue_error(EHOSTUNREACH);
    const SocketAddrV4 peer{Ipv4::from_octets(10, 0, 0, 7), 5353};
    socket.queue(join(response_header(), kName), peer);
    testing::RecordingSink sink;
    const SocketAddr group(SocketAddrV4{Ipv4::from_octets(224, 0, 0, 251), 5353});
    run_peer_browser(socket, f.local, PeerBrowserParams{f.label, group, stop, sink.sink(), clock});

    const auto failed = sink.named("discovery_peer_browser_failed");
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[0], (Json{{"event", "discovery_peer_browser_failed"},
                               {"protocol", "xiaomi_zedidi"},
                               {"address_family", f.label},
                               {"source", f.local},
                               {"message", "Network is down (os error 100)"}}));
    EXPECT_EQ(failed[1]["message"], "No route to host (os error 113)");
    const auto& at = socket.receive_times();
    ASSERT_GE(at.size(), 5u);
    EXPECT_GE(at[1] - at[0], 200ms);  // after the first failure
    EXPECT_GE(at[4] - at[3], 200ms);  // after the second
    const auto found = sink.named("discovery_peer_found");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]["source"], "10.0.0.7:5353");
    EXPECT_EQ(found[0]["destination"], f.local);
    ASSERT_EQ(socket.sent().size(), 1u);  // round 1: the script ends long before round 2 is due
    EXPECT_EQ(socket.sent()[0].data, lyra_peer_query());
  }
}

}  // namespace
}  // namespace sonvale::mdns
