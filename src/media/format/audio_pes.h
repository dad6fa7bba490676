#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/bytes.h"

namespace sonvale {

// One finished audio PES payload, its encrypted start already decrypted. The PES buffer is
// handed on whole, header included, so that nobody copies the payload out of it.
struct AudioPes {
  // Presentation time: the PES header's PTS when valid, else the fallback time of the RTP packet
  // that carried the PES start, else absent.
  std::optional<std::uint64_t> pts_us;
  // The PES bytes up to the payload's end; the payload starts at `payload_offset`.
  Bytes buffer;
  std::size_t payload_offset = 0;

  ByteSpan payload() const { return ByteSpan(buffer).subspan(payload_offset); }
};

}  // namespace sonvale
