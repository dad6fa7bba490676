// Fuzzes the Lyra segment walk and the segment transport behind it: the input is cut into
// datagrams at 0xC0 0xC0 marks and fed from three peer addresses (two ports of one host and a
// second host) into a table of two sessions and two send budgets, with a resend pass between
// datagrams, over a socket that drops what is sent.

#include <cstddef>
#include <cstdint>

#include "core/clock.h"
#include "lyra/frames.h"
#include "lyra/segment.h"
#include "lyra/segment_transport.h"

using namespace sonvale;

namespace {

class NullSocket final : public DatagramSocket {
 public:
  Result<Datagram> receive(std::span<std::uint8_t>) override { return fail(Error::os(EAGAIN)); }
  Result<> send_to(ByteSpan, const SocketAddr&) override { return {}; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input(data, size);
  (void)lyra::split_segments(input);

  NullSocket socket;
  const lyra::LyraDevice device{"1A2B3C4D", "Desk", "macOS", 3, 8899};
  EventSink events;
  const Clock& clock = *system_clock();
  lyra::TransportLimits limits;
  limits.max_sessions = 2;
  limits.max_cached_replies = 3;
  limits.max_pending_replies = 3;
  limits.max_reply_bytes = 4096;
  limits.max_budget_addresses = 2;
  lyra::SegmentTransport transport(
      socket, system_clock(), events,
      [&](ByteSpan payload, lyra::PeerSession& session, SocketAddrV4 peer) {
        const lyra::FrameContext ctx{device, clock, peer, events};
        return lyra::handle_payload(payload, session, ctx);
      },
      limits);
  std::size_t start = 0;
  unsigned n = 0;
  for (std::size_t i = 0; i + 1 <= size; ++i) {
    const bool cut = i + 1 < size && data[i] == 0xc0 && data[i + 1] == 0xc0;
    if (cut || i + 1 == size) {
      const std::size_t end = cut ? i : size;
      const SocketAddrV4 from{Ipv4::from_octets(10, 0, 0, static_cast<std::uint8_t>(1 + n % 3 / 2)),
                              static_cast<std::uint16_t>(5000 + n % 3)};
      transport.on_datagram(input.subspan(start, end - start), from);
      transport.resend_due(clock.now() + std::chrono::seconds(n));
      ++n;
      start = end + 2;
      i = end + 1;
    }
  }
  return 0;
}
