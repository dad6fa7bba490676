#include "lyra/secure_channel.h"

#include <array>

#include "core/crypto.h"
#include "core/crypto/aes_gcm.h"
#include "core/crypto/hkdf.h"
#include "core/crypto/p256.h"
#include "lyra/protobuf.h"

namespace sonvale::lyra {
namespace {

constexpr std::array<std::uint8_t, 32> kHkdfSalt = {
    0xc3, 0xe9, 0x17, 0xa0, 0x5b, 0x2d, 0x48, 0xf6, 0x91, 0x3e, 0x0d, 0x7c, 0x5a, 0x6b, 0x2f, 0x84,
    0xd1, 0xe0, 0x7a, 0x39, 0xc6, 0xb5, 0xf2, 0xe8, 0x0a, 0x4d, 0x91, 0x3c, 0x7e, 0x6b, 0x5a, 0x20};
constexpr std::size_t kNonceSize = 32;

// The first length-delimited field `number` of `message`, or the failure `missing`.
Result<ByteSpan> require(ByteSpan message, std::uint32_t number, const char* missing) {
  SV_ASSIGN_OR_RETURN(const auto field, bytes_field(message, number));
  if (!field) return fail(Error::msg(missing));
  return *field;
}

}  // namespace

Result<Bytes> open_sealed(const Key256& key, ByteSpan sealed) {
  if (sealed.size() < kSealedOverhead) return fail(Error::msg("encrypted Lyra payload is too short"));
  auto gcm = Aes256Gcm::create(key);
  if (!gcm) return fail(Error::msg("initialize Lyra AES-GCM"));
  const ByteSpan ciphertext = sealed.subspan(kGcmNonceSize, sealed.size() - kSealedOverhead);
  auto plain = gcm->open(GcmNonce(sealed.data(), kGcmNonceSize), ciphertext,
                         GcmTag(sealed.data() + sealed.size() - kGcmTagSize, kGcmTagSize));
  if (!plain) return fail(Error::msg("decrypt Lyra logical payload"));
  return std::move(*plain);
}

namespace {

// Writes a fresh nonce, the ciphertext and the tag into `out` (plaintext + 28 bytes).
Result<> seal_into(const Key256& key, ByteSpan plaintext, std::span<std::uint8_t> out) {
  auto gcm = Aes256Gcm::create(key);
  if (!gcm) return fail(Error::msg("initialize Lyra AES-GCM"));
  const auto nonce = out.first<kGcmNonceSize>();
  random_fill(nonce);
  if (!gcm->seal_into(nonce, plaintext, out.subspan(kGcmNonceSize))) {
    return fail(Error::msg("encrypt Lyra logical payload"));
  }
  return {};
}

}  // namespace

Result<Bytes> seal(const Key256& key, ByteSpan plaintext) {
  Bytes out(plaintext.size() + kSealedOverhead);
  SV_TRY(seal_into(key, plaintext, out));
  return out;
}

Result<Bytes> sealed_logical(const Key256& key, const OuterScalars& outer, ByteSpan plaintext) {
  const std::size_t sealed_size = plaintext.size() + kSealedOverhead;
  SV_ASSIGN_OR_RETURN(Bytes frame, logical_frame(outer, PbOut::reserved(5, sealed_size)));
  frame.resize(frame.size() + sealed_size);
  SV_TRY(seal_into(key, plaintext, std::span(frame).last(sealed_size)));
  return frame;
}

Result<Key256> derive_session_key(const Secret<32>& shared, ByteSpan client_nonce, ByteSpan server_nonce) {
  Bytes info(client_nonce.begin(), client_nonce.end());
  info.insert(info.end(), server_nonce.begin(), server_nonce.end());
  Key256 key;
  if (!hkdf_sha256(shared.view(), kHkdfSalt, info, key.mutable_view())) {
    return fail(Error::msg("derive Lyra session key"));
  }
  return key;
}

Result<AuthReply> build_auth_server_notify(const OuterScalars& outer, ByteSpan message,
                                           PeerSession& session) {
  SV_ASSIGN_OR_RETURN(const PbFields fields, parse_fields(message));
  const std::uint64_t key_index = first_varint(fields, 1).value_or(0);
  const std::optional<ByteSpan> handshake = first_bytes(fields, 2);
  if (!handshake) return fail(Error::msg("missing auth handshake"));
  SV_ASSIGN_OR_RETURN(const PbFields handshake_fields, parse_fields(*handshake));
  std::optional<ByteSpan> key_agree = first_bytes(handshake_fields, 8);
  if (!key_agree) key_agree = first_bytes(handshake_fields, 6);
  if (!key_agree) return fail(Error::msg("missing key-agree frame"));
  SV_ASSIGN_OR_RETURN(const ByteSpan client_notify, require(*key_agree, 2, "missing client notify"));
  SV_ASSIGN_OR_RETURN(const ByteSpan suite, require(client_notify, 1, "missing cipher suites"));
  SV_ASSIGN_OR_RETURN(const ByteSpan client_nonce, require(suite, 2, "missing client nonce"));
  SV_ASSIGN_OR_RETURN(const ByteSpan generic_key, require(suite, 5, "missing generic public key"));
  SV_ASSIGN_OR_RETURN(const ByteSpan client_point, require(generic_key, 2, "missing P-256 public key"));
  if (client_nonce.size() != kNonceSize || client_point.size() != kP256PointSize || client_point[0] != 0x04) {
    return fail(Error::msg("invalid P-256 client notify"));
  }
  SV_ASSIGN_OR_RETURN(const P256PublicKey client_key,
                      with_context(P256PublicKey::parse(client_point), "parse client P-256 key"));

  SV_ASSIGN_OR_RETURN(const P256PrivateKey ephemeral,
                      with_context(P256PrivateKey::generate(), "generate Lyra ephemeral key"));
  SV_ASSIGN_OR_RETURN(const P256Point server_point,
                      with_context(ephemeral.public_point(), "generate Lyra ephemeral key"));
  SV_ASSIGN_OR_RETURN(const auto shared, with_context(ephemeral.shared_secret(client_key),
                                                      "derive Lyra session key"));
  std::array<std::uint8_t, kNonceSize> server_nonce{};
  random_fill(server_nonce);
  SV_ASSIGN_OR_RETURN(Key256 key, derive_session_key(shared, client_nonce, server_nonce));

  const PbOut public_key[] = {PbOut::varint(1, 1), PbOut::data(2, server_point)};
  const PbOut entry[] = {PbOut::varint(1, 1), PbOut::data(2, server_nonce), PbOut::varint(3, 32),
                         PbOut::varint(4, 2), PbOut::message(5, public_key)};
  const PbOut server_notify[] = {PbOut::message(1, entry)};
  const PbOut key_agree_reply[] = {PbOut::varint(1, 2), PbOut::message(3, server_notify)};
  const PbOut handshake_reply[] = {PbOut::varint(1, 5), PbOut::varint(2, 6),
                                   PbOut::message(8, key_agree_reply)};
  const PbOut message_reply[] = {PbOut::varint(1, key_index), PbOut::message(2, handshake_reply)};
  const PbOut inner[] = {PbOut::varint(1, kFrameHandshake), PbOut::message(7, message_reply)};
  // The reply is built before the key is stored: a reply that cannot be framed or sent keeps the
  // old key.
  SV_ASSIGN_OR_RETURN(Bytes frame, logical_frame(outer, PbOut::message(5, inner)));
  SV_TRY(fits_one_datagram(frame));
  session.session_key = std::move(key);
  session.key_confirmed = false;
  return AuthReply{std::move(frame), key_index};
}

}  // namespace sonvale::lyra
