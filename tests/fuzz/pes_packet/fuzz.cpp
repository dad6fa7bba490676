// The transport stream packet parser and the PES header reader over arbitrary bytes: the input
// is read as one packet and as one assembled PES, and every span they return must lie inside it.

#include <cstdint>
#include <cstdlib>

#include "media/format/pes_packet.h"
#include "media/format/ts_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const sonvale::ByteSpan input(data, size);
  if (const auto packet = sonvale::parse_ts_packet(input)) {
    const auto* begin = input.data();
    const auto* end = input.data() + input.size();
    if (packet->payload.empty() || packet->payload.data() < begin ||
        packet->payload.data() + packet->payload.size() != end || packet->pid > 0x1FFF) {
      std::abort();
    }
  }
  if (const auto pes = sonvale::parse_audio_pes(input)) {
    if (pes->payload_offset >= pes->payload_end || pes->payload_end > input.size() ||
        pes->payload_offset < sonvale::PesPacket::kFixedHeaderBytes) {
      std::abort();
    }
  }
  return 0;
}
