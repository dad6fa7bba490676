#include "core/crypto/p256.h"

#include <gtest/gtest.h>
#include <openssl/err.h>

#include "core/encoding.h"

namespace sonvale {
namespace {

Bytes hex(std::string_view s) { return *hex_decode(s); }

struct EcdhCase {
  const char* name;
  std::string scalar, own_public, peer_public, secret;
};

class EcdhKnownAnswerTest : public ::testing::TestWithParam<EcdhCase> {};

// Keys and secrets made with Python's `cryptography` (an independent implementation).
TEST_P(EcdhKnownAnswerTest, MatchesCryptography) {
  const EcdhCase& c = GetParam();
  const Bytes scalar = hex(c.scalar);
  auto own = P256PrivateKey::from_scalar(std::span<const std::uint8_t, 32>(scalar.data(), 32));
  ASSERT_TRUE(own) << own.error().to_string();
  auto point = own->public_point();
  ASSERT_TRUE(point);
  EXPECT_EQ(hex_lower(*point), c.own_public);
  auto peer = P256PublicKey::parse(hex(c.peer_public));
  ASSERT_TRUE(peer) << peer.error().to_string();
  auto secret = own->shared_secret(*peer);
  ASSERT_TRUE(secret);
  EXPECT_EQ(hex_lower(secret->view()), c.secret);
}

INSTANTIATE_TEST_SUITE_P(
    Python, EcdhKnownAnswerTest,
    ::testing::Values(
        EcdhCase{"ordinary", "6579f0968b8ada2172301335c15362d2be1f2d4e715f871103597ee3214e7298",
                 "04d29d8bea6c0d202e4d622278a6d2039535d940f06eee1262c49d06c0c6939b43c6f8fcdd75b240bd2f00e178c75aabba7d29a97da5e658af6a0a29e08113e859",
                 "04305b3be40cb5daa7c1bc7b501fa1bfe13b884cf9cceff4f06c0da97cb1523a0a28e67374b737a0012101221797e6d8e439e77144bc35b363819838374bf8d93f",
                 "3e3e69cdb0e3b76196e352f6d016d837275d8a853355ca71a44a6c6a0b3ba780"},
        EcdhCase{"secret_starting_with_00", "80da453ac249e77ccf51257099ff7df0ecffd653e717c227126b4a0559a98af5",
                 "045a58575ddb74af5ce5c2693033fd6bd9f4f3d66dd1e61b8674a85090a824163d2e958fef29571de89b0aabc1b780661601fe08e51df0f79eaaeaa402048b76c2",
                 "04d512bb07f135be75d3e63968483522b614f887e23a6896a57a02d714017c1016a29ea7b0feddaba94f7166a32c44ddb1a1a08248b2fbbf6b9828e785185418b6",
                 "0002bcdeac53ef164932b725b9de407a92f8075b0cfdf6896fe300f2acc7036e"}),
    [](const auto& p) { return std::string(p.param.name); });

const std::string kValid =
    "04305b3be40cb5daa7c1bc7b501fa1bfe13b884cf9cceff4f06c0da97cb1523a0a28e67374b737a0012101221797e6d8e439e77144bc35b363819838374bf8d93f";

struct PointCase {
  const char* name;
  std::string point;
  std::string error;
};

class PointRejectionTest : public ::testing::TestWithParam<PointCase> {};

TEST_P(PointRejectionTest, Rejected) {
  auto key = P256PublicKey::parse(hex(GetParam().point));
  ASSERT_FALSE(key);
  EXPECT_EQ(key.error().to_string(), GetParam().error);
  EXPECT_EQ(ERR_peek_error(), 0u);  // nothing stale left for a later message
}

const std::string kShape = "not an uncompressed P-256 point";
const std::string kCurve = "P-256 point is not on the curve";
const std::string kP = "ffffffff00000001000000000000000000000000ffffffffffffffffffffffff";

INSTANTIATE_TEST_SUITE_P(
    Cases, PointRejectionTest,
    ::testing::Values(PointCase{"empty", "", kShape}, PointCase{"single_00", "00", kShape},
                      PointCase{"compressed_33", "02" + kValid.substr(2, 64), kShape},
                      PointCase{"length_64", kValid.substr(0, 128), kShape},
                      PointCase{"length_66", kValid + "00", kShape},
                      PointCase{"prefix_02", "02" + kValid.substr(2), kShape},
                      PointCase{"hybrid_06", "06" + kValid.substr(2), kShape},
                      PointCase{"hybrid_07", "07" + kValid.substr(2), kShape},
                      PointCase{"off_curve", kValid.substr(0, 128) + "3e", kCurve},
                      PointCase{"x_equals_p", "04" + kP + kValid.substr(66), kCurve},
                      PointCase{"infinity_zeros", "04" + std::string(128, '0'), kCurve}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(P256Test, GeneratedKeysAgree) {
  auto a = P256PrivateKey::generate();
  auto b = P256PrivateKey::generate();
  ASSERT_TRUE(a && b);
  auto pa = P256PublicKey::parse(*a->public_point());
  auto pb = P256PublicKey::parse(*b->public_point());
  ASSERT_TRUE(pa && pb);
  EXPECT_EQ(a->shared_secret(*pb)->view()[0], b->shared_secret(*pa)->view()[0]);
  EXPECT_TRUE(*a->shared_secret(*pb) == *b->shared_secret(*pa));
  EXPECT_NE(*a->public_point(), *b->public_point());
}

TEST(P256Test, ScalarOutOfRangeIsRefused) {
  const std::array<std::uint8_t, 32> zero{};
  EXPECT_FALSE(P256PrivateKey::from_scalar(zero));
  EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
}  // namespace sonvale
