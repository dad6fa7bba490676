#include "protocol/safety_auth.h"

#include <gtest/gtest.h>

namespace sonvale {
namespace {

TEST(SessionKeysTest, GoldenValuesFromAnIndependentDerivation) {
  // golden: MD5 of "bch.a.a.biijjba.a.a.heaaaa" and of the codes, computed with Python hashlib.
  EXPECT_EQ(generate_auth_key({Ipv4::loopback(), 8899}, {Ipv4::from_octets(10, 0, 0, 7), 40000}),
            "e5c78107772beb4807fa202320dcce16");
  EXPECT_EQ(receiver_code("abc"), "63631224000432");
  EXPECT_EQ(receiver_code("xYz"), "72176923495868");
  EXPECT_EQ(receiver_code("aaK"), "09432550688160");  // leading zero kept
  EXPECT_EQ(hmac_sha256_hex(std::string(70, 'k'), "msg"),  // key longer than a block
            "869b65e96f6aff0cfcb55ed40163b7d46e124a4213fa2232d61cca5e4a21256e");
  const std::string r = random_hex_32();
  EXPECT_EQ(r.size(), 32u);
  EXPECT_NE(r, random_hex_32());
}

}  // namespace
}  // namespace sonvale
