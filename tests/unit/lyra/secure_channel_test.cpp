#include "lyra/secure_channel.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "lyra_test_crypto.h"

namespace sonvale::lyra {
namespace {

using test::hex;

const Bytes kClientNonce(32, 0xc1);

struct ServerHello {
  std::uint64_t key_index;
  Bytes nonce;
  Bytes point;
};

// Takes a handshake reply apart by the layout the phone expects, checking every constant.
ServerHello parse_reply(const Bytes& frame, const OuterScalars& outer) {
  ServerHello out{};
  auto record = *bytes_field(**bytes_field(ByteSpan(frame).subspan(4), 2), 1);
  const PbFields rf = *parse_fields(*record);
  OuterScalars echoed;
  for (const PbField& f : rf) {
    if (f.value.kind == PbValue::Kind::kVarint) echoed.emplace_back(f.number, f.value.varint);
  }
  EXPECT_EQ(echoed, outer);
  const ByteSpan inner = *first_bytes(rf, 5);
  const PbFields inner_fields = *parse_fields(inner);
  EXPECT_EQ(first_varint(inner_fields, 1), 6u);
  const ByteSpan message = *first_bytes(inner_fields, 7);
  out.key_index = *first_varint(*parse_fields(message), 1);
  const ByteSpan handshake = *first_bytes(*parse_fields(message), 2);
  EXPECT_EQ(first_varint(*parse_fields(handshake), 1), 5u);
  EXPECT_EQ(first_varint(*parse_fields(handshake), 2), 6u);
  const ByteSpan key_agree = *first_bytes(*parse_fields(handshake), 8);
  EXPECT_EQ(first_varint(*parse_fields(key_agree), 1), 2u);
  const ByteSpan notify = *first_bytes(*parse_fields(key_agree), 3);
  const ByteSpan entry = *first_bytes(*parse_fields(notify), 1);
  const PbFields ef = *parse_fields(entry);
  EXPECT_EQ(first_varint(ef, 1), 1u);
  EXPECT_EQ(first_varint(ef, 3), 32u);
  EXPECT_EQ(first_varint(ef, 4), 2u);
  const ByteSpan nonce = *first_bytes(ef, 2);
  const ByteSpan generic = *first_bytes(ef, 5);
  EXPECT_EQ(first_varint(*parse_fields(generic), 1), 1u);
  const ByteSpan point = *first_bytes(*parse_fields(generic), 2);
  out.nonce.assign(nonce.begin(), nonce.end());
  out.point.assign(point.begin(), point.end());
  // The reply is exactly the documented fields in their order.
  Bytes gpk = pb_varint(1, 1);
  pb_bytes_into(gpk, 2, point);
  Bytes e = pb_join<5>({pb_varint(1, 1), pb_bytes(2, nonce), pb_varint(3, 32), pb_varint(4, 2), pb_bytes(5, gpk)});
  Bytes ka = pb_join<2>({pb_varint(1, 2), pb_bytes(3, pb_bytes(1, e))});
  Bytes hs = pb_join<3>({pb_varint(1, 5), pb_varint(2, 6), pb_bytes(8, ka)});
  Bytes msg = pb_join<2>({pb_varint(1, out.key_index), pb_bytes(2, hs)});
  EXPECT_EQ(Bytes(inner.begin(), inner.end()), pb_join<2>({pb_varint(1, 6), pb_bytes(7, msg)}));
  return out;
}

TEST(HandshakeTest, DerivesTheKeyThePhoneDerives) {
  const P256PrivateKey client = test::client_key();
  const P256Point client_point = *client.public_point();
  PeerSession session;
  const OuterScalars outer = {{3, 0x10}, {4, 1}};
  auto reply = build_auth_server_notify(outer, test::handshake_message(kClientNonce, client_point), session);
  ASSERT_TRUE(reply) << reply.error().to_string();
  EXPECT_EQ(reply->key_index, 7u);
  const ServerHello hello = parse_reply(reply->frame, outer);
  ASSERT_EQ(hello.nonce.size(), 32u);
  ASSERT_EQ(hello.point.size(), 65u);
  EXPECT_EQ(hello.key_index, 7u);
  auto shared = client.shared_secret(*P256PublicKey::parse(hello.point));
  ASSERT_TRUE(shared);
  ASSERT_TRUE(session.session_key);
  EXPECT_TRUE(*derive_session_key(*shared, kClientNonce, hello.nonce) == *session.session_key);
}

TEST(HandshakeTest, FieldSixServesWhenEightIsMissingAndIndexDefaultsToZero) {
  const P256Point point = *test::client_key().public_point();
  PeerSession session;
  auto six = build_auth_server_notify({}, test::handshake_message(kClientNonce, point, std::nullopt, 6), session);
  ASSERT_TRUE(six) << six.error().to_string();
  EXPECT_EQ(six->key_index, 0u);
  EXPECT_EQ(parse_reply(six->frame, {}).key_index, 0u);
  // With both, field 8 counts: a broken field 6 after it is not read.
  Bytes both = test::handshake_message(kClientNonce, point);
  const Bytes handshake_with_six = pb_join<2>({pb_bytes(8, *bytes_field(**bytes_field(both, 2), 8).value()), pb_bytes(6, hex("00"))});
  const Bytes message = pb_join<2>({pb_varint(1, 3), pb_bytes(2, handshake_with_six)});
  EXPECT_TRUE(build_auth_server_notify({}, message, session));
}

TEST(HandshakeTest, IdenticalRequestsGiveFreshKeys) {
  const Bytes request = test::handshake_message(kClientNonce, *test::client_key().public_point());
  PeerSession a, b;
  auto ra = build_auth_server_notify({}, request, a);
  auto rb = build_auth_server_notify({}, request, b);
  ASSERT_TRUE(ra && rb);
  const ServerHello ha = parse_reply(ra->frame, {});
  const ServerHello hb = parse_reply(rb->frame, {});
  EXPECT_NE(ha.nonce, hb.nonce);
  EXPECT_NE(ha.point, hb.point);
  EXPECT_FALSE(*a.session_key == *b.session_key);
}

struct RejectCase {
  const char* name;
  Bytes message;
  std::string error;
};

Bytes point_with(std::uint8_t first_byte, std::size_t size) {
  const P256Point point = *test::client_key().public_point();
  Bytes p(point.begin(), point.end());
  p.resize(size, 0);
  p[0] = first_byte;
  return p;
}

Bytes valid_point() { return point_with(0x04, 65); }

Bytes off_curve() {
  Bytes p = valid_point();
  p[64] ^= 1;
  return p;
}

Bytes x_is_p() {
  Bytes p = valid_point();
  const Bytes prime = hex("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
  std::copy(prime.begin(), prime.end(), p.begin() + 1);
  return p;
}

// Handshake messages with one step of the path missing.
Bytes nest(std::initializer_list<std::uint32_t> path, Bytes leaf) {
  std::vector<std::uint32_t> numbers(path);
  for (auto it = numbers.rbegin(); it != numbers.rend(); ++it) leaf = pb_bytes(*it, leaf);
  return leaf;
}

class HandshakeRejectionTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(HandshakeRejectionTest, FailsAndKeepsTheOldKey) {
  PeerSession session;
  session.session_key = test::key_of(0x5a);
  auto r = build_auth_server_notify({}, GetParam().message, session);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), GetParam().error);
  ASSERT_TRUE(session.session_key);
  EXPECT_TRUE(*session.session_key == test::key_of(0x5a));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

const std::string kInvalid = "invalid P-256 client notify";
const std::string kParse = "parse client P-256 key: P-256 point is not on the curve";

INSTANTIATE_TEST_SUITE_P(
    Cases, HandshakeRejectionTest,
    ::testing::Values(
        RejectCase{"no_handshake", pb_varint(1, 1), "missing auth handshake"},
        RejectCase{"codec_error", hex("0b"), "unsupported protobuf wire type 3"},
        RejectCase{"no_key_agree", nest({2}, pb_bytes(7, hex("00"))), "missing key-agree frame"},
        RejectCase{"no_client_notify", nest({2, 8}, pb_varint(2, 1)), "missing client notify"},
        RejectCase{"no_cipher_suites", nest({2, 8, 2}, {}), "missing cipher suites"},
        RejectCase{"no_client_nonce", nest({2, 8, 2, 1}, pb_bytes(5, pb_bytes(2, valid_point()))),
                   "missing client nonce"},
        RejectCase{"no_generic_key", nest({2, 8, 2, 1}, pb_bytes(2, kClientNonce)), "missing generic public key"},
        RejectCase{"no_point", nest({2, 8, 2, 1}, pb_join<2>({pb_bytes(2, kClientNonce), pb_bytes(5, pb_varint(1, 1))})),
                   "missing P-256 public key"},
        RejectCase{"nonce_31", test::handshake_message(Bytes(31, 1), valid_point()), kInvalid},
        RejectCase{"nonce_33", test::handshake_message(Bytes(33, 1), valid_point()), kInvalid},
        RejectCase{"key_64", test::handshake_message(kClientNonce, point_with(0x04, 64)), kInvalid},
        RejectCase{"key_66", test::handshake_message(kClientNonce, point_with(0x04, 66)), kInvalid},
        RejectCase{"compressed_33", test::handshake_message(kClientNonce, point_with(0x02, 33)), kInvalid},
        RejectCase{"prefix_02", test::handshake_message(kClientNonce, point_with(0x02, 65)), kInvalid},
        RejectCase{"hybrid_06", test::handshake_message(kClientNonce, point_with(0x06, 65)), kInvalid},
        RejectCase{"hybrid_07", test::handshake_message(kClientNonce, point_with(0x07, 65)), kInvalid},
        RejectCase{"off_curve", test::handshake_message(kClientNonce, off_curve()), kParse},
        RejectCase{"x_not_below_p", test::handshake_message(kClientNonce, x_is_p()), kParse}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(HandshakeTest, ReplyTooLongToFrameKeepsTheOldKey) {
  PeerSession session;
  session.session_key = test::key_of(0x5a);
  OuterScalars outer(6000, {1, ~0ull});  // each echoed scalar takes 11 bytes
  auto r = build_auth_server_notify(outer, test::handshake_message(kClientNonce, valid_point()), session);
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().to_string().find("does not fit its 16-bit length"), std::string::npos);
  EXPECT_TRUE(*session.session_key == test::key_of(0x5a));
}

struct OpenCase {
  const char* name;
  std::size_t size;       // sealed bytes made by seal() of (size - 28) bytes, then cut or tampered
  std::ptrdiff_t flip;    // byte to flip, -1 for none
  std::string error;      // empty: opens
  std::size_t cut = 0;    // bytes cut from the end
};

class OpenSealedTest : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpenSealedTest, OpensOrFailsWithText) {
  const Key256 key = test::key_of(0x33);
  const OpenCase& c = GetParam();
  Bytes sealed;
  if (c.size >= kSealedOverhead) {
    sealed = *seal(key, Bytes(c.size - kSealedOverhead, 0x61));
  } else {
    sealed = Bytes(c.size, 0);
  }
  if (c.flip >= 0) sealed[static_cast<std::size_t>(c.flip)] ^= 0x01;
  if (c.cut) sealed.resize(sealed.size() - c.cut);
  auto r = open_sealed(key, sealed);
  if (c.error.empty()) {
    ASSERT_TRUE(r) << r.error().to_string();
    EXPECT_EQ(*r, Bytes(c.size - kSealedOverhead, 0x61));
  } else {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), c.error);
  }
}

const std::string kDecrypt = "decrypt Lyra logical payload";

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenSealedTest,
    ::testing::Values(OpenCase{"size_27", 27, -1, "encrypted Lyra payload is too short"},
                      OpenCase{"size_0", 0, -1, "encrypted Lyra payload is too short"},
                      OpenCase{"size_28_empty_plaintext", 28, -1, ""}, OpenCase{"size_40", 40, -1, ""},
                      OpenCase{"tampered_nonce", 40, 0, kDecrypt}, OpenCase{"tampered_nonce_end", 40, 11, kDecrypt},
                      OpenCase{"tampered_ciphertext", 40, 12, kDecrypt},
                      OpenCase{"tampered_tag", 40, 24, kDecrypt}, OpenCase{"tampered_tag_end", 40, 39, kDecrypt},
                      // A 4-byte tag: the last 12 tag bytes cut off; the tag is always 16 bytes.
                      OpenCase{"four_byte_tag", 40, -1, kDecrypt, 12},
                      OpenCase{"four_byte_tag_empty_plaintext", 28, -1, "encrypted Lyra payload is too short", 12}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SealTest, FreshNonceEveryTimeAndWrongKeyFails) {
  const Key256 key = test::key_of(1);
  const Bytes a = *seal(key, hex("0802"));
  const Bytes b = *seal(key, hex("0802"));
  EXPECT_FALSE(std::equal(a.begin(), a.begin() + 12, b.begin()));
  EXPECT_EQ(*open_sealed(key, a), hex("0802"));
  EXPECT_EQ(*open_sealed(key, b), hex("0802"));
  EXPECT_EQ(open_sealed(test::key_of(2), a).error().to_string(), kDecrypt);
}

}  // namespace
}  // namespace sonvale::lyra
