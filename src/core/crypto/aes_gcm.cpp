#include "core/crypto/aes_gcm.h"

#include <climits>

#include "core/crypto/openssl_util.h"

namespace sonvale {
namespace {

constexpr const char* kAuthFailed = "AES-GCM authentication failed";

// A context with the key and the 12-byte nonce set for one operation.
Result<openssl::Ptr<EVP_CIPHER_CTX>> gcm_context(const Key256& key, GcmNonce nonce, bool encrypt) {
  openssl::Ptr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return openssl::failure("AES-GCM context allocation failed");
  const int enc = encrypt ? 1 : 0;
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr, enc) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kGcmNonceSize),
                          nullptr) != 1 ||
      EVP_CipherInit_ex(ctx.get(), nullptr, nullptr, key.data(), nonce.data(), enc) != 1) {
    return openssl::failure("AES-GCM key setup failed");
  }
  return ctx;
}

}  // namespace

Result<Aes256Gcm> Aes256Gcm::create(const Key256& key) {
  const std::uint8_t zero_nonce[kGcmNonceSize] = {};
  SV_TRY(gcm_context(key, GcmNonce(zero_nonce), true));
  return Aes256Gcm(key);
}

Result<Bytes> Aes256Gcm::seal(GcmNonce nonce, ByteSpan plaintext) const {
  if (plaintext.size() > INT_MAX - kGcmTagSize) return openssl::failure("AES-GCM input too long");
  Bytes out(plaintext.size() + kGcmTagSize);
  SV_TRY(seal_into(nonce, plaintext, out));
  return out;
}

Result<> Aes256Gcm::seal_into(GcmNonce nonce, ByteSpan plaintext, std::span<std::uint8_t> out) const {
  if (plaintext.size() > INT_MAX - kGcmTagSize) return openssl::failure("AES-GCM input too long");
  if (out.size() != plaintext.size() + kGcmTagSize) return openssl::failure("AES-GCM output size");
  SV_ASSIGN_OR_RETURN(auto ctx, gcm_context(key_, nonce, true));
  int len = 0;
  // A null output with input would be taken as associated data: update only with plaintext.
  if (!plaintext.empty() &&
      (EVP_EncryptUpdate(ctx.get(), out.data(), &len, plaintext.data(),
                         static_cast<int>(plaintext.size())) != 1 ||
       static_cast<std::size_t>(len) != plaintext.size())) {
    return openssl::failure("AES-GCM encryption failed");
  }
  std::uint8_t scratch[kGcmTagSize];  // GCM's final step writes no output
  int tail = 0;
  if (EVP_EncryptFinal_ex(ctx.get(), scratch, &tail) != 1 || tail != 0 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kGcmTagSize),
                          out.data() + plaintext.size()) != 1) {
    return openssl::failure("AES-GCM encryption failed");
  }
  return {};
}

Result<Bytes> Aes256Gcm::open(GcmNonce nonce, ByteSpan ciphertext, GcmTag tag) const {
  if (ciphertext.size() > INT_MAX) return openssl::failure(kAuthFailed);
  SV_ASSIGN_OR_RETURN(auto ctx, gcm_context(key_, nonce, false));
  Bytes out(ciphertext.size());
  int len = 0;
  if (!ciphertext.empty() &&
      EVP_DecryptUpdate(ctx.get(), out.data(), &len, ciphertext.data(),
                        static_cast<int>(ciphertext.size())) != 1) {
    wipe(out);
    return openssl::failure(kAuthFailed);
  }
  // The tag is always the full 16 bytes: OpenSSL verifies whatever length it is given.
  std::uint8_t tag_copy[kGcmTagSize];
  std::copy(tag.begin(), tag.end(), tag_copy);
  std::uint8_t scratch[kGcmTagSize];
  int tail = 0;
  if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kGcmTagSize), tag_copy) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), scratch, &tail) != 1 || tail != 0) {
    // DecryptUpdate has already written the unverified plaintext: it goes.
    wipe(out);
    return openssl::failure(kAuthFailed);
  }
  return out;
}

}  // namespace sonvale
