#pragma once

#include <cstdint>

#include "core/bytes.h"
#include "core/crypto/secret.h"
#include "core/error.h"
#include "lyra/frames.h"
#include "lyra/peer_session.h"

// The Lyra secure channel: a P-256 ECDH handshake whose secret HKDF-SHA256 turns into the
// session's AES-256-GCM key, and sealed payloads of nonce (12), ciphertext and tag (16).
namespace sonvale::lyra {

inline constexpr std::size_t kSealedOverhead = 28;
inline constexpr const char* kCipherSuite = "P-256/HKDF-SHA256/AES-256-GCM";

// The plaintext of sealed bytes; fails with "encrypted Lyra payload is too short",
// "initialize Lyra AES-GCM" or "decrypt Lyra logical payload".
[[nodiscard]] Result<Bytes> open_sealed(const Key256& key, ByteSpan sealed);

// A fresh random nonce, the ciphertext and the tag.
[[nodiscard]] Result<Bytes> seal(const Key256& key, ByteSpan plaintext);

// A logical frame echoing `outer` whose inner frame is `plaintext` sealed under `key`, sealed in
// place in the frame's one buffer. Fails as seal and wrap_logical do.
[[nodiscard]] Result<Bytes> sealed_logical(const Key256& key, const OuterScalars& outer,
                                           ByteSpan plaintext);

struct AuthReply {
  Bytes frame;
  std::uint64_t key_index = 0;
};

// Answers a handshake message (the message of a frame-type-6 inner frame) with the receiver's
// ephemeral key and nonce, and stores the derived key in the session, replacing the earlier one.
// On any failure the session is unchanged.
[[nodiscard]] Result<AuthReply> build_auth_server_notify(const OuterScalars& outer, ByteSpan message,
                                                         PeerSession& session);

// The session key for a handshake: HKDF-SHA256 with the channel's salt over the shared secret,
// info the client nonce then the server nonce.
[[nodiscard]] Result<Key256> derive_session_key(const Secret<32>& shared, ByteSpan client_nonce,
                                                ByteSpan server_nonce);

}  // namespace sonvale::lyra
