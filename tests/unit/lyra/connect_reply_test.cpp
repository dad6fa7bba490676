#include <gtest/gtest.h>

#include "lyra/replies.h"
#include "lyra_test_crypto.h"

namespace sonvale::lyra {
namespace {

using test::hex;

const Key256 kKey = test::key_of(0x42);

// The frame views `message`, which must outlive it.
LogicalFrame connect_request(const std::optional<Bytes>& message) {
  LogicalFrame f;
  f.outer_scalars = {{3, 0x99}, {4, 1}};
  f.frame_type = 1;
  f.encrypted = true;
  if (message) f.message = ByteSpan(*message);
  return f;
}

PeerSession keyed() {
  PeerSession s;
  s.session_key = kKey;
  return s;
}

// Opens a connect reply frame: (echoed outer scalars, plaintext inner frame).
std::pair<OuterScalars, Bytes> open_reply(const Bytes& frame) {
  auto record = *bytes_field(**bytes_field(ByteSpan(frame).subspan(4), 2), 1);
  OuterScalars outer;
  const PbFields fields = *parse_fields(*record);
  for (const PbField& f : fields) {
    if (f.value.kind == PbValue::Kind::kVarint) outer.emplace_back(f.number, f.value.varint);
  }
  return {outer, *open_sealed(kKey, **bytes_field(*record, 5))};
}

Bytes message_with_request(const Bytes& request) { return pb_join<2>({pb_bytes(2, test::bytes_of("svc")), pb_bytes(3, request)}); }

const Bytes kAnswer = hex("08 07 10 01 18 c3 45 28 01 30 00");

struct ConnectCase {
  const char* name;
  std::optional<Bytes> message;
  Bytes inner;
  std::optional<std::uint64_t> channel;
};

class ConnectReplyTest : public ::testing::TestWithParam<ConnectCase> {};

TEST_P(ConnectReplyTest, SealedInnerFrameAndAcceptedConnection) {
  const ConnectCase& c = GetParam();
  auto reply = build_connect_success_response(connect_request(c.message), keyed(), 8899);
  ASSERT_TRUE(reply) << reply.error().to_string();
  const auto [outer, inner] = open_reply(reply->frame);
  EXPECT_EQ(outer, (OuterScalars{{3, 0x99}, {4, 1}}));
  EXPECT_EQ(hex_lower(inner), hex_lower(c.inner));
  if (c.channel) {
    ASSERT_TRUE(reply->accepted);
    EXPECT_EQ(reply->accepted->client_channel_id, *c.channel);
    EXPECT_EQ(reply->accepted->server_channel_id, 1u);
    EXPECT_EQ(reply->accepted->server_port, 8899);
  } else {
    EXPECT_FALSE(reply->accepted);
  }
}

// {1: 5, 10: {1: 7}, 11: X, 12: Y}
const Bytes kPortRequest = pb_join<4>({pb_varint(1, 5), pb_bytes(10, pb_varint(1, 7)), pb_bytes(11, hex("aa")),
                                       pb_bytes(12, hex("bb"))});
// A request without a peer-port request, with a fixed32 field: copied whole.
const Bytes kPlainRequest = hex("08 05 15 01 02 03 04 22 01 cc");
// A fixed32 and a varint beside a peer-port request: the fixed field is dropped.
const Bytes kPortRequestWithFixed = pb_join<3>({hex("15 01 02 03 04"), pb_bytes(10, pb_varint(1, 1ull << 40)), pb_varint(9, 3)});

Bytes inner_with(const Bytes& part) { return pb_join<2>({pb_varint(1, 2), pb_bytes(3, part)}); }

Bytes answer_for(std::uint64_t channel) {
  return pb_join<5>({pb_varint(1, channel), pb_varint(2, 1), pb_varint(3, 8899), pb_varint(5, 1), pb_varint(6, 0)});
}

INSTANTIATE_TEST_SUITE_P(
    Goldens, ConnectReplyTest,
    ::testing::Values(
        ConnectCase{"no_message", std::nullopt, hex("08021a00"), std::nullopt},
        ConnectCase{"message_without_request", pb_bytes(2, test::bytes_of("svc")), hex("08021a00"), std::nullopt},
        ConnectCase{"request_without_peer_port", message_with_request(kPlainRequest),
                    inner_with(pb_join<2>({pb_varint(1, 0), pb_bytes(2, kPlainRequest)})), std::nullopt},
        ConnectCase{"peer_port_answered",
                    message_with_request(kPortRequest),
                    inner_with(pb_join<2>({pb_varint(1, 0),
                                           pb_bytes(2, pb_join<3>({hex("0805"), pb_bytes(12, hex("bb")),
                                                                   pb_bytes(11, kAnswer)}))})),
                    7},
        ConnectCase{"fixed_field_dropped_beside_peer_port", message_with_request(kPortRequestWithFixed),
                    inner_with(pb_join<2>({pb_varint(1, 0), pb_bytes(2, pb_join<2>({pb_varint(9, 3),
                                                                                      pb_bytes(11, answer_for(1ull << 40))}))})),
                    1ull << 40}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ConnectReplyGoldenTest, PeerPortAnswerBytes) { EXPECT_EQ(answer_for(7), kAnswer); }

struct ConnectFailCase {
  const char* name;
  std::optional<Bytes> message;
  bool with_key;
  std::string error;
};

class ConnectRejectionTest : public ::testing::TestWithParam<ConnectFailCase> {};

TEST_P(ConnectRejectionTest, Fails) {
  const ConnectFailCase& c = GetParam();
  auto reply = build_connect_success_response(connect_request(c.message), c.with_key ? keyed() : PeerSession{}, 8899);
  ASSERT_FALSE(reply);
  EXPECT_EQ(reply.error().to_string(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectRejectionTest,
    ::testing::Values(
        ConnectFailCase{"peer_port_without_channel_id", message_with_request(pb_bytes(10, pb_varint(2, 1))), true,
                        "Lyra peer-port request is missing client channel id"},
        ConnectFailCase{"peer_port_without_channel_id_and_key", message_with_request(pb_bytes(10, {})), false,
                        "Lyra peer-port request is missing client channel id"},
        ConnectFailCase{"message_codec_error", hex("0b"), true, "unsupported protobuf wire type 3"},
        ConnectFailCase{"request_codec_error", message_with_request(hex("0f")), true, "unsupported protobuf wire type 7"},
        ConnectFailCase{"peer_port_codec_error", message_with_request(pb_bytes(10, hex("08"))), true,
                        "truncated protobuf varint"},
        ConnectFailCase{"no_key", message_with_request(kPortRequest), false, "missing Lyra session key"},
        ConnectFailCase{"no_key_without_message", std::nullopt, false, "missing Lyra session key"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ConnectReplyTest, TwoRepliesDifferButOpenAlike) {
  const std::optional<Bytes> message = message_with_request(kPortRequest);
  const LogicalFrame request = connect_request(message);
  auto a = build_connect_success_response(request, keyed(), 8899);
  auto b = build_connect_success_response(request, keyed(), 8899);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->frame, b->frame);
  EXPECT_EQ(open_reply(a->frame).second, open_reply(b->frame).second);
}

}  // namespace
}  // namespace sonvale::lyra
