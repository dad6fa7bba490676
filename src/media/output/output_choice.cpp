#include "media/output/output_choice.h"

#include <string_view>

#include "core/decimal.h"

namespace sonvale {
namespace {

SocketAddr stream_target(std::string_view rest) {
  if (const auto port = parse_u16_decimal(rest)) {
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
