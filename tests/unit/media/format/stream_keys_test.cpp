#include "media/format/stream_keys.h"

#include <gtest/gtest.h>

#include "core/crypto.h"
#include "core/encoding.h"

namespace sonvale {
namespace {

constexpr const char* kGood = "0123456789abcdef";

TEST(StreamKeysTest, AcceptsThreeSixteenByteAsciiTexts) {
  auto keys = StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBB", kGood);
  ASSERT_TRUE(keys);
  EXPECT_EQ(as_text(keys->auth_key), "AAAAAAAAAAAAAAAA");
  EXPECT_EQ(as_text(keys->aes_key), "BBBBBBBBBBBBBBBB");
  EXPECT_EQ(as_text(keys->aes_iv), kGood);
}

TEST(StreamKeysTest, NamesTheFirstBadField) {
  struct Case {
    std::string auth, key, iv, message;
  };
  const std::string non_ascii = "\xc3\xa9" "23456789abcde";  // 15 characters, 16 bytes
  const Case cases[] = {
      {"short", "bad", "bad", "RTSP auth key must contain exactly 16 ASCII bytes"},
      {std::string(15, 'a'), kGood, kGood, "RTSP auth key must contain exactly 16 ASCII bytes"},
      {std::string(17, 'a'), kGood, kGood, "RTSP auth key must contain exactly 16 ASCII bytes"},
      {kGood, "bad", "bad", "media AES key must contain exactly 16 ASCII bytes"},
      {kGood, kGood, "", "media AES IV must contain exactly 16 ASCII bytes"},
      {kGood, non_ascii, kGood, "media AES key must contain exactly 16 ASCII bytes"},
      {kGood, kGood, "\x80" "123456789abcdef", "media AES IV must contain exactly 16 ASCII bytes"},
  };
  for (const auto& c : cases) {
    auto r = StreamKeys::from_strings(c.auth, c.key, c.iv);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().to_string(), c.message);
  }
}

TEST(StreamKeysTest, HighestAsciiByteIsAccepted) {
  const std::string del = std::string(15, 'a') + "\x7f";
  auto keys = StreamKeys::from_strings(del, del, del);
  ASSERT_TRUE(keys);
  EXPECT_EQ(keys->aes_iv[15], 0x7f);
}

TEST(StreamKeysTest, FingerprintCoversKeyAndIvOnly) {
  const auto a = *StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBB", "CCCCCCCCCCCCCCCC");
  const auto b = *StreamKeys::from_strings("ZZZZZZZZZZZZZZZZ", "BBBBBBBBBBBBBBBB", "CCCCCCCCCCCCCCCC");
  const auto c = *StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBb", "CCCCCCCCCCCCCCCC");
  const auto d = *StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "BBBBBBBBBBBBBBBB", "CCCCCCCCCCCCCCCc");
  EXPECT_EQ(a.fingerprint(), b.fingerprint());
  EXPECT_NE(a.fingerprint(), c.fingerprint());
  EXPECT_NE(a.fingerprint(), d.fingerprint());
  const Sha256Digest digest = sha256(as_bytes("BBBBBBBBBBBBBBBBCCCCCCCCCCCCCCCC"));
  EXPECT_EQ(a.fingerprint(), hex_lower(ByteSpan(digest).first(8)));
  EXPECT_EQ(a.fingerprint().size(), 16u);
}

}  // namespace
}  // namespace sonvale
