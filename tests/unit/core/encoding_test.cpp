#include "core/encoding.h"

#include <gtest/gtest.h>

namespace sonvale {
namespace {

struct B64Case {
  std::string plain;
  std::string standard;
  std::string url;
};

// RFC 4648 section 10 vectors, plus bytes that differ between the two alphabets.
const B64Case kB64Cases[] = {
    {"", "", ""},
    {"f", "Zg==", "Zg"},
    {"fo", "Zm8=", "Zm8"},
    {"foo", "Zm9v", "Zm9v"},
    {"foob", "Zm9vYg==", "Zm9vYg"},
    {"fooba", "Zm9vYmE=", "Zm9vYmE"},
    {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
    {"\xfb\xff\xbf", "+/+/", "-_-_"},
};

TEST(Base64Test, EncodesAndDecodesBothAlphabets) {
  for (const auto& c : kB64Cases) {
    EXPECT_EQ(base64_encode(as_bytes(c.plain)), c.standard);
    EXPECT_EQ(base64url_encode(as_bytes(c.plain)), c.url);
    auto std_back = base64_decode(c.standard);
    ASSERT_TRUE(std_back) << c.standard;
    EXPECT_EQ(as_text(*std_back), c.plain);
    auto url_back = base64url_decode(c.url);
    ASSERT_TRUE(url_back) << c.url;
    EXPECT_EQ(as_text(*url_back), c.plain);
  }
}

TEST(Base64Test, RejectsMalformedText) {
  for (const char* bad : {"Zg=", "Zg", "Z===", "Zh==", "Zm9v!A==", "-_-_", "Zg==Zg=="}) {
    EXPECT_FALSE(base64_decode(bad)) << bad;
  }
  for (const char* bad : {"Z", "Zg==", "+/+/", "Zh"}) {
    EXPECT_FALSE(base64url_decode(bad)) << bad;
  }
}

TEST(HexTest, LowercaseAndStrictDecode) {
  const Bytes data = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(hex_lower(data), "000fa0ff");
  EXPECT_EQ(hex_upper(data), "000FA0FF");
  EXPECT_EQ(*hex_decode("000FA0ff"), data);
  EXPECT_FALSE(hex_decode("abc"));
  EXPECT_FALSE(hex_decode("zz"));
  EXPECT_EQ(hex_decode("")->size(), 0u);
}

}  // namespace
}  // namespace sonvale
