#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/error.h"

namespace sonvale {

// Fills `buf` from the connection `fd`, checking before every read that the media generation
// counter still holds `generation`. Returns true when the buffer is full, false when the
// generation has moved on (the caller must stop). Read time-outs (the socket's SO_RCVTIMEO) and
// interruptions are retried after a fresh generation check. End of stream fails with a
// RemoteChannelClosed for `channel` with the bytes received so far; other read failures carry the
// context "read ZeDidi media stream".
[[nodiscard]] Result<bool> read_exact_for_generation(int fd, std::span<std::uint8_t> buf,
                                                     std::uint64_t generation,
                                                     const std::atomic<std::uint64_t>& counter,
                                                     const std::string& channel = "audio");

}  // namespace sonvale
