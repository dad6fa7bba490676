#include "lyra/segment.h"

namespace sonvale::lyra {

std::vector<Segment> split_segments(ByteSpan datagram) {
  std::vector<Segment> out;
  ByteReader r(datagram);
  while (r.remaining() >= kSegmentHeaderSize) {
    Segment s;
    s.header.conv = *r.u32le();
    s.header.cmd = *r.u8();
    s.header.frg = *r.u8();
    s.header.wnd = *r.u16le();
    s.header.ts = *r.u32le();
    s.header.sn = *r.u32le();
    s.header.una = *r.u32le();
    s.header.len = *r.u32le();
    auto payload = r.bytes(s.header.len);  // compares len with what remains, in 64 bits
    if (!payload) break;
    s.payload = *payload;
    out.push_back(s);
  }
  return out;
}

Bytes encode_segment(SegmentHeader h, ByteSpan payload) {
  ByteWriter w(kSegmentHeaderSize + payload.size());
  w.u32le(h.conv).u8(h.cmd).u8(h.frg).u16le(h.wnd).u32le(h.ts).u32le(h.sn).u32le(h.una);
  w.u32le(static_cast<std::uint32_t>(payload.size())).bytes(payload);
  return w.take();
}

}  // namespace sonvale::lyra
