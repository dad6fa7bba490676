// The '$' frame header and RTP packet parsers over arbitrary bytes: the first 4 bytes are a frame
// header, the rest one RTP packet.

#include <cstdint>
#include <cstdlib>

#include "media/format/rtp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const sonvale::ByteSpan input(data, size);
  if (input.size() >= sonvale::kFrameHeaderBytes) {
    (void)sonvale::parse_frame_header(input.first(sonvale::kFrameHeaderBytes));
  }
  const auto body = input.size() >= 4 ? input.subspan(4) : input;
  auto packet = sonvale::parse_rtp_packet(body);
  if (packet) {
    // The payload must lie inside the packet.
    if (packet->payload.data() < body.data() ||
        packet->payload.data() + packet->payload.size() > body.data() + body.size()) {
      std::abort();
    }
  }
  return 0;
}
