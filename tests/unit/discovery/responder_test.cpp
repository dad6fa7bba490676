#include "discovery/responder.h"

#include <gtest/gtest.h>

#include <thread>
#include <tuple>

#include "core/encoding.h"
#include "core/thread.h"
#include "support/fake_clock.h"
#include "support/fake_datagram_socket.h"
#include "support/fake_interfaces.h"
#include "support/recording_sink.h"
#include "unit/discovery/dns_test_util.h"

namespace sonvale::mdns {
namespace {

using namespace std::chrono_literals;
using testing::dns_query;
using testing::FakeInterfaces;
using testing::wire_name;

// A key of an event, null when the event has none (const operator[] would assert).
Json at(const Json& e, const char* key) { return e.contains(key) ? e[key] : Json(); }

const Bytes kLyraName = wire_name({"_lyra-mdns", "_udp", "local"});
const Bytes kMiName = wire_name({"_mi-connect", "_udp", "local"});

DiscoveryResponses responses() {
  DiscoveryResponses r;
  r.lyra_packet = {0, 0, 0x84, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'L'};
  r.mi_connect_packet = {0, 0, 0x84, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'M', 'C'};
  r.lyra_label = "C0A80117";
  r.mi_connect_instance = "Kitchen(ungWv48Bz-)";
  r.lyra_goodbye = Bytes{0, 0, 0x84, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'l'};
  r.mi_connect_goodbye = Bytes{0, 0, 0x84, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'm', 'c'};
  return r;
}

// ---- Which datagram gets what ----

OnLinkSources eth0_on_link() {
  FakeInterfaces f;
  f.v4("eth0", "192.168.1.23", "255.255.255.0", "192.168.1.255").index("eth0", 2);
  return OnLinkSources::of(*f.list(), f, *Ipv4::parse("192.168.1.23"), "");
}

struct PlanCase {
  const char* title;
  std::vector<DnsQuestion> questions;
  const char* source;
  std::optional<const char*> destination;  // the datagram's destination address (IP_PKTINFO)
  bool off_link, lyra, mi_connect, unsupported;
  const char* reply_to;  // "" when nothing is sent
  // How long before the datagram each service was last multicast; never when absent.
  std::optional<std::chrono::milliseconds> lyra_multicast_ago = std::nullopt;
  std::optional<std::chrono::milliseconds> mi_connect_multicast_ago = std::nullopt;
};

class PlanTest : public ::testing::TestWithParam<PlanCase> {};

TEST_P(PlanTest, Decides) {
  const auto& c = GetParam();
  const auto source = *SocketAddr::parse(c.source);
  std::optional<Ipv4> dest;
  if (c.destination) dest = *Ipv4::parse(*c.destination);
  const SocketAddrV4 group{kMdnsGroup, kMdnsPort};
  const Clock::time_point now = testing::FakeClock().now();
  LastMulticast last;
  if (c.lyra_multicast_ago) last.lyra = now - *c.lyra_multicast_ago;
  if (c.mi_connect_multicast_ago) last.mi_connect = now - *c.mi_connect_multicast_ago;
  const ReplyPlan plan = plan_replies(c.questions, *source.as_v4(), dest, responses(),
                                      eth0_on_link(), group, last, now);
  EXPECT_EQ(plan.off_link, c.off_link);
  EXPECT_EQ(plan.lyra, c.lyra);
  EXPECT_EQ(plan.mi_connect, c.mi_connect);
  EXPECT_EQ(plan.unsupported, c.unsupported);
  if (plan.lyra || plan.mi_connect) {
    EXPECT_EQ(plan.destination.to_string(), c.reply_to);
  }
}

const DnsQuestion kLyraPtr{"_lyra-mdns._udp.local", 12, 1};
const DnsQuestion kLyraPtrQu{"_lyra-mdns._udp.local", 12, 0x8001};
const DnsQuestion kMiPtr{"_mi-connect._udp.local", 12, 1};
const DnsQuestion kMiTxtBare{"_mi-connect._udp.local", 16, 1};
const DnsQuestion kLyraSrv{"C0A80117._lyra-mdns._udp.local", 33, 1};
const DnsQuestion kLyraHostA{"C0A80117.local", 1, 1};
const DnsQuestion kOther{"_airplay._tcp.local", 12, 1};

INSTANTIATE_TEST_SUITE_P(
    Datagrams, PlanTest,
    ::testing::Values(
        PlanCase{"multicast_from_5353_to_group", {kLyraPtr}, "192.168.1.50:5353", "224.0.0.251",
                 false, true, false, false, "224.0.0.251:5353"},
        PlanCase{"unicast_bit_to_sender", {kLyraPtrQu}, "192.168.1.50:5353", "224.0.0.251",
                 false, true, false, false, "192.168.1.50:5353"},
        PlanCase{"other_port_to_sender", {kLyraPtr}, "192.168.1.50:40000", "224.0.0.251",
                 false, true, false, false, "192.168.1.50:40000"},
        PlanCase{"bit_on_a_non_matching_question_counts", {kOther, {"x", 1, 0x8001}, kMiPtr},
                 "192.168.1.50:5353", "224.0.0.251", false, false, true, false, "192.168.1.50:5353"},
        PlanCase{"both_services", {kLyraPtr, kMiPtr}, "192.168.1.50:5353", "224.0.0.251", false,
                 true, true, false, "224.0.0.251:5353"},
        PlanCase{"three_lyra_questions_one_reply", {kLyraPtr, kLyraSrv, kLyraHostA},
                 "192.168.1.50:5353", "224.0.0.251", false, true, false, false, "224.0.0.251:5353"},
        PlanCase{"bare_mi_connect_txt_unsupported", {kMiTxtBare}, "192.168.1.50:5353",
                 "224.0.0.251", false, false, false, true, ""},
        PlanCase{"mixed_is_answered", {kOther, kLyraSrv}, "192.168.1.50:5353", "224.0.0.251",
                 false, true, false, false, "224.0.0.251:5353"},
        // RFC 6762 section 11: unicast-addressed queries only from on-link sources.
        PlanCase{"unicast_on_link", {kLyraPtr}, "192.168.1.50:40000", "192.168.1.23", false, true,
                 false, false, "192.168.1.50:40000"},
        PlanCase{"unicast_link_local_source", {kLyraPtr}, "169.254.9.9:40000", "192.168.1.23",
                 false, true, false, false, "169.254.9.9:40000"},
        PlanCase{"unicast_off_link_ignored", {kLyraPtr}, "203.0.113.7:40000", "192.168.1.23",
                 true, false, false, false, ""},
        PlanCase{"unicast_off_link_unsupported_also_ignored", {kOther}, "203.0.113.7:40000",
                 "192.168.1.23", true, false, false, false, ""},
        PlanCase{"broadcast_off_link_ignored", {kLyraPtr}, "203.0.113.7:5353", "192.168.1.255",
                 true, false, false, false, ""},
        PlanCase{"limited_broadcast_off_link_ignored", {kLyraPtr}, "203.0.113.7:5353",
                 "255.255.255.255", true, false, false, false, ""},
        PlanCase{"no_destination_info_is_unicast", {kLyraPtr}, "203.0.113.7:5353", std::nullopt,
                 true, false, false, false, ""},
        // A unicast answer goes to one host of the link or nowhere: never through a router to
        // an off-link source, never to a broadcast, network or multicast address.
        PlanCase{"multicast_off_link_source_asking_unicast_ignored", {kLyraPtrQu},
                 "203.0.113.7:5353", "224.0.0.251", true, false, false, false, ""},
        PlanCase{"multicast_off_link_source_other_port_ignored", {kLyraPtr}, "203.0.113.7:40000",
                 "224.0.0.251", true, false, false, false, ""},
        PlanCase{"multicast_off_link_source_answered_to_group", {kLyraPtr}, "203.0.113.7:5353",
                 "224.0.0.251", false, true, false, false, "224.0.0.251:5353"},
        PlanCase{"unicast_from_subnet_broadcast_ignored", {kLyraPtrQu}, "192.168.1.255:40000",
                 "192.168.1.23", true, false, false, false, ""},
        PlanCase{"unicast_from_subnet_network_ignored", {kLyraPtr}, "192.168.1.0:40000",
                 "192.168.1.23", true, false, false, false, ""},
        PlanCase{"multicast_from_subnet_broadcast_other_port_ignored", {kLyraPtr},
                 "192.168.1.255:40000", "224.0.0.251", true, false, false, false, ""},
        PlanCase{"multicast_from_link_local_broadcast_asking_unicast_ignored", {kLyraPtrQu},
                 "169.254.255.255:5353", "224.0.0.251", true, false, false, false, ""},
        PlanCase{"multicast_from_unspecified_source_ignored", {kLyraPtr}, "0.0.0.0:40000",
                 "224.0.0.251", true, false, false, false, ""},
        PlanCase{"multicast_from_group_address_ignored", {kLyraPtrQu}, "224.0.0.251:5353",
                 "224.0.0.251", true, false, false, false, ""},
        PlanCase{"unicast_from_limited_broadcast_ignored", {kLyraPtr}, "255.255.255.255:40000",
                 "192.168.1.23", true, false, false, false, ""},
        PlanCase{"last_host_of_the_subnet_answered", {kLyraPtr, kMiPtr},
                 "192.168.1.254:40000", "192.168.1.23", false, true, true, false,
                 "192.168.1.254:40000"},
        PlanCase{"loopback_source_not_on_link_for_a_lan_address", {kLyraPtr}, "127.0.0.1:40000",
                 "127.0.0.1", true, false, false, false, ""},
        // RFC 6762 section 6: once a second at most to the group, per service; unicast answers
        // are never held back.
        PlanCase{"group_answer_1000ms_after_the_last_multicast", {kLyraPtr}, "192.168.1.50:5353",
                 "224.0.0.251", false, true, false, false, "224.0.0.251:5353", 1000ms},
        PlanCase{"group_answer_1001ms_after_the_last_multicast", {kLyraPtr}, "192.168.1.50:5353",
                 "224.0.0.251", false, true, false, false, "224.0.0.251:5353", 1001ms},
        PlanCase{"no_group_answer_999ms_after_the_last_multicast", {kLyraPtr}, "192.168.1.50:5353",
                 "224.0.0.251", false, false, false, false, "", 999ms},
        PlanCase{"no_group_answer_at_the_instant_of_the_last_multicast", {kLyraPtr},
                 "192.168.1.50:5353", "224.0.0.251", false, false, false, false, "", 0ms},
        PlanCase{"each_service_has_its_own_second", {kLyraPtr, kMiPtr}, "192.168.1.50:5353",
                 "224.0.0.251", false, true, false, false, "224.0.0.251:5353", 1000ms, 999ms},
        PlanCase{"the_other_service_held_back", {kLyraPtr, kMiPtr}, "192.168.1.50:5353",
                 "224.0.0.251", false, false, true, false, "224.0.0.251:5353", 10ms, 5000ms},
        PlanCase{"unicast_bit_answered_just_after_a_multicast", {kLyraPtrQu, kMiPtr},
                 "192.168.1.50:5353", "224.0.0.251", false, true, true, false, "192.168.1.50:5353",
                 0ms, 0ms},
        PlanCase{"other_port_answered_just_after_a_multicast", {kLyraPtr}, "192.168.1.50:40000",
                 "224.0.0.251", false, true, false, false, "192.168.1.50:40000", 0ms},
        PlanCase{"unicast_addressed_from_5353_goes_to_the_group_once_a_second", {kLyraPtr},
                 "192.168.1.50:5353", "192.168.1.23", false, false, false, false, "", 999ms},
        PlanCase{"held_back_then_unmatched_still_unsupported", {kOther}, "192.168.1.50:5353",
                 "224.0.0.251", false, false, false, true, "", 0ms, 0ms}),
    [](const auto& p) { return std::string(p.param.title); });

// ---- The loop over a real socket on loopback ----

// A UDP socket on 127.0.0.1 standing in for the group, the broadcast address or a querier.
struct Peer {
  UdpSocket socket;
  SocketAddrV4 addr;

  static Peer open() {
    Peer p;
    p.socket = *UdpSocket::open(AF_INET);
    EXPECT_TRUE(p.socket.bind(SocketAddr(SocketAddrV4{Ipv4::loopback(), 0})));
    EXPECT_TRUE(p.socket.set_recv_timeout(2s));
    p.addr = *p.socket.local_address()->as_v4();
    return p;
  }
  std::optional<Bytes> receive(std::chrono::milliseconds timeout = 2000ms) {
    (void)socket.set_recv_timeout(timeout);
    Bytes buf(8192);
    auto got = socket.receive(buf);
    if (!got) return std::nullopt;
    buf.resize(got->size);
    return buf;
  }
};

class ResponderLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = *UdpSocket::open(AF_INET);
    ASSERT_TRUE(socket_.bind(SocketAddr(SocketAddrV4{Ipv4::loopback(), 0})));
    ASSERT_TRUE(socket_.set_recv_timeout(250ms));
    ASSERT_TRUE(socket_.set_option(IPPROTO_IP, IP_PKTINFO, 1));
    address_ = *socket_.local_address()->as_v4();
    FakeInterfaces lo;
    lo.v4("lo", "127.0.0.1", "255.0.0.0").index("lo", 1);
    params_.responses = std::make_shared<DiscoveryResponses>(responses());
    params_.address = Ipv4::loopback();
    params_.multicast_target = group_.addr;
    params_.broadcast_target = broadcast_.addr;
    params_.on_link = OnLinkSources::of(*lo.list(), lo, Ipv4::loopback(), "");
    params_.stop_flag = stop_;
    params_.events = sink_.sink();
    params_.clock = clock_;
  }
  void TearDown() override { stop(); }

  void start() {
    thread_.emplace(*spawn_named("test-responder", [this] { run_responder(socket_, params_); }));
  }
  void stop() {
    stop_->store(true);
    if (thread_) thread_.reset();
  }
  void wait_startup() {
    ASSERT_TRUE(sink_.wait_for([](const Json& e) {
      return at(e, "event") == "discovery_announcement" && at(e, "round") == 3 &&
             at(e, "service") == "_mi-connect._udp.local.";
    }));
  }
  // Every datagram that reaches `peer` within `timeout` of the previous one.
  static std::vector<Bytes> drain(Peer& peer, std::chrono::milliseconds timeout = 300ms) {
    std::vector<Bytes> out;
    while (auto d = peer.receive(timeout)) out.push_back(*d);
    return out;
  }
  std::size_t count(const std::string& name) const { return sink_.named(name).size(); }

  UdpSocket socket_;
  SocketAddrV4 address_;
  Peer group_ = Peer::open();
  Peer broadcast_ = Peer::open();
  std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<testing::FakeClock> clock_ = testing::make_fake_clock();
  testing::RecordingSink sink_;
  ResponderParams params_;
  std::optional<JoiningThread> thread_;
};

TEST_F(ResponderLoopTest, StartupRoundsThenRefreshEveryThirtySecondsOfTheClock) {
  const auto t0 = std::chrono::steady_clock::now();
  start();
  wait_startup();
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 500ms);  // two 250 ms pauses between three rounds
  const Bytes lyra = params_.responses->lyra_packet;
  const Bytes mi = params_.responses->mi_connect_packet;
  EXPECT_EQ(drain(group_), (std::vector<Bytes>{lyra, mi, lyra, mi, lyra, mi}));
  EXPECT_EQ(drain(broadcast_), (std::vector<Bytes>{lyra, mi, lyra, mi, lyra, mi}));
  const auto startup = sink_.named("discovery_announcement");
  ASSERT_EQ(startup.size(), 6u);
  EXPECT_EQ(startup[0], Json::parse(R"({"event":"discovery_announcement","protocol":"xiaomi_zedidi",
      "service":"_lyra-mdns._udp.local.","address_family":"ipv4","destination":")" +
                                    group_.addr.to_string() + R"(","bytes":13,"round":1,
      "reason":"startup","success":true,"wired_broadcast_success":true})"));
  EXPECT_EQ(sink_.named("discovery_publication_profile").size(), 1u);

  // The clock has not moved: no refresh however long the loop runs.
  std::this_thread::sleep_for(600ms);
  clock_->advance(29s + 900ms);
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(count("discovery_announcement"), 6u);
  clock_->advance(100ms);
  ASSERT_TRUE(sink_.wait_for([](const Json& e) { return at(e, "reason") == "ttl_refresh"; }));
  EXPECT_EQ(drain(group_), (std::vector<Bytes>{lyra, mi}));
  EXPECT_EQ(drain(broadcast_), (std::vector<Bytes>{lyra, mi}));
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(count("discovery_announcement"), 8u);
  const auto all = sink_.named("discovery_announcement");
  EXPECT_EQ(all[6]["round"], 1);
  EXPECT_EQ(all[7]["service"], "_mi-connect._udp.local.");

  stop();
  const auto bye = drain(group_);
  EXPECT_EQ(bye, (std::vector<Bytes>{*params_.responses->lyra_goodbye, *params_.responses->mi_connect_goodbye,
                                     *params_.responses->lyra_goodbye, *params_.responses->mi_connect_goodbye,
                                     *params_.responses->lyra_goodbye, *params_.responses->mi_connect_goodbye}));
  EXPECT_EQ(drain(broadcast_).size(), 6u);
  const auto goodbyes = sink_.named("discovery_goodbye");
  ASSERT_EQ(goodbyes.size(), 6u);
  EXPECT_EQ(goodbyes[5]["round"], 3);
  EXPECT_EQ(goodbyes[5]["reason"], "shutdown");
  EXPECT_EQ(goodbyes[5]["bytes"], 14);
}

TEST_F(ResponderLoopTest, EarlyStopGivesTheProfileAndGoodbyesOnly) {
  stop_->store(true);
  start();
  stop();
  std::vector<std::string> names;
  for (const auto& e : sink_.events()) names.push_back(at(e, "event"));
  EXPECT_EQ(names, (std::vector<std::string>{"discovery_publication_profile", "discovery_goodbye",
                                             "discovery_goodbye", "discovery_goodbye", "discovery_goodbye",
                                             "discovery_goodbye", "discovery_goodbye"}));
}

TEST_F(ResponderLoopTest, AMissingGoodbyeIsNotSentAndReportedAsFailure) {
  auto r = responses();
  r.mi_connect_goodbye.reset();
  params_.responses = std::make_shared<DiscoveryResponses>(r);
  stop_->store(true);
  start();
  stop();
  EXPECT_EQ(drain(group_), (std::vector<Bytes>{*r.lyra_goodbye, *r.lyra_goodbye, *r.lyra_goodbye}));
  for (const auto& e : sink_.named("discovery_goodbye")) {
    const bool mi = at(e, "service") == "_mi-connect._udp.local.";
    EXPECT_EQ(at(e, "success"), !mi) << e;
    EXPECT_EQ(at(e, "wired_broadcast_success"), !mi) << e;
    EXPECT_EQ(at(e, "bytes"), mi ? 0 : 13) << e;
  }
}

TEST_F(ResponderLoopTest, AnswersQueriesAndReportsTheRest) {
  start();
  wait_startup();
  drain(group_);
  Peer asker = Peer::open();
  auto send = [&](const Bytes& datagram) {
    ASSERT_TRUE(asker.socket.send_to(datagram, SocketAddr(address_)));
  };

  // Two services asked at once, from a port other than 5353: two replies to the asker, Lyra
  // first, each carrying the query's id.
  const Bytes both = dns_query(0xbeef, {{kLyraName, 12, 1}, {kMiName, 12, 1}});
  send(both);
  const auto r1 = asker.receive();
  const auto r2 = asker.receive();
  ASSERT_TRUE(r1 && r2);
  Bytes lyra = params_.responses->lyra_packet;
  lyra[0] = 0xbe;
  lyra[1] = 0xef;
  Bytes mi = params_.responses->mi_connect_packet;
  mi[0] = 0xbe;
  mi[1] = 0xef;
  EXPECT_EQ(*r1, lyra);
  EXPECT_EQ(*r2, mi);
  ASSERT_TRUE(sink_.wait_for([](const Json& e) {
    return at(e, "event") == "discovery_query" && at(e, "service") == "_mi-connect._udp.local.";
  }));
  const auto queries = sink_.named("discovery_query");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0], (Json{{"event", "discovery_query"},
                              {"protocol", "xiaomi_zedidi"},
                              {"service", "_lyra-mdns._udp.local."},
                              {"source", asker.addr.to_string()},
                              {"destination", asker.addr.to_string()},
                              {"bytes", 13},
                              {"query_wire_hex", hex_lower(both)},
                              {"reply_wire_hex", hex_lower(lyra)},
                              {"unicast", true},
                              {"success", true}}));

  // Unsupported: a bare service type asked for TXT.
  const Bytes bare = dns_query(1, {{kMiName, 16, 0x8001}});
  send(bare);
  const auto unsupported = sink_.wait_for_event("discovery_query_unsupported");
  ASSERT_TRUE(unsupported);
  EXPECT_EQ((*unsupported)["query"], Json::array({"_mi-connect._udp.local/16/0x8001"}));
  EXPECT_EQ((*unsupported)["wire_hex"], hex_lower(bare));

  // Malformed, short and oversized datagrams: only "discovery_packet_received".
  const std::size_t before = sink_.events().size();
  send(Bytes{1, 2, 3, 4, 5});
  send(dns_query(2, {{{0xc0, 0xff}, 12, 1}}));
  Bytes big = dns_query(3, {{kLyraName, 12, 1}});
  big.resize(5000, 0xaa);
  send(big);
  ASSERT_TRUE(sink_.wait_for([&](const Json& e) {
    return at(e, "event") == "discovery_packet_received" && at(e, "bytes") == 4096;
  }));
  // The oversized one still carries a readable question in its first 4096 bytes: answered.
  ASSERT_TRUE(asker.receive());
  std::this_thread::sleep_for(300ms);
  std::vector<std::string> names;
  const auto events = sink_.events();
  for (std::size_t i = before; i < events.size(); ++i) names.push_back(events[i]["event"]);
  EXPECT_EQ(names, (std::vector<std::string>{"discovery_packet_received", "discovery_packet_received",
                                             "discovery_packet_received", "discovery_query"}));
  EXPECT_EQ(events[before]["bytes"], 5);
  EXPECT_EQ(events[before]["wire_hex"], "0102030405");
  EXPECT_FALSE(asker.receive(300ms));
}

TEST_F(ResponderLoopTest, UnicastQueriesFromOffLinkSourcesAreIgnored) {
  // The receiver is on a LAN address: loopback senders are not on its link.
  FakeInterfaces lan;
  lan.v4("eth0", "192.168.1.23", "255.255.255.0").index("eth0", 2);
  params_.on_link = OnLinkSources::of(*lan.list(), lan, *Ipv4::parse("192.168.1.23"), "");
  start();
  wait_startup();
  Peer asker = Peer::open();
  ASSERT_TRUE(asker.socket.send_to(dns_query(9, {{kLyraName, 12, 1}, {kMiName, 255, 1}}),
                                   SocketAddr(address_)));
  ASSERT_TRUE(sink_.wait_for_event("discovery_packet_received"));
  EXPECT_FALSE(asker.receive(500ms));
  EXPECT_EQ(count("discovery_query"), 0u);
  EXPECT_EQ(count("discovery_query_unsupported"), 0u);
}

// ---- The loop over a scripted socket, on the fake clock ----

class ResponderScriptTest : public ::testing::Test {
 protected:
  ResponderScriptTest() {
    params_.responses = std::make_shared<DiscoveryResponses>(responses());
    params_.address = *Ipv4::parse("192.168.1.23");
    params_.multicast_target = kGroup;
    params_.broadcast_target = SocketAddrV4{*Ipv4::parse("192.168.1.255"), kMdnsPort};
    params_.on_link = eth0_on_link();
    params_.stop_flag = stop_;
    params_.events = sink_.sink();
    params_.clock = clock_;
    socket_.stop_when_drained(stop_);
  }
  // Plays the script: the startup announcement at the clock's start, then the queued datagrams
  // and idle receives of 250 ms each; returns once the script is played and the goodbyes sent.
  void run() { run_responder(socket_, params_); }
  void idle(int receives) {
    for (int i = 0; i < receives; ++i) socket_.queue_idle();
  }
  // What went out in answer to a query, as (query id, service packet byte, destination).
  using Answers = std::vector<std::tuple<int, char, std::string>>;
  Answers answers() {
    Answers out;
    for (const auto& sent : socket_.sent()) {
      const int id = sent.data[0] << 8 | sent.data[1];
      if (id != 0) out.emplace_back(id, static_cast<char>(sent.data[12]), sent.to.to_string());
    }
    return out;
  }

  std::size_t count_of(const std::string& name) const { return sink_.named(name).size(); }

  static constexpr SocketAddrV4 kGroup{kMdnsGroup, kMdnsPort};
  const SocketAddrV4 asker_{*Ipv4::parse("192.168.1.50"), kMdnsPort};
  std::shared_ptr<testing::FakeClock> clock_ = testing::make_fake_clock();
  testing::FakeDatagramSocket socket_{clock_, 250ms};
  std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
  testing::RecordingSink sink_;
  ResponderParams params_;
};

TEST_F(ResponderScriptTest, GroupHearsEachServiceAtMostOnceASecondUnicastAlwaysAnswered) {
  const Ipv4 group = kMdnsGroup;
  auto ask = [&](std::uint16_t id, std::uint16_t qclass, bool both = false) {
    std::vector<testing::Q> q{{kLyraName, 12, qclass}};
    if (both) q.push_back({kMiName, 12, qclass});
    socket_.queue(dns_query(id, q), asker_, group);
  };
  ask(1, 1);  // at the startup announcement's instant
  idle(3);    // 750 ms later
  ask(2, 1, true);
  idle(1);  // 1000 ms after the announcement
  ask(3, 1);
  ask(4, 0x8001);  // asking for a unicast answer: never held back
  ask(5, 1);
  idle(4);  // 1000 ms after the answer to 3; Mi Connect's last multicast was the announcement
  ask(6, 1, true);
  run();
  EXPECT_EQ(answers(), (Answers{{3, 'L', "224.0.0.251:5353"},
                                {4, 'L', "192.168.1.50:5353"},
                                {6, 'L', "224.0.0.251:5353"},
                                {6, 'M', "224.0.0.251:5353"}}));
  EXPECT_EQ(count_of("discovery_query"), 4u);
  EXPECT_EQ(count_of("discovery_query_unsupported"), 0u);  // held back is not unsupported
  EXPECT_EQ(count_of("discovery_packet_received"), 6u);
}

// A flood of queries with a host's address asking for unicast answers gets that host at most
// three times what arrived in its name plus the allowance, headers counted; a second later it has
// regained enough for a querier's next question about both services.
TEST_F(ResponderScriptTest, UnicastAnswersToOneHostStayWithinItsBudget) {
  auto big = std::make_shared<DiscoveryResponses>(responses());
  big->lyra_packet.resize(500, 'L');
  big->mi_connect_packet.resize(500, 'M');
  params_.responses = big;
  const Bytes query = dns_query(1, {{kLyraName, 12, 0x8001}, {kMiName, 12, 0x8001}});
  for (int i = 0; i < 20; ++i) socket_.queue(query, asker_, kMdnsGroup);
  idle(4);  // a second
  socket_.queue(dns_query(2, {{kLyraName, 12, 0x8001}, {kMiName, 12, 0x8001}}), asker_, kMdnsGroup);
  run();
  std::size_t flood_wire = 0;
  std::size_t later = 0;
  for (const auto& sent : socket_.sent()) {
    if (sent.to != asker_) continue;
    if (sent.data[1] == 1) flood_wire += sent.data.size() + kDatagramOverhead;
    if (sent.data[1] == 2) ++later;
  }
  const std::size_t limit = 3 * 20 * (query.size() + kDatagramOverhead) + 4096;
  EXPECT_LE(flood_wire, limit);
  EXPECT_GT(flood_wire, limit - (500 + kDatagramOverhead));  // no tighter than that
  EXPECT_EQ(later, 2u);
  EXPECT_EQ(count_of("discovery_query"), flood_wire / (500 + kDatagramOverhead) + 2);
}

TEST_F(ResponderScriptTest, AFailedAnswerToTheGroupDoesNotCountAsHeard) {
  socket_.fail_sends(true);
  socket_.queue(dns_query(7, {{kLyraName, 12, 1}}), asker_, kMdnsGroup);
  socket_.queue(dns_query(8, {{kLyraName, 12, 1}}), asker_, kMdnsGroup);
  run();
  // Neither the failed announcements nor the failed answer to 7 held 8 back.
  EXPECT_EQ(answers(), (Answers{{7, 'L', "224.0.0.251:5353"}, {8, 'L', "224.0.0.251:5353"}}));
}

// "discovery_receive_failed" carries the receiver's address and port and the system's text; each
// failure is followed by a 200 ms pause, time-outs are silent, and the loop goes on.
TEST_F(ResponderScriptTest, ReceiveFailuresAreReportedEachWithItsPause) {
  socket_.queue_error(ENETDOWN);
  socket_.queue_error(ETIMEDOUT);
  socket_.queue_error(ECONNREFUSED);
  socket_.queue(dns_query(9, {{kLyraName, 12, 0x8001}}), asker_, kMdnsGroup);
  run();
  const auto failed = sink_.named("discovery_receive_failed");
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0], (Json{{"event", "discovery_receive_failed"},
                             {"protocol", "xiaomi_zedidi"},
                             {"address_family", "ipv4"},
                             {"address", "192.168.1.23"},
                             {"port", 5353},
                             {"message", "Network is down (os error 100)"}}));
  EXPECT_EQ(failed[1]["message"], "Connection refused (os error 111)");
  const auto& at = socket_.receive_times();
  ASSERT_GE(at.size(), 4u);
  EXPECT_GE(at[1] - at[0], 200ms);  // after the first failure
  EXPECT_GE(at[3] - at[2], 200ms);  // after the second
  EXPECT_EQ(answers(), (Answers{{9, 'L', "192.168.1.50:5353"}}));
}

}  // namespace
}  // namespace sonvale::mdns
