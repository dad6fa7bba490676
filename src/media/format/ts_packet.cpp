#include "media/format/ts_packet.h"

namespace sonvale {

std::optional<TsPacket> parse_ts_packet(ByteSpan packet) {
  if (packet.size() != TsPacket::kBytes) return std::nullopt;
  ByteReader r(packet);
  const auto sync = r.u8();
  const auto pid_field = r.u16be();
  const auto control_byte = r.u8();
  if (!sync || !pid_field || !control_byte || *sync != 0x47) return std::nullopt;
  TsPacket out;
  out.payload_unit_start = (*pid_field & 0x4000) != 0;
  out.pid = static_cast<std::uint16_t>(*pid_field & 0x1FFF);
  const std::uint8_t control = (*control_byte >> 4) & 0x03;
  if (control == 0 || control == 2) return std::nullopt;  // reserved, or no payload
  if (control == 3) {
    const auto adaptation_length = r.u8();
    if (!adaptation_length || *adaptation_length > 182 || !r.skip(*adaptation_length)) {
      return std::nullopt;
    }
  }
  out.payload = r.rest();
  return out;
}

}  // namespace sonvale
