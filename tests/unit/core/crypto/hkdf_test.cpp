#include "core/crypto/hkdf.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "core/encoding.h"

namespace sonvale {
namespace {

Bytes hex(std::string_view s) { return *hex_decode(s); }

struct HkdfCase {
  const char* name;
  Bytes ikm, salt, info;
  std::string okm;
};

class HkdfTest : public ::testing::TestWithParam<HkdfCase> {};

TEST_P(HkdfTest, Rfc5869KnownAnswer) {
  const HkdfCase& c = GetParam();
  Bytes out(c.okm.size() / 2, 0xee);
  ASSERT_TRUE(hkdf_sha256(c.ikm, c.salt, c.info, out));
  EXPECT_EQ(hex_lower(out), c.okm);
  EXPECT_EQ(ERR_peek_error(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rfc5869, HkdfTest,
    ::testing::Values(
        HkdfCase{"case1", Bytes(22, 0x0b), hex("000102030405060708090a0b0c"), hex("f0f1f2f3f4f5f6f7f8f9"),
                 "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        // Empty salt and info: an empty std::vector's data() is null, which must not reach OpenSSL.
        HkdfCase{"case3_empty_salt_and_info", Bytes(22, 0x0b), Bytes{}, Bytes{},
                 "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(HkdfLimitsTest, OutOfRangeLengthFailsWithZeroedOutput) {
  Bytes empty;
  EXPECT_FALSE(hkdf_sha256(Bytes(22, 1), {}, {}, empty));
  Bytes too_long(255 * 32 + 1, 0xee);
  EXPECT_FALSE(hkdf_sha256(Bytes(22, 1), {}, {}, too_long));
  EXPECT_EQ(too_long, Bytes(too_long.size(), 0));
  Bytes longest(255 * 32);
  EXPECT_TRUE(hkdf_sha256(Bytes(22, 1), {}, {}, longest));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
}  // namespace sonvale
