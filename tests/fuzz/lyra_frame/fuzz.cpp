// Fuzzes the Lyra frame handler and the protobuf codec under it: every input is one transport
// frame payload (its length field corrected, so the body is reached) handled twice on one
// session, and also parsed as a bare protobuf message.

#include <cstddef>
#include <cstdint>

#include "core/clock.h"
#include "lyra/frames.h"
#include "lyra/protobuf.h"

using namespace sonvale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input(data, size);
  (void)lyra::parse_fields(input);
  if (auto physical = lyra::read_physical(input)) (void)lyra::phone_account(*physical);

  const lyra::LyraDevice device{"1A2B3C4D", "Desk", "macOS", 3, 8899};
  EventSink events([](Json e) { (void)compact_json(e); });
  const lyra::FrameContext ctx{device, *system_clock(), SocketAddrV4{Ipv4::loopback(), 1}, events};
  lyra::PeerSession session;
  (void)lyra::handle_payload(input, session, ctx);
  if (size >= 4 && size <= 0xffff) {
    Bytes fixed(input.begin(), input.end());
    fixed[1] = 4;
    fixed[2] = static_cast<std::uint8_t>(size >> 8);
    fixed[3] = static_cast<std::uint8_t>(size);
    (void)lyra::handle_payload(fixed, session, ctx);
    (void)lyra::handle_payload(fixed, session, ctx);
  }
  return 0;
}
