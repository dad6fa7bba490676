#include "core/crypto/aes_gcm.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "core/encoding.h"

namespace sonvale {
namespace {

Bytes hex(std::string_view s) { return *hex_decode(s); }

Key256 key_of(std::string_view h) {
  const Bytes b = hex(h);
  return Key256(std::span<const std::uint8_t, 32>(b.data(), 32));
}

struct GcmCase {
  const char* name;
  std::string key, nonce, plaintext, ciphertext, tag;
};

class GcmVectorTest : public ::testing::TestWithParam<GcmCase> {};

// The AES-256 cases with 96-bit IVs and no associated data of the GCM mode paper submitted
// to NIST (McGrew and Viega, test cases 13 to 15).
TEST_P(GcmVectorTest, SealsAndOpens) {
  const GcmCase& c = GetParam();
  auto gcm = Aes256Gcm::create(key_of(c.key));
  ASSERT_TRUE(gcm);
  const Bytes nonce = hex(c.nonce);
  const GcmNonce n(nonce.data(), 12);
  auto sealed = gcm->seal(n, hex(c.plaintext));
  ASSERT_TRUE(sealed);
  EXPECT_EQ(hex_lower(*sealed), c.ciphertext + c.tag);
  const Bytes tag = hex(c.tag);
  auto opened = gcm->open(n, hex(c.ciphertext), GcmTag(tag.data(), 16));
  ASSERT_TRUE(opened);
  EXPECT_EQ(hex_lower(*opened), c.plaintext);
}

const std::string kZeroKey(64, '0');
const std::string kKey15 = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308";
const std::string kPlain15 =
    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525"
    "b16aedf5aa0de657ba637b391aafd255";
const std::string kCipher15 =
    "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838"
    "c5f61e6393ba7a0abcc9f662898015ad";

INSTANTIATE_TEST_SUITE_P(
    Nist, GcmVectorTest,
    ::testing::Values(GcmCase{"case13", kZeroKey, std::string(24, '0'), "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
                      GcmCase{"case14", kZeroKey, std::string(24, '0'), std::string(32, '0'),
                              "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
                      GcmCase{"case15", kKey15, "cafebabefacedbaddecaf888", kPlain15, kCipher15,
                              "b094dac5d93471bdec1a502270e3cc6c"}),
    [](const auto& p) { return std::string(p.param.name); });

struct TamperCase {
  const char* name;
  std::size_t nonce_bit, cipher_bit, tag_bit;  // one of them is set (bit index + 1)
};

class GcmTamperTest : public ::testing::TestWithParam<TamperCase> {};

TEST_P(GcmTamperTest, AnyFlippedBitFailsAndYieldsNothing) {
  auto gcm = Aes256Gcm::create(key_of(kKey15));
  Bytes nonce = hex("cafebabefacedbaddecaf888");
  Bytes cipher = hex(kCipher15);
  Bytes tag = hex("b094dac5d93471bdec1a502270e3cc6c");
  const TamperCase& c = GetParam();
  if (c.nonce_bit) nonce[(c.nonce_bit - 1) / 8] ^= static_cast<std::uint8_t>(1 << ((c.nonce_bit - 1) % 8));
  if (c.cipher_bit) cipher[(c.cipher_bit - 1) / 8] ^= static_cast<std::uint8_t>(1 << ((c.cipher_bit - 1) % 8));
  if (c.tag_bit) tag[(c.tag_bit - 1) / 8] ^= static_cast<std::uint8_t>(1 << ((c.tag_bit - 1) % 8));
  auto opened = gcm->open(GcmNonce(nonce.data(), 12), cipher, GcmTag(tag.data(), 16));
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error().to_string(), "AES-GCM authentication failed");
  EXPECT_EQ(ERR_peek_error(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Bits, GcmTamperTest,
                         ::testing::Values(TamperCase{"nonce_first", 1, 0, 0}, TamperCase{"nonce_last", 96, 0, 0},
                                           TamperCase{"cipher_first", 0, 1, 0},
                                           TamperCase{"cipher_last", 0, 512, 0},
                                           TamperCase{"tag_first", 0, 0, 1}, TamperCase{"tag_last", 0, 0, 128}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(GcmTest, EmptyPlaintextRoundTripAndWrongKey) {
  auto gcm = Aes256Gcm::create(key_of(kKey15));
  const std::uint8_t nonce[12] = {1};
  auto sealed = gcm->seal(GcmNonce(nonce), {});
  ASSERT_TRUE(sealed);
  ASSERT_EQ(sealed->size(), 16u);
  auto opened = gcm->open(GcmNonce(nonce), {}, GcmTag(sealed->data(), 16));
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->empty());
  auto other = Aes256Gcm::create(key_of(kZeroKey));
  EXPECT_FALSE(other->open(GcmNonce(nonce), {}, GcmTag(sealed->data(), 16)));
}

}  // namespace
}  // namespace sonvale
