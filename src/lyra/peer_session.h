#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.h"
#include "core/crypto/secret.h"

namespace sonvale::lyra {

// What the Lyra channel knows of one peer socket address beyond its segments: written by the
// frame handler, kept across conversations, owned by the server thread.
struct PeerSession {
  std::optional<std::uint64_t> client_channel_id;
  std::optional<std::uint64_t> server_channel_id;
  Bytes account;
  // The AES-256-GCM key of the secure channel, set by each successful handshake.
  std::optional<Key256> session_key;
  // Whether a sealed frame from the peer has opened under `session_key`: it then holds the key
  // too, so it has read our handshake reply, which a spoofed source never does.
  bool key_confirmed = false;
};

}  // namespace sonvale::lyra
