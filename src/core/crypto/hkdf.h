#pragma once

#include <cstdint>
#include <span>

#include "core/bytes.h"
#include "core/error.h"

namespace sonvale {

// HKDF-SHA256 (RFC 5869), extract then expand, into `out` (1 to 8160 bytes). An empty salt is
// the RFC's default (a zero block); an empty info is no info. `out` is zeroed first and stays
// zero on failure.
[[nodiscard]] Result<> hkdf_sha256(ByteSpan ikm, ByteSpan salt, ByteSpan info,
                                   std::span<std::uint8_t> out);

}  // namespace sonvale
