#include "media/output_choice.h"

#include <string_view>

namespace sonvale {
namespace {

// A decimal port: an optional "+", then digits only, at most 65535 (0 and leading zeros taken).
std::optional<std::uint16_t> parse_decimal_port(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

SocketAddr stream_target(std::string_view rest) {
  if (const auto port = parse_decimal_port(rest)) {
    return SocketAddr(SocketAddrV4{Ipv4::loopback(), *port});
  }
  if (auto addr = SocketAddr::parse(rest)) return *addr;
  return SocketAddr(SocketAddrV4{Ipv4::loopback(), kDefaultPcmStreamPort});
}

}  // namespace

OutputChoice choose_output(const std::optional<std::string>& text) {
  if (!text) return NativeOutputChoice{};
  const std::string_view t = *text;
  for (const std::string_view prefix : {std::string_view("stream:"), std::string_view("tcp:")}) {
    if (t.starts_with(prefix)) return StreamOutputChoice{stream_target(t.substr(prefix.size()))};
  }
  return NativeOutputChoice{*text};
}

}  // namespace sonvale
