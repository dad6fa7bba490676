#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.h"

namespace sonvale {

// One finished audio PES payload, its encrypted start already decrypted.
struct AudioPes {
  // Presentation time: the PES header's PTS when valid, else the fallback time of the RTP packet
  // that carried the PES start, else absent.
  std::optional<std::uint64_t> pts_us;
  Bytes data;
};

}  // namespace sonvale
