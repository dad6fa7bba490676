#include "core/crypto.h"

#include <gtest/gtest.h>

#include "core/encoding.h"

namespace sonvale {
namespace {

Bytes hex(std::string_view s) { return *hex_decode(s); }

TEST(DigestTest, KnownVectors) {
  EXPECT_EQ(hex_lower(sha256(as_bytes("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hex_lower(md5(as_bytes(""))), "d41d8cd98f00b204e9800998ecf8427e");
  // RFC 4231 test case 2.
  EXPECT_EQ(hex_lower(hmac_sha256(as_bytes("Jefe"), as_bytes("what do ya want for nothing?"))),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hex_lower(hmac_sha256({}, {})),
            "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

// The key and IV of the CBC-AES128 examples of NIST SP 800-38A, F.2.
struct Sp80038a {
  Aes128Key key{};
  AesBlock iv{};
  Sp80038a() {
    const Bytes k = hex("2b7e151628aed2a6abf7158809cf4f3c");
    const Bytes i = hex("000102030405060708090a0b0c0d0e0f");
    std::copy(k.begin(), k.end(), key.begin());
    std::copy(i.begin(), i.end(), iv.begin());
  }
};

TEST(AesCbcTest, Sp80038aVectorAndChaining) {
  // NIST SP 800-38A F.2.1, first two blocks.
  const auto [key, iv] = Sp80038a();
  const Bytes plain = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
  auto ct = aes128_cbc_encrypt(key, iv, plain);
  ASSERT_TRUE(ct);
  EXPECT_EQ(hex_lower(*ct), "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2");
  auto back = aes128_cbc_decrypt(key, iv, *ct);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, plain);
  EXPECT_FALSE(aes128_cbc_encrypt(key, iv, Bytes(15)));
  EXPECT_TRUE(aes128_cbc_encrypt(key, iv, Bytes())->empty());
}

TEST(AesCbcTest, OneDecryptorTakesEachMessageFromItsOwnIv) {
  // NIST SP 800-38A F.2.2, CBC-AES128.Decrypt.
  const auto [key, iv] = Sp80038a();
  const Bytes cipher =
      hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
          "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  const Bytes plain =
      hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
          "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  Aes128CbcDecryptor decryptor(key);

  Bytes whole = cipher;
  ASSERT_TRUE(decryptor.decrypt_in_place(iv, whole));
  EXPECT_EQ(whole, plain);
  // The last two blocks alone, from the block before them as their IV: nothing of the first
  // message carries over.
  AesBlock second{};
  std::copy(cipher.begin() + 16, cipher.begin() + 32, second.begin());
  Bytes tail(cipher.begin() + 32, cipher.end());
  ASSERT_TRUE(decryptor.decrypt_in_place(second, tail));
  EXPECT_EQ(tail, Bytes(plain.begin() + 32, plain.end()));
  Bytes head(cipher.begin(), cipher.begin() + 32);
  ASSERT_TRUE(decryptor.decrypt_in_place(iv, head));
  EXPECT_EQ(head, Bytes(plain.begin(), plain.begin() + 32));

  // Longer messages than the short ones it decrypts without allocating, against the one-shot.
  Bytes long_message(512);
  for (std::size_t n = 0; n < long_message.size(); ++n) {
    long_message[n] = static_cast<std::uint8_t>(n * 13 + 5);
  }
  const auto expected = aes128_cbc_decrypt(key, iv, long_message);
  ASSERT_TRUE(expected);
  ASSERT_TRUE(decryptor.decrypt_in_place(iv, long_message));
  EXPECT_EQ(long_message, *expected);

  // Not whole blocks: refused, the bytes as they were.
  Bytes partial(cipher.begin(), cipher.begin() + 20);
  EXPECT_FALSE(decryptor.decrypt_in_place(iv, partial));
  EXPECT_EQ(partial, Bytes(cipher.begin(), cipher.begin() + 20));
  EXPECT_TRUE(decryptor.decrypt_in_place(iv, std::span<std::uint8_t>()));
}

TEST(RandomTest, HexHasRequestedLengthAndAlphabet) {
  for (std::size_t n : {0u, 1u, 4u, 8u, 12u, 13u}) {
    const std::string s = random_hex(n);
    EXPECT_EQ(s.size(), n);
    EXPECT_EQ(s.find_first_not_of("0123456789abcdef"), std::string::npos);
  }
  EXPECT_NE(random_hex(32), random_hex(32));
}

}  // namespace
}  // namespace sonvale
