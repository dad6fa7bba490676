#include "core/crypto/p256.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/obj_mac.h>

#include <utility>

#include "core/crypto/openssl_util.h"

namespace sonvale {
namespace {

char kGroup[] = "prime256v1";

// A key from parameters: the group and either a public point or a private scalar.
Result<EVP_PKEY*> key_from_params(OSSL_PARAM_BLD* bld, int selection) {
  openssl::Ptr<OSSL_PARAM> params(OSSL_PARAM_BLD_to_param(bld));
  openssl::Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) != 1 || key == nullptr) {
    EVP_PKEY_free(key);
    return openssl::failure("P-256 key import failed");
  }
  return key;
}

}  // namespace

Result<P256PublicKey> P256PublicKey::parse(ByteSpan sec1) {
  if (sec1.size() != kP256PointSize || sec1[0] != 0x04) {
    return openssl::failure("not an uncompressed P-256 point");
  }
  openssl::Ptr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, kGroup, 0) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, sec1.data(), sec1.size()) != 1) {
    return openssl::failure("P-256 key import failed");
  }
  auto imported = key_from_params(bld.get(), EVP_PKEY_PUBLIC_KEY);
  if (!imported) return openssl::failure("P-256 point is not on the curve");
  P256PublicKey key(*imported);
  // P-256 has cofactor 1: every point of the curve but infinity has the group's order, so the
  // quick check (on the curve, not infinity) is the whole check. The full one multiplies by the
  // order once more, which doubles what a handshake costs.
  openssl::Ptr<EVP_PKEY_CTX> check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.key_, nullptr));
  if (!check || EVP_PKEY_public_check_quick(check.get()) != 1) {
    return openssl::failure("P-256 point is not on the curve");
  }
  return key;
}

P256PublicKey::P256PublicKey(P256PublicKey&& o) noexcept : key_(std::exchange(o.key_, nullptr)) {}
P256PublicKey& P256PublicKey::operator=(P256PublicKey&& o) noexcept {
  std::swap(key_, o.key_);
  return *this;
}
P256PublicKey::~P256PublicKey() { EVP_PKEY_free(key_); }

Result<P256PrivateKey> P256PrivateKey::generate() {
  EVP_PKEY* key = EVP_EC_gen(kGroup);
  if (key == nullptr) return openssl::failure("P-256 key generation failed");
  return P256PrivateKey(key);
}

Result<P256PrivateKey> P256PrivateKey::from_scalar(std::span<const std::uint8_t, 32> scalar) {
  openssl::Ptr<BIGNUM> priv(BN_secure_new());
  std::unique_ptr<EC_GROUP, decltype(&EC_GROUP_free)> group(
      EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1), &EC_GROUP_free);
  if (!priv || !group || BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), priv.get()) == nullptr) {
    return openssl::failure("P-256 key import failed");
  }
  if (BN_is_zero(priv.get()) || BN_cmp(priv.get(), EC_GROUP_get0_order(group.get())) >= 0) {
    return openssl::failure("P-256 scalar out of range");
  }
  // The public point goes in with the scalar: OpenSSL 3.0 does not compute it on import.
  std::unique_ptr<EC_POINT, decltype(&EC_POINT_free)> pub(EC_POINT_new(group.get()), &EC_POINT_free);
  P256Point encoded{};
  if (!pub || EC_POINT_mul(group.get(), pub.get(), priv.get(), nullptr, nullptr, nullptr) != 1 ||
      EC_POINT_point2oct(group.get(), pub.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(),
                         encoded.size(), nullptr) != encoded.size()) {
    return openssl::failure("P-256 key import failed");
  }
  openssl::Ptr<OSSL_PARAM_BLD> bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, kGroup, 0) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, encoded.data(),
                                       encoded.size()) != 1) {
    return openssl::failure("P-256 key import failed");
  }
  SV_ASSIGN_OR_RETURN(EVP_PKEY * key, key_from_params(bld.get(), EVP_PKEY_KEYPAIR));
  return P256PrivateKey(key);
}

P256PrivateKey::P256PrivateKey(P256PrivateKey&& o) noexcept : key_(std::exchange(o.key_, nullptr)) {}
P256PrivateKey& P256PrivateKey::operator=(P256PrivateKey&& o) noexcept {
  std::swap(key_, o.key_);
  return *this;
}
P256PrivateKey::~P256PrivateKey() { EVP_PKEY_free(key_); }

Result<P256Point> P256PrivateKey::public_point() const {
  P256Point out{};
  std::size_t len = 0;
  if (EVP_PKEY_get_octet_string_param(key_, OSSL_PKEY_PARAM_PUB_KEY, out.data(), out.size(), &len) != 1 ||
      len != out.size() || out[0] != 0x04) {
    return openssl::failure("P-256 public key export failed");
  }
  return out;
}

Result<Secret<32>> P256PrivateKey::shared_secret(const P256PublicKey& peer) const {
  openssl::Ptr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_, nullptr));
  Secret<32> secret;
  std::size_t len = secret.size();
  // The peer's point was checked when it was parsed, the only way to make a P256PublicKey.
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 ||
      EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.key_, 0) != 1 ||
      EVP_PKEY_derive(ctx.get(), secret.mutable_view().data(), &len) != 1 || len != secret.size()) {
    return openssl::failure("P-256 key agreement failed");
  }
  return secret;
}

}  // namespace sonvale
