#pragma once

#include <cstdint>

namespace sonvale {

// A playback command for the phone.
struct ReceiverCommand {
  enum Code : std::uint8_t { kToggle = 0, kPause = 1, kResume = 2, kPrevious = 3, kNext = 4, kSeek = 5 };
  Code code = kToggle;
  std::uint64_t position_ms = 0;  // seek only
};

}  // namespace sonvale
