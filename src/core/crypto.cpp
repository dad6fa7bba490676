#include "core/crypto.h"

#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "core/crypto/openssl_util.h"
#include "core/encoding.h"

namespace sonvale {
namespace {

using CtxFree = openssl::Free;

template <std::size_t N>
std::array<std::uint8_t, N> digest(const EVP_MD* md, ByteSpan data) {
  std::array<std::uint8_t, N> out{};
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out.data(), &len, md, nullptr) != 1 || len != N) {
    std::abort();
  }
  return out;
}

// Runs the cipher over `size` bytes from `in` into `out`, which is either `in` itself or an area
// of its own.
Result<> aes128_cbc_run(bool encrypt, const Aes128Key& key, const AesBlock& iv,
                        const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
  if (size % 16 != 0) return fail(Error::msg("AES-CBC input is not a whole number of blocks"));
  std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!ctx) std::abort();
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv.data(),
                        encrypt ? 1 : 0) != 1) {
    return openssl::failure("AES-CBC initialisation failed");
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  int len = 0;
  if (size > 0 && EVP_CipherUpdate(ctx.get(), out, &len, in, static_cast<int>(size)) != 1) {
    return openssl::failure("AES-CBC failed");
  }
  int tail = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + len, &tail) != 1) {
    return openssl::failure("AES-CBC failed");
  }
  return {};
}

Result<Bytes> aes128_cbc(bool encrypt, const Aes128Key& key, const AesBlock& iv, ByteSpan data) {
  Bytes out(data.size());
  SV_TRY(aes128_cbc_run(encrypt, key, iv, data.data(), out.data(), data.size()));
  return out;
}

}  // namespace

Sha256Digest sha256(ByteSpan data) { return digest<32>(EVP_sha256(), data); }
Md5Digest md5(ByteSpan data) { return digest<16>(EVP_md5(), data); }

Sha256Digest hmac_sha256(ByteSpan key, ByteSpan data) {
  std::unique_ptr<EVP_MAC, CtxFree> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  if (!mac) std::abort();
  std::unique_ptr<EVP_MAC_CTX, CtxFree> ctx(EVP_MAC_CTX_new(mac.get()));
  if (!ctx) std::abort();
  char digest_name[] = "SHA256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest_name, 0),
                               OSSL_PARAM_construct_end()};
  // An empty key is legal HMAC; OpenSSL wants a non-null pointer for it.
  static const std::uint8_t kEmpty = 0;
  if (EVP_MAC_init(ctx.get(), key.empty() ? &kEmpty : key.data(), key.size(), params) != 1 ||
      EVP_MAC_update(ctx.get(), data.data(), data.size()) != 1) {
    std::abort();
  }
  Sha256Digest out{};
  std::size_t len = 0;
  if (EVP_MAC_final(ctx.get(), out.data(), &len, out.size()) != 1 || len != out.size()) {
    std::abort();
  }
  return out;
}

void Aes128CbcDecryptor::Free::operator()(::evp_cipher_ctx_st* ctx) const {
  EVP_CIPHER_CTX_free(ctx);
}

Aes128CbcDecryptor::Aes128CbcDecryptor(const Aes128Key& key) : ctx_(EVP_CIPHER_CTX_new()) {
  if (!ctx_) std::abort();
  if (EVP_CipherInit_ex(ctx_.get(), EVP_aes_128_cbc(), nullptr, key.data(), nullptr, 0) != 1) {
    std::abort();  // a built-in cipher with a key of its size cannot be refused
  }
  EVP_CIPHER_CTX_set_padding(ctx_.get(), 0);
}

Result<> Aes128CbcDecryptor::decrypt_in_place(const AesBlock& iv, std::span<std::uint8_t> data) {
  if (data.size() % 16 != 0) {
    return fail(Error::msg("AES-CBC input is not a whole number of blocks"));
  }
  if (data.empty()) return {};
  // Into a copy first, so that a failure leaves `data` as it was; short messages need no
  // allocation for it.
  std::array<std::uint8_t, 256> small{};
  Bytes large;
  std::uint8_t* out = small.data();
  if (data.size() > small.size()) {
    large.resize(data.size());
    out = large.data();
  }
  int len = 0;
  int tail = 0;
  if (EVP_CipherInit_ex(ctx_.get(), nullptr, nullptr, nullptr, iv.data(), 0) != 1 ||
      EVP_CipherUpdate(ctx_.get(), out, &len, data.data(), static_cast<int>(data.size())) != 1 ||
      EVP_CipherFinal_ex(ctx_.get(), out + len, &tail) != 1) {
    return openssl::failure("AES-CBC failed");
  }
  std::copy_n(out, data.size(), data.begin());
  return {};
}

Result<Bytes> aes128_cbc_encrypt(const Aes128Key& key, const AesBlock& iv, ByteSpan data) {
  return aes128_cbc(true, key, iv, data);
}
Result<Bytes> aes128_cbc_decrypt(const Aes128Key& key, const AesBlock& iv, ByteSpan data) {
  return aes128_cbc(false, key, iv, data);
}
Result<> aes128_cbc_encrypt_in_place(const Aes128Key& key, const AesBlock& iv,
                                     std::span<std::uint8_t> data) {
  return aes128_cbc_run(true, key, iv, data.data(), data.data(), data.size());
}
Result<> aes128_cbc_decrypt_in_place(const Aes128Key& key, const AesBlock& iv,
                                     std::span<std::uint8_t> data) {
  return aes128_cbc_run(false, key, iv, data.data(), data.data(), data.size());
}

void random_fill(std::span<std::uint8_t> out) {
  if (out.empty()) return;
  if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) std::abort();
}

Bytes random_bytes(std::size_t n) {
  Bytes out(n);
  random_fill(out);
  return out;
}

std::uint64_t random_u64() {
  std::array<std::uint8_t, 8> b{};
  random_fill(b);
  std::uint64_t v = 0;
  for (auto byte : b) v = (v << 8) | byte;
  return v;
}

std::string random_hex(std::size_t n) {
  std::string out = hex_lower(random_bytes((n + 1) / 2));
  out.resize(n);
  return out;
}

}  // namespace sonvale
