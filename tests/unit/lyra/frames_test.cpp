#include "lyra/frames.h"

#include <gtest/gtest.h>

#include "lyra/replies.h"
#include "lyra/secure_channel.h"
#include "lyra_test_crypto.h"
#include "support/fake_clock.h"
#include "support/recording_sink.h"

namespace sonvale::lyra {
namespace {

using test::hex;

const SocketAddrV4 kPhone{Ipv4::from_octets(192, 168, 1, 20), 51000};

struct Handler {
  LyraDevice device{"1A2B3C4D", "Desk", "macOS", 3, 8899};
  std::shared_ptr<testing::FakeClock> clock = testing::make_fake_clock();
  testing::RecordingSink sink;
  EventSink events = sink.sink();
  PeerSession session;

  Result<std::optional<Bytes>> operator()(ByteSpan payload) {
    const FrameContext ctx{device, *clock, kPhone, events};
    return handle_payload(payload, session, ctx);
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const Json& e : sink.events()) out.push_back(e["event"]);
    return out;
  }
};

struct FailCase {
  const char* name;
  Bytes payload;
  std::string error;
  std::vector<std::string> events;
};

class FrameFailureTest : public ::testing::TestWithParam<FailCase> {};

TEST_P(FrameFailureTest, FailsWithTextAndEvents) {
  Handler h;
  auto r = h(GetParam().payload);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), GetParam().error);
  EXPECT_EQ(h.names(), GetParam().events);
  EXPECT_TRUE(h.session.account.empty());
  EXPECT_FALSE(h.session.session_key);
}

const std::vector<std::string> kTrace = {"lyra_transport_frame_trace"};
const std::vector<std::string> kTraces = {"lyra_transport_frame_trace", "lyra_logical_frame_trace"};

const Bytes kSyncEmpty = test::frame(kKindLogical, {});
Bytes logical_without_inner() {
  return test::frame(kKindLogical, pb_bytes(2, pb_bytes(1, pb_varint(3, 1))));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameFailureTest,
    ::testing::Values(
        FailCase{"three_bytes", hex("090400"), "invalid Lyra transport header", {}},
        FailCase{"version_3", hex("09030004"), "invalid Lyra transport header", {}},
        FailCase{"length_mismatch", hex("0904000a0000000000000000"),
                 "invalid Lyra transport length: declared=10, actual=12", {}},
        FailCase{"physical_without_frame", hex("09040004"), "missing physical frame", kTrace},
        FailCase{"physical_only_outer", test::frame(kKindPhysical, pb_bytes(2, pb_varint(1, 1))),
                 "missing physical frame", kTrace},
        FailCase{"physical_codec_error", hex("090400050b"), "unsupported protobuf wire type 3", kTrace},
        FailCase{"physical_message_codec_error",
                 test::frame(kKindPhysical, pb_bytes(2, pb_bytes(2, hex("08")))),
                 "truncated protobuf varint", kTrace},
        FailCase{"logical_without_record", kSyncEmpty, "missing logical frame", kTrace},
        FailCase{"logical_without_inner", logical_without_inner(), "missing logical inner frame", kTrace},
        FailCase{"encrypted_before_ecdh", test::logical({{3, 1}, {4, 1}}, Bytes(40, 0)),
                 "encrypted logical frame before ECDH", kTrace},
        FailCase{"encrypted_short_before_ecdh", test::logical({{4, 1}}, Bytes(3, 0)),
                 "encrypted logical frame before ECDH", kTrace},
        FailCase{"inner_codec_error", test::logical({{3, 1}}, hex("0f")),
                 "unsupported protobuf wire type 7", kTrace},
        FailCase{"handshake_without_message", test::logical({{3, 1}}, test::inner_frame(6, nullptr)),
                 "missing Lyra auth frame", kTraces},
        FailCase{"logical_sync_without_message", test::logical({{3, 1}}, test::inner_frame(5, nullptr)),
                 "missing logical sync info",
                 {"lyra_transport_frame_trace", "lyra_logical_frame_trace", "lyra_logical_sync"}},
        FailCase{"channel_without_id", hex("21040004"), "missing Lyra channel identifier", kTrace}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FrameTest, UnknownKindIsTracedAndIgnored) {
  Handler h;
  auto r = h(hex("05040006abcd"));
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  ASSERT_EQ(h.sink.events().size(), 1u);
  EXPECT_EQ(h.sink.events()[0], (Json{{"event", "lyra_transport_frame_trace"},
                                      {"protocol", "xiaomi_zedidi"},
                                      {"peer", "192.168.1.20:51000"},
                                      {"transport_kind", 5},
                                      {"body_hex", "abcd"}}));
}

TEST(FrameTest, KeepAliveEchoesItsBody) {
  Handler h;
  auto r = h(hex("0904000e120812061004 3a026162"));
  ASSERT_TRUE(r && *r);
  EXPECT_EQ(**r, hex("0904000e120812061005 3a026162"));
  EXPECT_EQ(h.sink.events()[0]["body_hex"], "1208120610043a026162");
  EXPECT_EQ(h.sink.events()[0]["transport_kind"], 9);

  // Without a body the reply echoes nothing; the last field numbered 3 or more is the body.
  EXPECT_EQ(**h(test::physical(hex("1004"))), hex("0904000c120612041005 3a00"));
  EXPECT_EQ(**h(test::physical(hex("1004 1a0178 2a0179"))), hex("0904000d 1207 1205 1005 3a0179"));
}

TEST(FrameTest, PhysicalTypesWithoutReply) {
  Handler h;
  EXPECT_FALSE(*h(test::physical(hex("1006"))));
  EXPECT_EQ(h.names(), (std::vector<std::string>{"lyra_transport_frame_trace", "lyra_transport_disconnected"}));
  Handler none;
  EXPECT_FALSE(*none(test::physical(hex("0801"))));  // no type field: type 0
  EXPECT_FALSE(*none(test::physical(hex("1007"))));
  // The last type counts: 4 then 6 is a disconnect.
  EXPECT_FALSE(*none(test::physical(hex("1004 1006"))));
  EXPECT_EQ(none.names().back(), "lyra_transport_disconnected");
}

TEST(FrameTest, PhysicalSyncStoresTheAccount) {
  Handler h;
  h.clock->set_wall(Clock::wall_time_point(std::chrono::milliseconds(1700000000000)));
  auto r = h(test::sync_request(hex("a1b2ff")));
  ASSERT_TRUE(r && *r);
  EXPECT_EQ(hex_lower(h.session.account), "a1b2ff");
  const Json ev = h.sink.named("lyra_physical_sync").at(0);
  EXPECT_EQ(ev, (Json{{"event", "lyra_physical_sync"},
                      {"protocol", "xiaomi_zedidi"},
                      {"peer", "192.168.1.20:51000"},
                      {"receiver_name", "Desk"},
                      {"lyra_device_type", 3},
                      {"lyra_device_category", "computer"},
                      {"account_hash_hex", "A1B2FF"}}));
  EXPECT_NE(hex_lower(**r).find("2203a1b2ff"), std::string::npos);

  // A sync without peer device info replaces the account with an empty one; the reply carries
  // the handler's clock (the documented 122-byte reply of this device at T = 1700000000000).
  auto again = h(test::physical(hex("1001")));
  ASSERT_TRUE(again && *again);
  EXPECT_TRUE(h.session.account.empty());
  EXPECT_EQ(again->value().size(), 122u);
  EXPECT_EQ(**again, *build_device_sync_response(h.device, {}, 1700000000000));
  h.clock->set_wall(Clock::wall_time_point(-std::chrono::seconds(1)));
  EXPECT_EQ(**h(test::physical(hex("1001"))), *build_device_sync_response(h.device, {}, 0));
  EXPECT_EQ(h.sink.named("lyra_physical_sync").at(1)["account_hash_hex"], "");
}

TEST(FrameTest, AccountTooLongForTheReplyFailsTheFrame) {
  Handler h;
  const Bytes request = test::sync_request(Bytes(65404, 0x41));
  ASSERT_LE(request.size(), 65483u);  // fits one segment from the phone
  auto r = h(request);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "Lyra frame of 65536 bytes does not fit its 16-bit length");
}

TEST(FrameTest, LogicalTraceReportsTheRecord) {
  Handler h;
  // Fields 3, 4 and 5 twice: the last counts, while the outer scalars keep every varint below 5.
  Bytes record = hex("0801 1802 2000 1003 182a 3009");
  pb_bytes_into(record, 5, hex("0807"));
  pb_bytes_into(record, 5, test::inner_frame(9, nullptr));
  const Bytes body = pb_bytes(2, pb_bytes(1, record));
  auto r = h(test::frame(kKindLogical, body));
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  const Json trace = h.sink.named("lyra_logical_frame_trace").at(0);
  EXPECT_EQ(trace, (Json{{"event", "lyra_logical_frame_trace"},
                         {"protocol", "xiaomi_zedidi"},
                         {"peer", "192.168.1.20:51000"},
                         {"logical_id", "0000002A"},
                         {"frame_type", 9},
                         {"encrypted", false},
                         {"outer_scalars", Json::array({Json::array({1, 1}), Json::array({3, 2}),
                                                        Json::array({4, 0}), Json::array({2, 3}),
                                                        Json::array({3, 42})})},
                         {"inner_hex", "0809"},
                         {"message_hex", nullptr},
                         {"message_utf8", nullptr}}));
  const Json frame = h.sink.named("lyra_logical_frame").at(0);
  EXPECT_EQ(frame["payload_hex"], "0809");
  EXPECT_EQ(frame["logical_id"], "0000002A");
}

TEST(FrameTest, MessageTextIsNullUnlessUtf8) {
  Handler h;
  const Bytes text = test::bytes_of("héllo");
  (void)h(test::logical({{3, 0x1234567890}}, test::inner_frame(2, &text)));
  const Bytes binary = hex("ff00");
  (void)h(test::logical({{3, 1}}, test::inner_frame(2, &binary)));
  auto traces = h.sink.named("lyra_logical_frame_trace");
  EXPECT_EQ(traces[0]["logical_id"], "1234567890");
  EXPECT_EQ(traces[0]["message_utf8"], "héllo");
  EXPECT_EQ(traces[1]["message_hex"], "ff00");
  EXPECT_EQ(traces[1]["message_utf8"], nullptr);
}

struct DispatchCase {
  std::uint64_t type;
  bool with_message;
  std::vector<std::string> events;
};

class LogicalDispatchTest : public ::testing::TestWithParam<DispatchCase> {};

TEST_P(LogicalDispatchTest, PlainFramesOtherThanSyncAreOnlyReported) {
  Handler h;
  const Bytes message = hex("0801");
  auto r = h(test::logical({{3, 5}}, test::inner_frame(GetParam().type, GetParam().with_message ? &message : nullptr)));
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  EXPECT_EQ(h.names(), GetParam().events);
}

const std::vector<std::string> kReported = {"lyra_transport_frame_trace", "lyra_logical_frame_trace",
                                            "lyra_logical_frame"};

INSTANTIATE_TEST_SUITE_P(Types, LogicalDispatchTest,
                         ::testing::Values(DispatchCase{0, false, kReported}, DispatchCase{1, true, kReported},
                                           DispatchCase{2, true, kReported}, DispatchCase{3, false, kReported},
                                           DispatchCase{4, true, kTraces}, DispatchCase{7, true, kReported},
                                           DispatchCase{1ull << 40, true, kReported}));

TEST(FrameTest, LogicalSyncIsAnswered) {
  Handler h;
  const Bytes message;
  auto r = h(test::logical({{1, 7}, {3, 0x2a}}, test::inner_frame(5, &message)));
  ASSERT_TRUE(r && *r);
  EXPECT_EQ(h.sink.named("lyra_logical_sync").at(0),
            (Json{{"event", "lyra_logical_sync"}, {"protocol", "xiaomi_zedidi"},
                  {"peer", "192.168.1.20:51000"}, {"logical_id", "0000002A"}}));
  Bytes expected_inner = hex("0805322308904e1040221c");
  const Bytes service = test::bytes_of("com.milink.service:smartplay");
  expected_inner.insert(expected_inner.end(), service.begin(), service.end());
  EXPECT_EQ(**r, *wrap_logical({{1, 7}, {3, 0x2a}}, expected_inner));
}

TEST(FrameTest, ChannelFrameWithoutKeyIsRejected) {
  Handler h;
  auto r = h(hex("21040005 07"));
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  EXPECT_EQ(h.sink.named("lyra_channel_frame_rejected").at(0),
            (Json{{"event", "lyra_channel_frame_rejected"}, {"protocol", "xiaomi_zedidi"},
                  {"peer", "192.168.1.20:51000"}, {"channel_id", 7}, {"reason", "missing_session_key"},
                  {"encrypted_hex", ""}}));
  ASSERT_TRUE(h(hex("21040008 01 aabbcc")));
  EXPECT_EQ(h.sink.named("lyra_channel_frame_rejected").at(1)["encrypted_hex"], "aabbcc");
}

Bytes sealed_logical(const Key256& key, const OuterScalars& outer, const Bytes& inner) {
  return test::logical(outer, *seal(key, inner));
}

Bytes channel_frame(std::uint8_t id, ByteSpan record) {
  Bytes body{id};
  body.insert(body.end(), record.begin(), record.end());
  return test::frame(kKindChannel, body);
}

Bytes connect_message(std::uint64_t channel) {
  const Bytes request = pb_join<2>({pb_varint(1, 5), pb_bytes(10, pb_varint(1, channel))});
  return pb_join<2>({pb_bytes(2, test::bytes_of("smartplay")), pb_bytes(3, request)});
}

TEST(SecureFrameTest, HandshakeConnectConfirmAndChannelFrames) {
  Handler h;
  const P256PrivateKey client = test::client_key();
  const Bytes hello = test::handshake_message(Bytes(32, 9), *client.public_point(), 4);
  auto reply = h(test::logical({{3, 0x77}}, test::inner_frame(6, &hello)));
  ASSERT_TRUE(reply && *reply) << (reply ? "" : reply.error().to_string());
  ASSERT_TRUE(h.session.session_key);
  EXPECT_EQ(h.sink.named("lyra_secure_channel_established").at(0),
            (Json{{"event", "lyra_secure_channel_established"}, {"protocol", "xiaomi_zedidi"},
                  {"peer", "192.168.1.20:51000"}, {"logical_id", "00000077"}, {"key_index", 4},
                  {"cipher", "P-256/HKDF-SHA256/AES-256-GCM"}, {"external_account_required", false}}));
  const Key256 key = *h.session.session_key;

  const Bytes connect = connect_message(0x1234);
  auto connected = h(sealed_logical(key, {{3, 0x77}, {4, 1}}, test::inner_frame(1, &connect)));
  ASSERT_TRUE(connected && *connected);
  EXPECT_EQ(h.sink.named("lyra_logical_connection_accepted").at(0),
            (Json{{"event", "lyra_logical_connection_accepted"}, {"protocol", "xiaomi_zedidi"},
                  {"peer", "192.168.1.20:51000"}, {"logical_id", "00000077"}, {"service", "smartplay"},
                  {"client_channel_id", 0x1234}, {"server_channel_id", 1}, {"server_port", 8899}}));
  EXPECT_EQ(h.session.client_channel_id, 0x1234u);
  EXPECT_EQ(h.session.server_channel_id, 1u);

  // A later connect replaces the ids; one without a peer-port request leaves them.
  const Bytes again = connect_message(0x55);
  ASSERT_TRUE(h(sealed_logical(key, {{4, 1}}, test::inner_frame(1, &again))));
  EXPECT_EQ(h.session.client_channel_id, 0x55u);
  const Bytes bare = pb_bytes(2, hex("ff"));
  ASSERT_TRUE(h(sealed_logical(key, {{4, 1}}, test::inner_frame(1, &bare))));
  const Json plain_accept = h.sink.named("lyra_logical_connection_accepted").at(2);
  EXPECT_EQ(plain_accept["service"], "");  // not UTF-8
  EXPECT_EQ(plain_accept["client_channel_id"], nullptr);
  EXPECT_EQ(plain_accept["server_port"], nullptr);
  EXPECT_EQ(h.session.client_channel_id, 0x55u);

  auto confirmed = h(sealed_logical(key, {{3, 0x77}, {4, 1}}, test::inner_frame(3, nullptr)));
  ASSERT_TRUE(confirmed);
  EXPECT_FALSE(*confirmed);
  EXPECT_EQ(h.sink.named("lyra_logical_connection_confirmed").at(0)["playable"], false);

  // Channel frames: any channel id is opened; failures become events, never frame failures.
  ASSERT_TRUE(h(channel_frame(9, *seal(key, test::bytes_of("hello")))));
  EXPECT_EQ(h.sink.named("lyra_channel_frame_decrypted").at(0),
            (Json{{"event", "lyra_channel_frame_decrypted"}, {"protocol", "xiaomi_zedidi"},
                  {"peer", "192.168.1.20:51000"}, {"channel_id", 9}, {"expected_channel_id", 1},
                  {"client_channel_id", 0x55}, {"payload_hex", "68656c6c6f"}, {"payload_utf8", "hello"}}));
  Bytes tampered = *seal(key, test::bytes_of("secret words"));
  tampered[14] ^= 1;
  ASSERT_TRUE(h(channel_frame(1, tampered)));
  ASSERT_TRUE(h(channel_frame(1, Bytes(27, 0))));  // 32-byte frame
  auto failures = h.sink.named("lyra_channel_frame_decrypt_failed");
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0]["error"], "decrypt Lyra logical payload");
  EXPECT_EQ(failures[0]["encrypted_hex"], hex_lower(tampered));
  EXPECT_EQ(failures[1]["error"], "encrypted Lyra payload is too short");
  EXPECT_EQ(failures[1]["expected_channel_id"], 1);
  ASSERT_TRUE(h(channel_frame(1, Bytes(28, 0))));  // 33 bytes: long enough, does not verify
  EXPECT_EQ(h.sink.named("lyra_channel_frame_decrypt_failed").at(2)["error"], "decrypt Lyra logical payload");
  // No event carries the plaintext of what did not authenticate.
  const std::string secret_hex = hex_lower(test::bytes_of("secret"));
  for (const Json& e : h.sink.events()) EXPECT_EQ(e.dump().find(secret_hex), std::string::npos) << e;
}

struct SealedLogicalCase {
  const char* name;
  std::size_t sealed_size;
  bool tamper;
  std::string error;  // empty: opens (to frame type 0)
};

class SealedLogicalTest : public ::testing::TestWithParam<SealedLogicalCase> {};

TEST_P(SealedLogicalTest, OpenedOrFailed) {
  Handler h;
  h.session.session_key = test::key_of(7);
  const SealedLogicalCase& c = GetParam();
  Bytes sealed = c.sealed_size >= 28 ? *seal(*h.session.session_key, Bytes(c.sealed_size - 28, 0))
                                     : Bytes(c.sealed_size, 0);
  if (c.tamper) sealed.back() ^= 0x80;
  auto r = h(test::logical({{3, 1}, {4, 1}}, sealed));
  // Only what opens shows the peer holds the key.
  EXPECT_EQ(h.session.key_confirmed, c.error.empty());
  if (c.error.empty()) {
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(h.sink.named("lyra_logical_frame").at(0)["encrypted"], true);
    EXPECT_EQ(h.sink.named("lyra_logical_frame").at(0)["frame_type"], 0);
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), c.error);
    EXPECT_EQ(h.names(), kTrace);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SealedLogicalTest,
                         ::testing::Values(SealedLogicalCase{"27_too_short", 27, false, "encrypted Lyra payload is too short"},
                                           SealedLogicalCase{"28_empty_plaintext", 28, false, ""},
                                           SealedLogicalCase{"30_tampered_tag", 30, true, "decrypt Lyra logical payload"}),
                         [](const auto& p) { return std::string(p.param.name); });

// A key counts as held by the peer once a sealed channel frame from it opens; one that does not
// open shows nothing, and a fresh handshake puts a new key in place that has yet to be shown.
TEST(SecureFrameTest, KeyIsConfirmedBySealedFramesThatOpen) {
  Handler h;
  const Bytes hello = test::handshake_message(Bytes(32, 9), *test::client_key().public_point());
  ASSERT_TRUE(h(test::logical({{3, 1}}, test::inner_frame(6, &hello))));
  EXPECT_FALSE(h.session.key_confirmed);
  const Key256 key = *h.session.session_key;
  Bytes tampered = *seal(key, test::bytes_of("x"));
  tampered.back() ^= 1;
  ASSERT_TRUE(h(channel_frame(1, tampered)));
  ASSERT_TRUE(h(channel_frame(1, *seal(test::key_of(5), test::bytes_of("x")))));  // another key
  EXPECT_FALSE(h.session.key_confirmed);
  ASSERT_TRUE(h(channel_frame(1, *seal(key, test::bytes_of("x")))));
  EXPECT_TRUE(h.session.key_confirmed);
  ASSERT_TRUE(h(test::logical({{3, 1}}, test::inner_frame(6, &hello))));
  EXPECT_FALSE(h.session.key_confirmed);
}

TEST(SecureFrameTest, FailedHandshakeThroughTheHandlerKeepsTheKey) {
  Handler h;
  h.session.session_key = test::key_of(3);
  const Bytes bad = test::handshake_message(Bytes(31, 9), *test::client_key().public_point());
  auto r = h(test::logical({{3, 1}}, test::inner_frame(6, &bad)));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), "invalid P-256 client notify");
  EXPECT_TRUE(*h.session.session_key == test::key_of(3));
  EXPECT_TRUE(h.sink.named("lyra_secure_channel_established").empty());
}

TEST(SecureFrameTest, ConnectWithoutKeyFailsBeforeAnyEvent) {
  Handler h;
  const Bytes connect = connect_message(1);
  auto r = h(test::logical({{4, 0}}, test::inner_frame(1, &connect)));  // plain: only reported
  ASSERT_TRUE(r);
  EXPECT_EQ(h.names().back(), "lyra_logical_frame");
}

std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

// The length of a logical frame around `inner` bytes, reckoned from the protobuf wire format:
// the outer scalars and field 5 in a record, in field 1, in field 2, behind the 4-byte header.
std::size_t logical_frame_size(const OuterScalars& outer, std::size_t inner) {
  std::size_t record = 1 + varint_size(inner) + inner;
  for (const auto& [n, v] : outer) record += varint_size(std::uint64_t{n} << 3) + varint_size(v);
  const std::size_t message = 1 + varint_size(record) + record;
  return kTransportHeaderSize + 1 + varint_size(message) + message;
}

// `outer` and field-1 scalars of 2 to 11 bytes that make a logical frame around `inner` bytes
// exactly `total` bytes long (in this range every length prefix stays 3 bytes).
OuterScalars padded_outer(OuterScalars outer, std::size_t inner, std::size_t total) {
  const auto add = [&outer](std::size_t bytes) {  // tag byte and a varint of bytes - 1
    outer.emplace_back(1, bytes == 2 ? 1 : 1ull << (7 * (bytes - 2)));
  };
  while (total - logical_frame_size(outer, inner) > 12) add(11);
  const std::size_t rest = total - logical_frame_size(outer, inner);
  if (rest == 12) {
    add(6);
    add(6);
  } else if (rest >= 2) {
    add(rest);
  }
  EXPECT_EQ(logical_frame_size(outer, inner), total);
  return outer;
}

// Field 5 of a logical frame's record: the inner frame's length.
std::size_t inner_size(const Bytes& frame) {
  const auto record = *bytes_field(**bytes_field(ByteSpan(frame).subspan(kTransportHeaderSize), 2), 1);
  return (*bytes_field(*record, 5))->size();
}

struct ReplySizeCase {
  const char* name;
  bool connect;  // else a handshake
  std::size_t reply_size;
  std::string error;  // empty: answered
};

class ReplySizeTest : public ::testing::TestWithParam<ReplySizeCase> {};

// A reply longer than one datagram carries fails before the handler changes or reports anything:
// the old key and channel ids stay, and only the two traces are out.
TEST_P(ReplySizeTest, ReplyThatNoDatagramCarriesChangesNothing) {
  const ReplySizeCase& c = GetParam();
  const Key256 old_key = test::key_of(0x5a);
  Handler h;
  h.session.session_key = old_key;
  h.session.client_channel_id = 55;
  h.session.server_channel_id = 1;
  const Bytes hello = test::handshake_message(Bytes(32, 9), *test::client_key().public_point(), 4);
  // Without a service name the connect request is shorter than its reply, so each fits its frame.
  const Bytes connect = pb_bytes(3, pb_join<2>({pb_varint(1, 5), pb_bytes(10, pb_varint(1, 119))}));
  Bytes request;
  if (c.connect) {
    PeerSession scratch = h.session;
    LogicalFrame probe;
    probe.outer_scalars = {{3, 0x21}, {4, 1}};
    probe.message = ByteSpan(connect);
    const std::size_t inner = inner_size(build_connect_success_response(probe, scratch, 8899)->frame);
    request = sealed_logical(old_key, padded_outer({{3, 0x21}, {4, 1}}, inner, c.reply_size),
                             test::inner_frame(1, &connect));
  } else {
    PeerSession scratch;
    const std::size_t inner = inner_size(build_auth_server_notify({{3, 0x21}}, hello, scratch)->frame);
    request = test::logical(padded_outer({{3, 0x21}}, inner, c.reply_size), test::inner_frame(6, &hello));
  }
  ASSERT_LE(request.size(), 0xffffu);

  auto r = h(request);
  const char* event = c.connect ? "lyra_logical_connection_accepted" : "lyra_secure_channel_established";
  if (c.error.empty()) {
    ASSERT_TRUE(r && *r) << (r ? "" : r.error().to_string());
    EXPECT_EQ((*r)->size(), c.reply_size);
    EXPECT_EQ(h.sink.named(event).size(), 1u);
    EXPECT_EQ(h.session.client_channel_id, c.connect ? 119u : 55u);
    EXPECT_EQ(*h.session.session_key == old_key, c.connect);
    return;
  }
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), c.error);
  EXPECT_EQ(h.names(), kTraces);
  EXPECT_TRUE(*h.session.session_key == old_key);
  EXPECT_EQ(h.session.client_channel_id, 55u);
  EXPECT_EQ(h.session.server_channel_id, 1u);
}

const std::string kNoDatagram = "Lyra reply frame of 65484 bytes exceeds the datagram limit of 65483";
const std::string kNoDatagramMax = "Lyra reply frame of 65535 bytes exceeds the datagram limit of 65483";
const std::string kNoLength = "Lyra frame of 65536 bytes does not fit its 16-bit length";

INSTANTIATE_TEST_SUITE_P(
    Window, ReplySizeTest,
    ::testing::Values(ReplySizeCase{"handshake_largest_datagram", false, 65483, ""},
                      ReplySizeCase{"handshake_one_byte_over", false, 65484, kNoDatagram},
                      ReplySizeCase{"handshake_largest_length_field", false, 65535, kNoDatagramMax},
                      ReplySizeCase{"handshake_over_the_length_field", false, 65536, kNoLength},
                      ReplySizeCase{"connect_largest_datagram", true, 65483, ""},
                      ReplySizeCase{"connect_one_byte_over", true, 65484, kNoDatagram},
                      ReplySizeCase{"connect_largest_length_field", true, 65535, kNoDatagramMax},
                      ReplySizeCase{"connect_over_the_length_field", true, 65536, kNoLength}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace sonvale::lyra
