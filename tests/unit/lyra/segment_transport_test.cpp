#include "lyra/segment_transport.h"

#include <gtest/gtest.h>

#include <string>

#include "core/encoding.h"
#include "support/fake_clock.h"
#include "support/fake_datagram_socket.h"
#include "support/recording_sink.h"

namespace sonvale::lyra {
namespace {

using namespace std::chrono_literals;
using testing::FakeDatagramSocket;

const SocketAddrV4 kPhone{Ipv4::from_octets(10, 0, 0, 7), 40000};

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
                  [this](ByteSpan payload, PeerSession&, SocketAddrV4) -> Result<std::optional<Bytes>> {
                    ++calls;
                    if (fail_next) {
                      fail_next = false;
                      return fail(Error::msg("handler failed"));
                    }
                    if (payload.empty()) return std::optional<Bytes>{};
                    if (reply_size) return std::optional<Bytes>(Bytes(reply_size, 0x52));
                    Bytes r{'R'};
                    r.insert(r.end(), payload.begin(), payload.end());
                    return std::optional<Bytes>(r);
                  },
                  limits) {}

  void in(const Bytes& datagram, SocketAddrV4 from = kPhone) { transport.on_datagram(datagram, from); }
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
  EXPECT_EQ(rig.transport.session_count(), 1u);
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

}  // namespace
}  // namespace sonvale::lyra
