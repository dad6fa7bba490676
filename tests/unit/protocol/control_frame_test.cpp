#include "protocol/control_frame.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "core/encoding.h"

namespace sonvale {
namespace {

// Golden values from tests/unit/protocol/golden_vectors.py (Python `cryptography` and a bitwise
// CRC written from the published parameters).
constexpr const char* kKey = "0123456789abcdef";
constexpr const char* kEncryptedEmpty =
    "000701e010e9bb245d72727e881edcfd0100a718687909b565";
constexpr const char* kEncryptedHelloAfterEmpty =
    "000701e00bd3b3c7eebe6a53d48142fa9f9c5d479211cf2a5e";
constexpr const char* kEncrypted17AfterHello =
    "000701e00fd46afdc843296032c977f5c417a5a0c2bcd985392b6280b1707b590b401c975a80f724fe";

std::array<std::uint8_t, 16> key16(std::string_view s) {
  std::array<std::uint8_t, 16> k{};
  std::copy(s.begin(), s.end(), k.begin());
  return k;
}
Bytes hex(std::string_view h) { return *hex_decode(h); }
Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(Crc32Mpeg2Test, CheckValueAndTableEntryOne) {
  EXPECT_EQ(crc32_mpeg2(as_bytes("123456789")), 0x0376E6E7u);
  EXPECT_EQ(crc32_mpeg2({}), 0xFFFFFFFFu);
}

TEST(ControlCipherTest, EncryptsLikeAnIndependentImplementationWithChainedIv) {
  ControlCipher cipher(key16(kKey));
  EXPECT_EQ(hex_lower(cipher.encrypt({})), kEncryptedEmpty);
  EXPECT_EQ(hex_lower(cipher.encrypt(as_bytes("hello"))), kEncryptedHelloAfterEmpty);
  EXPECT_EQ(hex_lower(cipher.encrypt(as_bytes("seventeen bytes!!"))), kEncrypted17AfterHello);

  ControlCipher receiver(key16(kKey));
  EXPECT_EQ(*receiver.decrypt(hex(kEncryptedEmpty)), Bytes{});
  EXPECT_EQ(*receiver.decrypt(hex(kEncryptedHelloAfterEmpty)), text("hello"));
  EXPECT_EQ(*receiver.decrypt(hex(kEncrypted17AfterHello)), text("seventeen bytes!!"));
}

TEST(ControlCipherTest, PaddingLengthAndBodySizeByPlaintextLength) {
  struct Case {
    std::size_t n, pad, size;
  };
  for (const Case c : {Case{0, 16, 25}, Case{15, 1, 25}, Case{16, 16, 41}, Case{17, 15, 41}}) {
    ControlCipher cipher(key16(kKey));
    const Bytes body = cipher.encrypt(Bytes(c.n, 0x41));
    EXPECT_EQ(body.size(), c.size) << c.n;
    EXPECT_EQ(body[4], c.pad) << c.n;
  }
}

TEST(ControlCipherTest, SamePlaintextTwiceDiffersAndIvIsLastBlock) {
  ControlCipher cipher(key16(kKey));
  const Bytes a = cipher.encrypt(as_bytes("same"));
  EXPECT_TRUE(std::equal(a.end() - 16, a.end(), cipher.iv().begin()));
  const Bytes b = cipher.encrypt(as_bytes("same"));
  EXPECT_NE(a, b);
}

// Re-encrypts with a forged padding length byte and a fixed-up checksum.
Bytes with_padding_byte(std::uint8_t pad) {
  ControlCipher cipher(key16(kKey));
  Bytes body = cipher.encrypt(as_bytes("x"));
  body[4] = pad;
  return body;
}

Bytes with_checksum(Bytes body, std::uint32_t crc_le) {
  body[5] = static_cast<std::uint8_t>(crc_le);
  body[6] = static_cast<std::uint8_t>(crc_le >> 8);
  body[7] = static_cast<std::uint8_t>(crc_le >> 16);
  body[8] = static_cast<std::uint8_t>(crc_le >> 24);
  return body;
}

struct RejectCase {
  const char* name;
  Bytes body;
  std::string message;
};

class DecryptRejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(DecryptRejectTest, RejectsWithItsTextAndKeepsTheIv) {
  ControlCipher cipher(key16(kKey));
  const auto before = cipher.iv();
  auto r = cipher.decrypt(GetParam().body);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(), GetParam().message);
  EXPECT_EQ(cipher.iv(), before);
}

Bytes marker_then(std::size_t total) {
  Bytes b(total, 0);
  std::copy(kEncryptedMarker.begin(), kEncryptedMarker.end(), b.begin());
  return b;
}

Bytes ciphertext_crc_of(std::string_view digits) {
  // A 25-byte body whose ciphertext is 16 bytes; checksum bytes 00 00 00 01 in travel order.
  Bytes b = marker_then(25);
  b[4] = 16;
  std::copy(digits.begin(), digits.end(), b.begin() + 9);
  return with_checksum(b, 0x01000000u);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DecryptRejectTest,
    ::testing::Values(
        RejectCase{"len24", marker_then(24), "invalid encrypted ZeDidi body length 24"},
        RejectCase{"len26", marker_then(26), "invalid encrypted ZeDidi body length 26"},
        RejectCase{"len4", marker_then(4), "invalid encrypted ZeDidi body length 4"},
        RejectCase{"pad0", with_padding_byte(0), "invalid ZeDidi zero-padding length 0"},
        RejectCase{"pad17", with_padding_byte(17), "invalid ZeDidi zero-padding length 17"},
        RejectCase{"crc", ciphertext_crc_of("0123456789abcdef"),
                   "ZeDidi encrypted-body integrity mismatch: received 00000001, expected " +
                       [] {
                         const std::uint32_t c = crc32_mpeg2(as_bytes("0123456789abcdef"));
                         return fmt::format("{:02x}{:02x}{:02x}{:02x}", c & 0xff, (c >> 8) & 0xff,
                                            (c >> 16) & 0xff, c >> 24);
                       }()}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(ControlCipherTest, ChecksumMismatchShowsTravelOrderOfTheCheckValue) {
  // Ciphertext bytes whose CRC is the check value cannot be chosen freely; instead show that the
  // expected part is the computed CRC byte-reversed, using a known CRC.
  Bytes body = marker_then(25);
  body[4] = 16;
  const std::uint32_t crc = crc32_mpeg2(ByteSpan(body).subspan(9));
  body = with_checksum(body, crc ^ 1u);
  ControlCipher cipher(key16(kKey));
  const std::string msg = cipher.decrypt(body).error().to_string();
  const std::string expected = fmt::format("{:02x}{:02x}{:02x}{:02x}", crc & 0xff, (crc >> 8) & 0xff,
                                           (crc >> 16) & 0xff, crc >> 24);
  EXPECT_TRUE(msg.ends_with("expected " + expected)) << msg;
}

TEST(ControlCipherTest, PaddingSixteenWithNonZeroPaddingBytesIsAccepted) {
  // Encrypt 16 bytes of 'A' without the zero block and claim padding 16: all are dropped.
  ControlCipher enc(key16(kKey));
  Bytes body = enc.encrypt(Bytes(16, 'A'));  // 41 bytes, second block is zero padding
  Bytes forged(body.begin(), body.begin() + 25);  // marker, pad 16, crc, first block only
  const std::uint32_t crc = crc32_mpeg2(ByteSpan(forged).subspan(9));
  forged = with_checksum(forged, crc);
  ControlCipher dec(key16(kKey));
  auto r = dec.decrypt(forged);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->empty());
}

TEST(FrameHeaderTest, AcceptsLimitAndRejectsAboveAndBadMagic) {
  std::array<std::uint8_t, 9> raw = {0x24, 0x00, 0x28, 0x00, 0x04, 0x01, 0x00, 0x00, 0x00};
  auto ok = parse_frame_header(raw);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->body_length, 16777216u);
  EXPECT_EQ(ok->command, 40);
  EXPECT_EQ(ok->value_type, 4);
  raw[8] = 1;
  EXPECT_EQ(parse_frame_header(raw).error().to_string(), "invalid ZeDidi body length 16777217");
  raw = {0x23, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  EXPECT_EQ(parse_frame_header(raw).error().to_string(),
            "invalid ZeDidi control header 230102030405060708");
}

TEST(FrameHeaderTest, FirstFrameHeaderBytes) {
  EXPECT_EQ(hex_lower(encode_frame_header(FrameHeader{0, 40, 4, 14})), "24002800040000000e");
}

TEST(WrapperTest, WrapsLikeTheGoldenEntriesAndLimitsLengths) {
  EXPECT_EQ(hex_lower(*wrap_payload(as_bytes("cmd"), as_bytes("{\"a\":1}"))),
            "03636d641e000000077b2261223a317d");
  EXPECT_EQ(hex_lower(*wrap_payload({}, {})), "001e00000000");
  const Bytes data131(131, 0x5a);
  const Bytes entry = *wrap_payload(as_bytes("abc"), data131);
  ASSERT_EQ(entry.size(), 140u);
  EXPECT_EQ(hex_lower(ByteSpan(entry).first(9)), "036162631e00000083");
  EXPECT_TRUE(wrap_payload(Bytes(255, 'k'), Bytes(255, 'd')));
  for (const auto& [k, d] : {std::pair{256, 0}, std::pair{0, 256}}) {
    EXPECT_EQ(wrap_payload(Bytes(static_cast<std::size_t>(k), 'k'), Bytes(static_cast<std::size_t>(d), 'd'))
                  .error()
                  .to_string(),
              "ZeDidi wrapped payload exceeds one-byte length field");
  }
}

// The framed body of every mode, built in one buffer, equals the wrapper entry and the encryption
// that the golden vectors above fix, with the IV chained across the frames as they go out.
TEST(EncodeFrameBodyTest, EveryModeMatchesTheWrapperAndCipherItComposes) {
  using M = Outgoing::Mode;
  struct Case {
    const char* name;
    M mode;
    std::string key;
    Bytes body;
  };
  const Case cases[] = {
      {"plain_empty", M::kPlain, "", {}},
      {"plain", M::kPlain, "ignored", text("hello")},
      {"wrapped", M::kWrapped, "ack", text("{\"a\":1}")},
      {"wrapped_limits", M::kWrapped, std::string(255, 'k'), Bytes(255, 'd')},
      {"encrypted_empty", M::kEncrypted, "", {}},
      {"encrypted_one_block", M::kEncrypted, "", Bytes(16, 'A')},
      {"encrypted_17", M::kEncrypted, "", text("seventeen bytes!!")},
      {"wrapped_encrypted", M::kWrappedEncrypted, "cmd", text("{\"authMsg\":\"x\"}")},
      {"wrapped_encrypted_aligned", M::kWrappedEncrypted, "ab", Bytes(8, 'z')},  // 16 bytes
      {"wrapped_encrypted_limits", M::kWrappedEncrypted, std::string(255, 'k'), Bytes(255, 'd')},
  };
  ControlCipher sender(key16(kKey));
  ControlCipher twin(key16(kKey));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Outgoing message;
    message.mode = c.mode;
    message.wrapper_key = c.key;
    message.body = c.body;
    Bytes expected = c.body;
    if (c.mode == M::kWrapped || c.mode == M::kWrappedEncrypted) {
      expected = *wrap_payload(as_bytes(c.key), c.body);
    }
    if (c.mode == M::kEncrypted || c.mode == M::kWrappedEncrypted) expected = twin.encrypt(expected);
    auto body = encode_frame_body(message, sender);
    ASSERT_TRUE(body) << body.error().to_string();
    EXPECT_EQ(hex_lower(*body), hex_lower(expected));
    EXPECT_LE(body->size(), queued_frame_bytes(message) - kFrameHeaderSize);
    EXPECT_EQ(sender.iv(), twin.iv());
  }
  // A key or body beyond its one-byte length fails before the cipher moves on.
  for (const auto& [k, d] : {std::pair{256, 0}, std::pair{0, 256}}) {
    Outgoing message;
    message.mode = M::kWrappedEncrypted;
    message.wrapper_key = std::string(static_cast<std::size_t>(k), 'k');
    message.body = Bytes(static_cast<std::size_t>(d), 'd');
    EXPECT_EQ(encode_frame_body(message, sender).error().to_string(),
              "ZeDidi wrapped payload exceeds one-byte length field");
    EXPECT_EQ(sender.iv(), twin.iv());
  }
}

struct UnwrapCase {
  const char* name;
  std::string hex;
  std::optional<std::string> error;
  std::string key;
  std::uint32_t type;
  std::string data_hex;
};

class UnwrapTest : public ::testing::TestWithParam<UnwrapCase> {};

TEST_P(UnwrapTest, ReadsOrRejects) {
  const auto& c = GetParam();
  auto r = unwrap_payload(hex(c.hex));
  if (c.error) {
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), *c.error);
    return;
  }
  ASSERT_TRUE(r) << r.error().to_string();
  EXPECT_EQ(r->key, c.key);
  EXPECT_EQ(r->entry_type, c.type);
  EXPECT_EQ(hex_lower(r->data), c.data_hex);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, UnwrapTest,
    ::testing::Values(
        UnwrapCase{"empty", "", "empty ZeDidi wrapper", "", 0, ""},
        UnwrapCase{"five_bytes", "001e000000", "truncated ZeDidi wrapper", "", 0, ""},
        UnwrapCase{"key_longer_than_body", "05616263", "truncated ZeDidi wrapper", "", 0, ""},
        UnwrapCase{"data_short", "00070000000361", "truncated ZeDidi wrapped data", "", 0, ""},
        UnwrapCase{"minimal", "001e00000000", std::nullopt, "", 30, ""},
        UnwrapCase{"trailing_ignored", "01611e00000002aabbccdd", std::nullopt, "a", 30, "aabb"},
        UnwrapCase{"any_type_invalid_key", "01ff0100000001cc", std::nullopt, "\xEF\xBF\xBD", 1, "cc"}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(DecodeBodyTest, EncryptedPlainAndWrappedBodies) {
  ControlCipher rx(key16(kKey));
  auto enc = decode_received_body(20, hex(kEncryptedEmpty), rx);
  ASSERT_TRUE(enc);
  EXPECT_TRUE(enc->encrypted);
  EXPECT_TRUE(enc->body.empty());

  EXPECT_EQ(decode_received_body(20, {}, rx).error().to_string(), "empty ZeDidi wrapper");
  auto empty_plain = decode_received_body(0, {}, rx);
  ASSERT_TRUE(empty_plain);
  EXPECT_FALSE(empty_plain->encrypted);

  auto three = decode_received_body(0, Bytes{0x00, 0x07, 0x01}, rx);
  ASSERT_TRUE(three);
  EXPECT_FALSE(three->encrypted);
  EXPECT_EQ(three->body, (Bytes{0x00, 0x07, 0x01}));

  // A plain-looking body that begins with the marker is taken as encrypted, whatever the type.
  EXPECT_EQ(decode_received_body(0, marker_then(5), rx).error().to_string(),
            "invalid encrypted ZeDidi body length 5");

  auto wrapped = decode_received_body(20, hex("03636d641e000000077b2261223a317d"), rx);
  ASSERT_TRUE(wrapped);
  EXPECT_EQ(wrapped->body, text("{\"a\":1}"));
  auto wrapped_type0 = decode_received_body(0, hex("001e00000000"), rx);
  EXPECT_EQ(wrapped_type0->body.size(), 6u);
}

TEST(DecodeBodyTest, DecryptedWrapperEntryIsNotUnwrapped) {
  ControlCipher tx(key16(kKey));
  const Bytes entry = *wrap_payload(as_bytes("cmd"), as_bytes("{}"));
  ControlCipher rx(key16(kKey));
  auto r = decode_received_body(20, tx.encrypt(entry), rx);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, entry);
}

struct JsonCase {
  const char* name;
  Bytes body;
  std::optional<Json> expect;
};

class ParseJsonPayloadTest : public ::testing::TestWithParam<JsonCase> {};

TEST_P(ParseJsonPayloadTest, Reads) {
  EXPECT_EQ(parse_json_payload(GetParam().body), GetParam().expect);
}

Bytes entry_of(std::string_view data) { return *wrap_payload(as_bytes("k"), as_bytes(data)); }

INSTANTIATE_TEST_SUITE_P(
    Bodies, ParseJsonPayloadTest,
    ::testing::Values(
        JsonCase{"object", text("{\"a\":1}"), Json{{"a", 1}}},
        JsonCase{"leading_whitespace", text("\t {\"a\":1} \n"), Json{{"a", 1}}},
        JsonCase{"wrapped_json", entry_of("[1,2]"), Json::array({1, 2})},
        JsonCase{"wrapped_not_json", entry_of("nope"), std::nullopt},
        JsonCase{"low_byte_not_wrapper", Bytes{0x01, '{', '}'}, std::nullopt},
        JsonCase{"empty", Bytes{}, std::nullopt},
        JsonCase{"trailing_garbage", text("{} x"), std::nullopt},
        JsonCase{"two_values", text("1 2"), std::nullopt},
        JsonCase{"bom", text("\xEF\xBB\xBF{}"), std::nullopt},
        JsonCase{"invalid_utf8_string", text("\"\xff\""), std::nullopt}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(Utf8LossyTest, ReplacesEachInvalidSequence) {
  EXPECT_EQ(utf8_lossy(text("a\xffz")), "a\xEF\xBF\xBDz");
  EXPECT_EQ(utf8_lossy(text("\xe2\x82")), "\xEF\xBF\xBD");  // cut multi-byte character
  EXPECT_EQ(utf8_lossy(text("\xc3\xa9")), "\xc3\xa9");
  EXPECT_EQ(utf8_lossy(text("\xed\xa0\x80")), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace sonvale
