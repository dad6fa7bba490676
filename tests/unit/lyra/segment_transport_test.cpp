#include "lyra/segment_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/encoding.h"
#include "lyra_test_crypto.h"
#include "support/fake_clock.h"
#include "support/fake_datagram_socket.h"
#include "support/recording_sink.h"

namespace sonvale::lyra {
namespace {

using namespace std::chrono_literals;
using testing::FakeDatagramSocket;

const SocketAddrV4 kPhone{Ipv4::from_octets(10, 0, 0, 7), 40000};
constexpr std::uint32_t kEarlierConv = 0x0e0e0e0e;
constexpr std::size_t kBigReply = 1000;

SegmentHeader push_header(std::uint32_t sn, std::uint32_t conv = 0x11223344, std::uint16_t wnd = 32) {
  return SegmentHeader{conv, kCmdPush, 0, wnd, 0xa0b0c0d0, sn, 0, 0};
}
Bytes push(std::uint32_t sn, ByteSpan payload, std::uint32_t conv = 0x11223344, std::uint16_t wnd = 32) {
  return encode_segment(push_header(sn, conv, wnd), payload);
}
Bytes ack(std::uint32_t sn, std::uint32_t una, std::uint32_t conv = 0x11223344) {
  return encode_segment(SegmentHeader{conv, kCmdAck, 0, 128, 0, sn, una, 0}, {});
}

SegmentHeader header_of(const Bytes& segment) {
  auto segments = split_segments(segment);
  EXPECT_EQ(segments.size(), 1u);
  return segments.empty() ? SegmentHeader{} : segments[0].header;
}

// A transport over a fake socket and fake clock whose handler answers "R" + payload, counting
// calls; `fail_next` makes the next call fail.
struct Rig {
  std::shared_ptr<testing::FakeClock> clock = testing::make_fake_clock();
  FakeDatagramSocket socket{clock};
  testing::RecordingSink sink;
  int calls = 0;
  bool fail_next = false;
  std::size_t reply_size = 0;  // when set, replies are this many bytes
  SegmentTransport transport;

  explicit Rig(TransportLimits limits = {})
      : transport(socket, clock, sink.sink(),
                  [this](ByteSpan payload, PeerSession& session, SocketAddrV4) -> Result<std::optional<Bytes>> {
                    ++calls;
                    if (fail_next || as_text(payload) == "bad") {
                      fail_next = false;
                      return fail(Error::msg("handler failed"));
                    }
                    if (payload.empty()) return std::optional<Bytes>{};
                    if (as_text(payload) == "key") session.session_key = test::key_of(1);
                    if (as_text(payload) == "chan") session.client_channel_id = 9;
                    if (as_text(payload) == "sealed") {
                      session.session_key = test::key_of(1);
                      session.key_confirmed = true;
                    }
                    if (as_text(payload) == "big") return std::optional<Bytes>(Bytes(kBigReply, 0x42));
                    if (reply_size) return std::optional<Bytes>(Bytes(reply_size, 0x52));
                    Bytes r(1 + payload.size(), 'R');
                    std::copy(payload.begin(), payload.end(), r.begin() + 1);
                    return std::optional<Bytes>(r);
                  },
                  limits) {}

  void in(const Bytes& datagram, SocketAddrV4 from = kPhone) { transport.on_datagram(datagram, from); }
  // An earlier conversation in which `who` acknowledged a reply, which validates its session.
  // A push with the default conv then starts a fresh conversation (reply numbers from 0).
  void acknowledged_before(SocketAddrV4 who = kPhone) {
    in(push(0xabcd, Bytes{'h', 'i'}, kEarlierConv), who);
    in(ack(0, 1, kEarlierConv), who);
    socket.sent().clear();
    calls = 0;
  }
  // As acknowledged_before, and `who` then sealed a frame under our key: its session is served
  // whatever its address's send budget.
  void proven_before(SocketAddrV4 who = kPhone) {
    in(push(0xabcd, Bytes{'h', 'i'}, kEarlierConv), who);
    in(ack(0, 1, kEarlierConv), who);
    in(push(0xabce, test::bytes_of("sealed"), kEarlierConv), who);
    socket.sent().clear();
    calls = 0;
  }
  // What the datagrams sent to `ip` so far, on any port, cost the link: payloads and headers.
  std::size_t wire_bytes_sent_to(Ipv4 ip) {
    std::size_t n = 0;
    for (const auto& s : socket.sent()) {
      if (s.to.ip == ip) n += s.data.size() + kDatagramOverhead;
    }
    return n;
  }
  std::vector<FakeDatagramSocket::Sent> take_sent() {
    auto out = std::move(socket.sent());
    socket.sent().clear();
    return out;
  }
};

const Bytes kHello = {'h', 'i'};

TEST(SegmentTransportTest, AckAndReplyFields) {
  Rig rig;
  rig.clock->set_wall(Clock::wall_time_point(std::chrono::milliseconds(0x1'0000'0005LL)));
  rig.in(push(41, kHello, 0x11223344, 32));
  auto sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].to, kPhone);
  EXPECT_EQ(hex_lower(sent[0].data), "44332211" "52" "00" "8000" "d0c0b0a0" "29000000" "2a000000" "00000000");
  const SegmentHeader reply = header_of(sent[1].data);
  EXPECT_EQ(reply.conv, 0x11223344u);
  EXPECT_EQ(reply.cmd, kCmdPush);
  EXPECT_EQ(reply.wnd, 128);
  EXPECT_EQ(reply.ts, 5u);  // wall milliseconds modulo 2^32
  EXPECT_EQ(reply.sn, 0u);
  EXPECT_EQ(reply.una, 42u);
  EXPECT_EQ(hex_lower(ByteSpan(sent[1].data).subspan(24)), "526869");

  rig.in(push(7, kHello, 0x11223344, 512));
  sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(header_of(sent[0].data).wnd, 512);
  EXPECT_EQ(header_of(sent[1].data).sn, 1u);
  EXPECT_EQ(header_of(sent[1].data).wnd, 512);

  rig.in(push(0xffffffffu, kHello));
  EXPECT_EQ(header_of(rig.take_sent()[0].data).una, 0u);
}

TEST(SegmentTransportTest, WallClockBeforeEpochGivesZeroTimestamp) {
  Rig rig;
  rig.clock->set_wall(Clock::wall_time_point(-std::chrono::seconds(5)));
  rig.in(push(1, kHello));
  EXPECT_EQ(header_of(rig.take_sent()[1].data).ts, 0u);
}

TEST(SegmentTransportTest, DuplicateIsAnsweredFromCacheWithoutHandler) {
  Rig rig;
  rig.acknowledged_before();
  rig.in(push(3, kHello));
  const auto first = rig.take_sent();
  rig.clock->advance(1h);
  rig.clock->set_wall(Clock::wall_time_point(std::chrono::hours(1)));
  rig.in(push(3, kHello));
  const auto again = rig.take_sent();
  EXPECT_EQ(rig.calls, 1);
  ASSERT_EQ(again.size(), 2u);
  EXPECT_EQ(again[0].data, first[0].data);
  EXPECT_EQ(again[1].data, first[1].data);  // ts, sn, una and wnd of the first send
  EXPECT_EQ(rig.transport.pending_count(), 1u);  // no second pending entry
}

TEST(SegmentTransportTest, FailedOrSilentPushIsHandledAgain) {
  Rig rig;
  rig.fail_next = true;
  rig.in(push(9, kHello));
  auto sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 1u);  // the ack only
  auto failed = rig.sink.named("error");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0], (Json{{"event", "error"},
                             {"code", "zedidi_lyra_frame_failed"},
                             {"peer", "10.0.0.7:40000"},
                             {"message", "handler failed"},
                             {"wire_hex", "6869"}}));
  rig.in(push(9, kHello));
  EXPECT_EQ(rig.calls, 2);
  EXPECT_EQ(rig.take_sent().size(), 2u);

  rig.in(push(10, {}));  // the handler has nothing to send
  rig.in(push(10, {}));
  EXPECT_EQ(rig.calls, 4);
  EXPECT_EQ(rig.take_sent().size(), 2u);  // two acks
}

TEST(SegmentTransportTest, EightTransmissionsThenForgotten) {
  Rig rig;
  rig.acknowledged_before();
  rig.in(push(1, kHello));
  const Bytes reply = rig.take_sent()[1].data;
  std::vector<std::uint64_t> counts;
  for (int i = 0; i < 40; ++i) {
    rig.clock->advance(50ms);
    rig.transport.resend_due(rig.clock->now());
  }
  auto sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 7u);
  for (const auto& s : sent) EXPECT_EQ(s.data, reply);
  for (const Json& e : rig.sink.named("lyra_response_retransmit")) {
    EXPECT_EQ(e["peer"], "10.0.0.7:40000");
    EXPECT_EQ(e["sequence"], 0);
    counts.push_back(e["count"].get<std::uint64_t>());
  }
  EXPECT_EQ(counts, (std::vector<std::uint64_t>{2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(rig.transport.pending_count(), 0u);
  EXPECT_EQ(rig.transport.cached_count(), 1u);  // still answers a duplicate
}

TEST(SegmentTransportTest, ResendWaitsAQuarterSecond) {
  Rig rig;
  rig.acknowledged_before();
  rig.in(push(1, kHello));
  rig.take_sent();
  rig.clock->advance(249ms);
  rig.transport.resend_due(rig.clock->now());
  EXPECT_TRUE(rig.take_sent().empty());
  rig.clock->advance(1ms);
  rig.transport.resend_due(rig.clock->now());
  EXPECT_EQ(rig.take_sent().size(), 1u);
}

TEST(SegmentTransportTest, FailedFirstSendStaysPending) {
  Rig rig;
  rig.acknowledged_before();
  rig.socket.fail_sends(true);
  rig.in(push(1, kHello));
  rig.socket.fail_sends(false);
  rig.take_sent();
  rig.clock->advance(250ms);
  rig.transport.resend_due(rig.clock->now());
  EXPECT_EQ(rig.take_sent().size(), 1u);
}

TEST(SegmentTransportTest, AcksBySnAndBelowUna) {
  Rig rig;
  rig.acknowledged_before();
  for (std::uint32_t i = 0; i < 6; ++i) rig.in(push(100 + i, kHello));
  ASSERT_EQ(rig.transport.pending_count(), 6u);
  rig.in(ack(5, 3));  // removes 0, 1, 2 and 5
  rig.take_sent();
  rig.clock->advance(250ms);
  rig.transport.resend_due(rig.clock->now());
  std::vector<std::uint32_t> resent;
  for (const auto& s : rig.take_sent()) resent.push_back(header_of(s.data).sn);
  EXPECT_EQ(resent, (std::vector<std::uint32_t>{3, 4}));
}

TEST(SegmentTransportTest, TwoSegmentsInOneDatagramAndACutOne) {
  Rig rig;
  Bytes two = push(1, kHello);
  const Bytes second = push(2, Bytes{'y', 'o'});
  two.insert(two.end(), second.begin(), second.end());
  rig.in(two);
  auto sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(header_of(sent[0].data).sn, 1u);
  EXPECT_EQ(header_of(sent[2].data).sn, 2u);
  EXPECT_EQ(hex_lower(ByteSpan(sent[3].data).subspan(24)), "52796f");

  Bytes cut = push(3, kHello);
  const Bytes tail = push(4, kHello);
  cut.insert(cut.end(), tail.begin(), tail.end() - 1);
  rig.in(cut);
  sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(header_of(sent[0].data).sn, 3u);
  EXPECT_EQ(rig.sink.named("lyra_packet_received").back()["bytes"], cut.size());
}

TEST(SegmentTransportTest, HugeLengthFieldIsACutSegment) {
  Rig rig;
  Bytes seg = push(1, kHello);
  for (std::uint32_t len : {0xfffffff0u, 0xffffffffu, 3u}) {
    seg[20] = static_cast<std::uint8_t>(len);
    seg[21] = static_cast<std::uint8_t>(len >> 8);
    seg[22] = static_cast<std::uint8_t>(len >> 16);
    seg[23] = static_cast<std::uint8_t>(len >> 24);
    rig.in(seg, SocketAddrV4{Ipv4::from_octets(10, 0, 0, 9), 1});
    EXPECT_TRUE(rig.take_sent().empty()) << len;
  }
  EXPECT_EQ(rig.transport.session_count(), 0u);  // a cut segment creates no session
}

TEST(SegmentTransportTest, ShortDatagramAndUnknownCommand) {
  Rig rig;
  rig.in(Bytes(23, 0));
  EXPECT_EQ(rig.transport.session_count(), 0u);
  EXPECT_EQ(rig.sink.named("lyra_packet_received").size(), 1u);
  rig.in(encode_segment(SegmentHeader{1, 0x53, 0, 0, 0, 0, 0, 0}, kHello));
  EXPECT_EQ(rig.transport.session_count(), 0u);  // only a push makes a session
  EXPECT_TRUE(rig.take_sent().empty());
  EXPECT_EQ(rig.calls, 0);
}

TEST(SegmentTransportTest, EmptyPushIsHandedToTheHandler) {
  Rig rig;
  rig.in(push(1, {}));
  EXPECT_EQ(rig.calls, 1);
  EXPECT_EQ(rig.take_sent().size(), 1u);
}

TEST(SegmentTransportTest, NewConversationStartsFresh) {
  Rig rig;
  rig.acknowledged_before();
  rig.in(push(1, kHello, 0xaaaa));
  rig.in(push(2, kHello, 0xaaaa));
  rig.take_sent();
  rig.in(push(1, kHello, 0xbbbb));  // same sn, new conv: handled again, sn restarts at 0
  auto sent = rig.take_sent();
  EXPECT_EQ(rig.calls, 3);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(header_of(sent[1].data).sn, 0u);
  EXPECT_EQ(header_of(sent[1].data).conv, 0xbbbbu);
  EXPECT_EQ(rig.transport.pending_count(), 1u);

  rig.in(ack(0, 1, 0xaaaa));  // an ack of the old conversation is ignored
  EXPECT_EQ(rig.transport.pending_count(), 1u);
  rig.clock->advance(250ms);
  rig.transport.resend_due(rig.clock->now());
  sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 1u);  // only the new conversation's reply; the old pending stopped
  EXPECT_EQ(header_of(sent[0].data).conv, 0xbbbbu);
  rig.in(ack(0, 1, 0xbbbb));
  EXPECT_EQ(rig.transport.pending_count(), 0u);
}

TEST(SegmentTransportTest, NewConversationKeepsThePeerSession) {
  std::shared_ptr<testing::FakeClock> clock = testing::make_fake_clock();
  FakeDatagramSocket socket(clock);
  SegmentTransport transport(socket, clock, EventSink{},
                             [](ByteSpan, PeerSession& s, SocketAddrV4) -> Result<std::optional<Bytes>> {
                               s.account.push_back(1);
                               s.server_channel_id = 1;
                               return std::optional<Bytes>{};
                             });
  transport.on_datagram(push(1, kHello, 1), kPhone);
  transport.on_datagram(push(1, kHello, 2), kPhone);
  EXPECT_EQ(transport.find_session(kPhone)->account.size(), 2u);
  EXPECT_EQ(transport.find_session(kPhone)->server_channel_id, 1u);
}

TEST(SegmentTransportTest, OversizedReplyFailsTheFrameAndSendsNothing) {
  Rig rig;
  rig.proven_before();
  rig.reply_size = kMaxDatagram - kSegmentHeaderSize + 1;
  rig.in(push(1, kHello));
  EXPECT_EQ(rig.take_sent().size(), 1u);  // the ack
  auto errors = rig.sink.named("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]["message"], "Lyra reply segment of 65508 bytes exceeds the UDP limit of 65507");
  EXPECT_EQ(rig.transport.cached_count() + rig.transport.pending_count(), 0u);

  rig.reply_size = kMaxDatagram - kSegmentHeaderSize;
  rig.in(push(2, kHello));
  auto sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].data.size(), kMaxDatagram);
  EXPECT_EQ(header_of(sent[1].data).sn, 0u);  // the failed reply took no sequence number
}

TEST(SegmentTransportTest, FloodFromManyAddressesStaysWithinTheSessionCap) {
  Rig rig;
  rig.in(push(1, kHello));  // the live phone
  for (std::uint32_t i = 0; i < 100000; ++i) {
    const SocketAddrV4 spoofed{Ipv4{0x0b000000u + i}, static_cast<std::uint16_t>(i)};
    rig.in(push(i, kHello), spoofed);
    if (i % 1000 == 0) rig.in(ack(99, 0));  // the phone stays active
    ASSERT_LE(rig.transport.session_count(), 256u);
    rig.socket.sent().clear();
  }
  EXPECT_EQ(rig.transport.session_count(), 256u);
  EXPECT_LE(rig.transport.held_bytes(), TransportLimits{}.max_reply_bytes);
  EXPECT_LE(rig.transport.cached_count(), 256u);
  // An address that was evicted starts empty: its push is handled again.
  const int calls = rig.calls;
  rig.in(push(0, kHello), SocketAddrV4{Ipv4{0x0b000000u}, 0});
  EXPECT_EQ(rig.calls, calls + 1);
}

TEST(SegmentTransportTest, FloodFromOneAddressStaysWithinReplyCaps) {
  Rig rig;
  rig.proven_before();
  rig.reply_size = 60000;
  for (std::uint32_t i = 0; i < 10000; ++i) {
    rig.in(push(i, kHello));
    rig.socket.sent().clear();
    ASSERT_LE(rig.transport.cached_count(), 64u);
    ASSERT_LE(rig.transport.pending_count(), 64u);
    ASSERT_LE(rig.transport.held_bytes(), TransportLimits{}.max_reply_bytes);
  }
  // The newest reply is still cached and answered byte for byte.
  rig.in(push(9999, kHello));
  auto sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(rig.calls, 10000);
}

TEST(SegmentTransportTest, ReplyBudgetSparesTheCurrentPeer) {
  TransportLimits limits;
  limits.max_reply_bytes = 10 * 2 * (24 + 1000);
  Rig rig(limits);
  rig.reply_size = 1000;
  const SocketAddrV4 other{Ipv4::from_octets(10, 0, 0, 8), 1};
  for (std::uint32_t i = 0; i < 8; ++i) rig.in(push(i, kHello), other);
  for (std::uint32_t i = 0; i < 8; ++i) rig.in(push(i, kHello));
  EXPECT_LE(rig.transport.held_bytes(), limits.max_reply_bytes);
  rig.socket.sent().clear();
  rig.in(push(7, kHello));  // the newest reply of the current peer is cached
  EXPECT_EQ(rig.calls, 16);
}

TEST(SegmentTransportTest, ResendPassIgnoresSessionsWithoutPending) {
  Rig rig;
  rig.in(push(1, kHello));
  rig.in(ack(0, 1));
  rig.take_sent();
  for (int i = 0; i < 10; ++i) {
    rig.clock->advance(250ms);
    rig.transport.resend_due(rig.clock->now());
  }
  EXPECT_TRUE(rig.take_sent().empty());
  EXPECT_TRUE(rig.sink.named("lyra_response_retransmit").empty());
}

const Bytes kBig = {'b', 'i', 'g'};

// How a session stands when the table is full; `kKeyedStranger` has a key but never acknowledged
// a reply, as a spoofed handshake leaves it; `kKeyed` acknowledged one too, which a spoofer can
// do blind; `kConfirmed` has sent a sealed frame that opened under its key, which it cannot.
enum class Kind { kStranger, kKeyedStranger, kKnown, kKeyed, kConfirmed, kConnected };

struct EvictionCase {
  const char* name;
  std::vector<Kind> sessions;  // least recently active first; the table holds exactly these
  std::chrono::seconds silence_after_first;
  std::size_t evicted;
};

class EvictionTest : public ::testing::TestWithParam<EvictionCase> {};

TEST_P(EvictionTest, NewSessionTakesThePlaceOfTheRightOne) {
  const EvictionCase& c = GetParam();
  TransportLimits limits;
  limits.max_sessions = c.sessions.size();
  Rig rig(limits);
  const auto address = [](std::size_t i) {
    return SocketAddrV4{Ipv4::from_octets(10, 9, 0, static_cast<std::uint8_t>(i + 1)), 1000};
  };
  for (std::size_t i = 0; i < c.sessions.size(); ++i) {
    const Kind kind = c.sessions[i];
    const Bytes payload = kind == Kind::kKeyed || kind == Kind::kKeyedStranger ? test::bytes_of("key")
                          : kind == Kind::kConnected                        ? test::bytes_of("chan")
                          : kind == Kind::kConfirmed                        ? test::bytes_of("sealed")
                                                                            : kHello;
    rig.in(push(1, payload), address(i));
    if (kind != Kind::kStranger && kind != Kind::kKeyedStranger) rig.in(ack(0, 1), address(i));
    rig.clock->advance(i == 0 ? std::chrono::duration_cast<std::chrono::nanoseconds>(c.silence_after_first)
                              : std::chrono::nanoseconds(1ms));
  }
  const SocketAddrV4 newcomer{Ipv4::from_octets(10, 9, 1, 1), 2000};
  rig.in(push(1, kHello), newcomer);
  EXPECT_TRUE(rig.transport.find_session(newcomer));
  EXPECT_EQ(rig.transport.session_count(), c.sessions.size());
  for (std::size_t i = 0; i < c.sessions.size(); ++i) {
    EXPECT_EQ(rig.transport.find_session(address(i)) == nullptr, i == c.evicted) << "session " << i;
  }
}

constexpr std::chrono::seconds kNoPause{0};
constexpr std::chrono::seconds kTenMinutes{600};

INSTANTIATE_TEST_SUITE_P(
    Choice, EvictionTest,
    ::testing::Values(
        EvictionCase{"stranger_before_older_known", {Kind::kKnown, Kind::kStranger, Kind::kKnown}, kNoPause, 1},
        EvictionCase{"least_recent_stranger", {Kind::kStranger, Kind::kStranger, Kind::kKnown}, kNoPause, 0},
        EvictionCase{"key_of_a_stranger_protects_nothing", {Kind::kKnown, Kind::kKeyedStranger, Kind::kKeyed},
                     kNoPause, 1},
        EvictionCase{"keyless_before_older_keyed", {Kind::kKeyed, Kind::kKnown, Kind::kKeyed}, kNoPause, 1},
        EvictionCase{"connection_protects_like_a_key", {Kind::kConnected, Kind::kKnown}, kNoPause, 1},
        EvictionCase{"least_recent_keyless", {Kind::kKnown, Kind::kKnown, Kind::kKeyed}, kNoPause, 0},
        EvictionCase{"keyed_silent_ten_minutes", {Kind::kKeyed, Kind::kKnown, Kind::kKnown}, kTenMinutes, 0},
        EvictionCase{"keyed_silent_just_under_ten_minutes", {Kind::kKeyed, Kind::kKnown, Kind::kKnown},
                     kTenMinutes - std::chrono::seconds(1), 1},
        EvictionCase{"only_keyed_left", {Kind::kKeyed, Kind::kKeyed}, kNoPause, 0},
        EvictionCase{"unconfirmed_key_before_older_confirmed", {Kind::kConfirmed, Kind::kKeyed, Kind::kConfirmed},
                     kNoPause, 1},
        EvictionCase{"keyless_before_confirmed", {Kind::kConfirmed, Kind::kKnown, Kind::kKeyed}, kNoPause, 1},
        EvictionCase{"confirmed_silent_ten_minutes", {Kind::kConfirmed, Kind::kKnown, Kind::kKeyed}, kTenMinutes, 0},
        EvictionCase{"only_confirmed_left", {Kind::kConfirmed, Kind::kConfirmed}, kNoPause, 0}),
    [](const auto& p) { return std::string(p.param.name); });

struct NoSessionCase {
  const char* name;
  Bytes datagram;
  std::size_t sends;  // to the unknown address
};

class NoSessionTest : public ::testing::TestWithParam<NoSessionCase> {};

// Only a push whose frame does not fail makes a session, so these neither add one nor push a
// session out of a full table.
TEST_P(NoSessionTest, UnknownAddressGetsNoSession) {
  TransportLimits limits;
  limits.max_sessions = 2;
  Rig rig(limits);
  const SocketAddrV4 a{Ipv4::from_octets(10, 9, 0, 1), 1};
  const SocketAddrV4 b{Ipv4::from_octets(10, 9, 0, 2), 1};
  rig.in(push(1, kHello), a);
  rig.in(push(1, kHello), b);
  rig.take_sent();
  const SocketAddrV4 unknown{Ipv4::from_octets(10, 9, 0, 3), 1};
  for (int i = 0; i < 3; ++i) rig.in(GetParam().datagram, unknown);
  EXPECT_EQ(rig.take_sent().size(), 3 * GetParam().sends);
  EXPECT_EQ(rig.transport.session_count(), 2u);
  EXPECT_TRUE(rig.transport.find_session(a) && rig.transport.find_session(b));
}

INSTANTIATE_TEST_SUITE_P(
    Segments, NoSessionTest,
    ::testing::Values(NoSessionCase{"ack", ack(0, 1), 0},
                      NoSessionCase{"unknown_command", encode_segment(SegmentHeader{1, 0x53, 0, 0, 0, 0, 0, 2}, kHello), 0},
                      NoSessionCase{"push_whose_frame_fails", push(1, test::bytes_of("bad")), 1}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SegmentTransportTest, PushWithNothingToSendMakesASession) {
  Rig rig;
  rig.in(push(1, {}));
  EXPECT_TRUE(rig.transport.find_session(kPhone));
}

// A reply to an address that never acknowledged one goes out once; its acknowledgement makes the
// next reply go out the full eight times.
TEST(SegmentTransportTest, RepliesAreResentOnlyOnceTheAddressAcknowledged) {
  Rig rig;
  rig.in(push(1, kHello));
  EXPECT_EQ(rig.take_sent().size(), 2u);
  EXPECT_EQ(rig.transport.pending_count(), 0u);
  for (int i = 0; i < 10; ++i) {
    rig.clock->advance(250ms);
    rig.transport.resend_due(rig.clock->now());
  }
  EXPECT_TRUE(rig.take_sent().empty());

  rig.in(ack(0, 1));
  rig.in(push(2, kHello));
  rig.take_sent();
  for (int i = 0; i < 10; ++i) {
    rig.clock->advance(250ms);
    rig.transport.resend_due(rig.clock->now());
  }
  EXPECT_EQ(rig.take_sent().size(), 7u);

  // An acknowledgement of a reply that was never made validates nothing.
  const SocketAddrV4 other{Ipv4::from_octets(10, 0, 0, 8), 1};
  rig.in(push(1, kHello), other);
  rig.in(ack(5, 6), other);
  rig.in(push(2, kHello), other);
  rig.take_sent();
  rig.clock->advance(250ms);
  EXPECT_EQ(rig.transport.resend_due(rig.clock->now()), 0u);
}

// Everything sent to an address none of whose sessions proved it reads our replies stays within
// three times what arrived from it, on any of its ports, plus the allowance, headers counted; a
// proven session of the same address is served in full.
TEST(SegmentTransportTest, AmplificationBudgetPerAddress) {
  Rig rig;
  const Ipv4 victim = Ipv4::from_octets(10, 66, 0, 1);
  std::size_t received = 0;
  for (std::uint16_t port = 1; port <= 60; ++port) {
    const Bytes datagram = push(port, kBig);
    rig.in(datagram, {victim, port});
    rig.in(datagram, {victim, port});  // a duplicate is answered from the cache, within the budget
    received += 2 * (datagram.size() + kDatagramOverhead);
  }
  const std::size_t limit = 3 * received + 4096;
  const std::size_t sent = rig.wire_bytes_sent_to(victim);
  EXPECT_LE(sent, limit);
  EXPECT_GT(sent, limit - (kSegmentHeaderSize + kBigReply + kDatagramOverhead));  // the budget is used
  EXPECT_EQ(rig.transport.pending_count(), 0u);

  // One datagram packed with pushes gets no more: their many small answers cost headers too.
  Bytes packed;
  for (std::uint32_t sn = 100; sn < 400; ++sn) {
    const Bytes one = push(sn, kHello);
    packed.insert(packed.end(), one.begin(), one.end());
  }
  rig.take_sent();
  const Ipv4 packed_victim = Ipv4::from_octets(10, 66, 0, 2);
  rig.in(packed, {packed_victim, 9});
  const std::size_t packed_limit = 3 * (packed.size() + kDatagramOverhead) + 4096;
  EXPECT_LE(rig.wire_bytes_sent_to(packed_victim), packed_limit);
  EXPECT_GT(rig.wire_bytes_sent_to(packed_victim), packed_limit - 2 * (kSegmentHeaderSize + kDatagramOverhead));

  // Port 1 acknowledges its reply and seals a frame under our key: its next replies go out, and
  // again, whatever the budget.
  rig.in(ack(0, 1), {victim, 1});
  rig.in(push(199, test::bytes_of("sealed")), {victim, 1});
  rig.in(ack(1, 2), {victim, 1});
  rig.take_sent();
  rig.in(push(200, kBig), {victim, 1});
  received += 2 * ack(0, 1).size() + push(199, test::bytes_of("sealed")).size() + push(200, kBig).size() +
              4 * kDatagramOverhead;
  rig.clock->advance(250ms);
  rig.transport.resend_due(rig.clock->now());
  auto sent_to_one = rig.take_sent();
  ASSERT_EQ(sent_to_one.size(), 3u);  // ack, reply, resend
  EXPECT_EQ(sent_to_one[2].data, sent_to_one[1].data);
  // Port 2 is still a stranger on the spent budget: its pushes earn their acks and little more.
  for (std::uint32_t sn = 201; sn < 211; ++sn) {
    rig.in(push(sn, kBig), {victim, 2});
    received += push(sn, kBig).size() + kDatagramOverhead;
  }
  std::size_t acks = 0;
  for (const auto& d : rig.socket.sent()) acks += header_of(d.data).cmd == kCmdAck;
  EXPECT_EQ(acks, 10u);
  EXPECT_LE(sent + rig.wire_bytes_sent_to(victim), 3 * received + 4096);
}

// An acknowledgement can be forged without seeing the reply (its sn is 0 on a new session), and
// so can a handshake: after them, replies are resent but everything stays within the address's
// budget. A frame sealed under the key of our handshake reply, or a logical connection (opened
// only by a sealed connect), shows the peer reads what is sent to it: it is then served in full.
struct ProofCase {
  const char* name;
  std::vector<const char*> pushes;  // after the acknowledgement of the first reply
  bool served_in_full;
};

class ProofTest : public ::testing::TestWithParam<ProofCase> {};

TEST_P(ProofTest, OnlyAPeerThatReadsOurRepliesIsServedBeyondItsBudget) {
  Rig rig;
  const Ipv4 victim = Ipv4::from_octets(10, 66, 0, 9);
  const SocketAddrV4 from{victim, 5};
  std::size_t received = 0;
  const auto in = [&](const Bytes& datagram) {
    rig.in(datagram, from);
    received += datagram.size() + kDatagramOverhead;
  };
  in(push(1, kHello));
  in(ack(0, 1));
  std::uint32_t sn = 2;
  for (const char* payload : GetParam().pushes) in(push(sn++, test::bytes_of(payload)));
  rig.take_sent();
  constexpr std::uint32_t kPushes = 2;
  for (std::uint32_t i = 0; i < kPushes; ++i) in(push(100 + i, kBig));
  for (int i = 0; i < 10; ++i) {
    rig.clock->advance(250ms);
    rig.transport.resend_due(rig.clock->now());
  }
  std::size_t big_replies = 0;
  for (const auto& s : rig.socket.sent()) big_replies += s.data.size() == kSegmentHeaderSize + kBigReply;
  if (GetParam().served_in_full) {
    EXPECT_EQ(big_replies, kPushes * kMaxTransmissions);
  } else {
    const std::size_t limit = 3 * received + 4096;
    EXPECT_LE(rig.wire_bytes_sent_to(victim), limit);
    EXPECT_GT(big_replies, kPushes);  // resends go out while the budget lasts
  }
}

INSTANTIATE_TEST_SUITE_P(
    Proofs, ProofTest,
    ::testing::Values(ProofCase{"acknowledgement", {}, false},
                      ProofCase{"acknowledgement_and_handshake", {"key"}, false},
                      ProofCase{"sealed_frame", {"sealed"}, true},
                      ProofCase{"logical_connection", {"chan"}, true}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SegmentTransportTest, FirstReplyWithinTheAllowanceGoesOut) {
  Rig rig;
  rig.reply_size = 4096 - 2 * kSegmentHeaderSize;
  rig.in(push(1, kHello));  // a 26-byte request, answered by an ack and a 4072-byte reply (4096 bytes)
  auto sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].data.size(), 4096u - kSegmentHeaderSize);
}

// When reply bytes run over budget, the sessions holding the most give up theirs: two ports
// flooding large unacknowledged replies do not cost a light session its resends.
TEST(SegmentTransportTest, HeaviestSessionsMakeRoomFirst) {
  TransportLimits limits;
  limits.max_reply_bytes = 40 * 2 * (kSegmentHeaderSize + kBigReply);
  Rig rig(limits);
  const SocketAddrV4 flood_a{Ipv4::from_octets(10, 0, 0, 50), 1};
  const SocketAddrV4 flood_b{Ipv4::from_octets(10, 0, 0, 50), 2};
  for (const SocketAddrV4 who : {kPhone, flood_a, flood_b}) rig.acknowledged_before(who);
  rig.in(push(1, kHello));  // the phone's reply stays unacknowledged
  const Bytes phone_reply = rig.take_sent().at(1).data;
  for (std::uint32_t sn = 0; sn < 200; ++sn) {
    rig.in(push(sn, kBig), sn % 2 ? flood_a : flood_b);
    ASSERT_LE(rig.transport.held_bytes(), limits.max_reply_bytes);
  }
  rig.take_sent();
  std::size_t phone_copies = 0;
  for (int i = 0; i < 10; ++i) {
    rig.clock->advance(250ms);
    rig.transport.resend_due(rig.clock->now());
    for (const auto& s : rig.take_sent()) phone_copies += s.to == kPhone && s.data == phone_reply;
  }
  EXPECT_EQ(phone_copies, 7u);
}

// A peer that answers each of our replies at once (another receiver, a reflecting host) gets the
// same reply over and over; after kMaxEchoTurns such turns its replies stop, which ends the
// exchange, while a phone's keep-alives, floods without acknowledgements and changing replies
// are all answered.
struct EchoCase {
  const char* name;
  std::chrono::milliseconds period;  // between the peer's pushes
  bool acknowledges;                 // each reply, before the next push
  bool same_request;                 // so the reply is the same each time
  bool same_sn;                      // a duplicate, answered from the cache
  int replies_sent;                  // of 20
};

class EchoTest : public ::testing::TestWithParam<EchoCase> {};

TEST_P(EchoTest, ReplyAnsweredAgainAndAgainStops) {
  const EchoCase& c = GetParam();
  Rig rig;
  int replies = 0;
  std::uint32_t reply_sn = 0;
  for (std::uint32_t i = 0; i < 20; ++i) {
    const Bytes request = c.same_request ? kHello : test::bytes_of("req" + std::to_string(i));
    rig.in(push(c.same_sn ? 5 : 100 + i, request));
    for (const auto& sent : rig.take_sent()) {
      const SegmentHeader h = header_of(sent.data);
      if (h.cmd != kCmdPush) continue;
      ++replies;
      reply_sn = h.sn;
    }
    if (c.acknowledges) rig.in(ack(reply_sn, reply_sn + 1));
    rig.clock->advance(c.period);
  }
  EXPECT_EQ(replies, c.replies_sent);
  if (c.replies_sent < 20) {
    EXPECT_EQ(rig.transport.pending_count(), 0u);  // nothing held back is resent
    EXPECT_EQ(rig.transport.resend_due(rig.clock->now() + 1s), 0u);
    // After a pause as long as a resend interval, the peer is answered again.
    rig.clock->advance(kResendInterval);
    rig.in(push(c.same_sn ? 5 : 500, kHello));
    EXPECT_EQ(rig.take_sent().size(), 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Turns, EchoTest,
    ::testing::Values(EchoCase{"answers_each_reply_at_once", 1ms, true, true, false, kMaxEchoTurns},
                      EchoCase{"bounces_the_cached_reply", 1ms, true, true, true, kMaxEchoTurns},
                      EchoCase{"just_under_a_resend_interval", 249ms, true, true, false, kMaxEchoTurns},
                      EchoCase{"keep_alives_a_resend_interval_apart", 250ms, true, true, false, 20},
                      EchoCase{"flood_without_acknowledgements", 1ms, false, true, false, 20},
                      EchoCase{"replies_that_differ", 1ms, true, false, false, 20}),
    [](const auto& p) { return std::string(p.param.name); });

// A host that sends back what it gets returns our own reply, byte for byte: that is no push of
// its own, so it is neither acknowledged nor handled.
TEST(SegmentTransportTest, OwnReplyComingBackIsIgnored) {
  Rig rig;
  rig.in(push(1000, kHello));
  const auto sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 2u);
  rig.in(sent[0].data);  // our ack, back
  rig.in(sent[1].data);  // our reply, back: a push with our conv, sn 0
  EXPECT_TRUE(rig.take_sent().empty());
  EXPECT_EQ(rig.calls, 1);
  // The same sn from the peer with a request of its own is a push like any other.
  rig.in(push(0, kHello));
  EXPECT_EQ(rig.take_sent().size(), 2u);
  EXPECT_EQ(rig.calls, 2);
}

// The resend pass goes to due replies only, earliest deadline first across sessions; one that is
// not due costs the pass nothing, however many sessions wait.
TEST(SegmentTransportTest, ResendPassVisitsDueRepliesInDeadlineOrder) {
  Rig rig;
  std::vector<SocketAddrV4> order;  // by deadline
  for (std::uint32_t i = 0; i < 256; ++i) {
    // Sessions made in an order unrelated to their deadlines.
    const SocketAddrV4 who{Ipv4::from_octets(10, 5, static_cast<std::uint8_t>((i * 37) % 256), 1), 7};
    rig.acknowledged_before(who);
    rig.in(push(1, kHello), who);
    order.push_back(who);
    rig.clock->advance(1ms);
  }
  rig.take_sent();
  const auto first_deadline = rig.clock->now() - 256ms + 250ms;
  EXPECT_EQ(rig.transport.resend_due(first_deadline - 1ns), 0u);
  EXPECT_TRUE(rig.take_sent().empty());
  EXPECT_EQ(rig.transport.resend_due(first_deadline + 2ms), 3u);
  auto sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(sent[i].to, order[i]);
  EXPECT_EQ(rig.transport.resend_due(first_deadline + 2ms), 0u);
  // Before the first three are due again: the next 249 by deadline.
  EXPECT_EQ(rig.transport.resend_due(first_deadline + 251ms), 249u);
  sent = rig.take_sent();
  ASSERT_EQ(sent.size(), 249u);
  for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].to, order[i + 3]);
  EXPECT_EQ(rig.transport.pending_count(), 256u);
}

}  // namespace
}  // namespace sonvale::lyra
