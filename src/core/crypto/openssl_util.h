#pragma once

// Internal to core's crypto: owning pointers for OpenSSL objects and the failure helper.

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>

#include <memory>
#include <string>

#include "core/error.h"

namespace sonvale::openssl {

struct Free {
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
  void operator()(EVP_MAC* p) const { EVP_MAC_free(p); }
  void operator()(EVP_MAC_CTX* p) const { EVP_MAC_CTX_free(p); }
  void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
  void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
  void operator()(BIGNUM* p) const { BN_clear_free(p); }
};

template <class T>
using Ptr = std::unique_ptr<T, Free>;

// A failure with our own message. The thread's OpenSSL error queue is emptied, so that no stale
// entry is read into a later failure's text.
inline Failure failure(std::string message) {
  ERR_clear_error();
  return fail(Error::msg(std::move(message)));
}

}  // namespace sonvale::openssl
