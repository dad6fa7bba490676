#include "core/crypto/hkdf.h"

#include <openssl/core_names.h>
#include <openssl/kdf.h>

#include <vector>

#include "core/crypto/openssl_util.h"
#include "core/crypto/secret.h"

namespace sonvale {

Result<> hkdf_sha256(ByteSpan ikm, ByteSpan salt, ByteSpan info, std::span<std::uint8_t> out) {
  wipe(out);
  if (out.empty() || out.size() > 255 * 32) return openssl::failure("HKDF output length out of range");
  openssl::Ptr<EVP_KDF> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
  if (!kdf) return openssl::failure("HKDF is not available");
  openssl::Ptr<EVP_KDF_CTX> ctx(EVP_KDF_CTX_new(kdf.get()));
  if (!ctx) return openssl::failure("HKDF context allocation failed");
  char digest[] = "SHA256";
  // An empty key is legal HKDF input; OpenSSL wants a non-null pointer for it.
  static std::uint8_t empty = 0;
  auto octets = [](const char* name, ByteSpan b) {
    return OSSL_PARAM_construct_octet_string(
        name, b.empty() ? &empty : const_cast<std::uint8_t*>(b.data()), b.size());
  };
  // Empty salt and info parameters are left out: OpenSSL fails silently on empty ones.
  std::vector<OSSL_PARAM> params;
  params.push_back(OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0));
  params.push_back(octets(OSSL_KDF_PARAM_KEY, ikm));
  if (!salt.empty()) params.push_back(octets(OSSL_KDF_PARAM_SALT, salt));
  if (!info.empty()) params.push_back(octets(OSSL_KDF_PARAM_INFO, info));
  params.push_back(OSSL_PARAM_construct_end());
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params.data()) != 1) {
    wipe(out);
    return openssl::failure("HKDF derivation failed");
  }
  return {};
}

}  // namespace sonvale
