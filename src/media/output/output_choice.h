#pragma once

#include <optional>
#include <string>
#include <variant>

#include "core/socket_addr.h"

namespace sonvale {

// Played on a native output device: the named one, or the system default when absent.
struct NativeOutputChoice {
  std::optional<std::string> device;
};

// Sent as raw PCM to a TCP listener.
struct StreamOutputChoice {
  SocketAddr target;
};

using OutputChoice = std::variant<NativeOutputChoice, StreamOutputChoice>;

// The port of the PCM stream when the output text names no usable target.
inline constexpr std::uint16_t kDefaultPcmStreamPort = 7238;

// Reads the output device text: "stream:" or "tcp:" (case-sensitive, "stream:" first) followed
// by a port (127.0.0.1 at that port) or a literal socket address selects the PCM stream; any
// other rest gives 127.0.0.1:7238. Absent or any other text selects native output.
OutputChoice choose_output(const std::optional<std::string>& text);

}  // namespace sonvale
