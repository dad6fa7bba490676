// The transport stream demultiplexer over arbitrary bytes: byte 0 chooses whether the session
// has stream keys, byte 1 how the rest is cut (188-byte packets, or shorter pieces), and the
// rest is the stream.

#include <cstdint>
#include <cstdlib>

#include "media/format/ts_demuxer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::optional<sonvale::StreamKeys> keys;
  if (data[0] & 1) {
    keys = *sonvale::StreamKeys::from_strings("AAAAAAAAAAAAAAAA", "0123456789abcdef",
                                              "fedcba9876543210");
  }
  sonvale::TsDemuxer demuxer(keys);
  const std::size_t piece = (data[1] & 1) ? sonvale::TsDemuxer::kPacketBytes : 1 + data[1] % 200;
  const sonvale::ByteSpan stream(data + 2, size - 2);
  std::uint64_t pts = 0;
  for (std::size_t pos = 0; pos < stream.size(); pos += piece) {
    const auto n = std::min(piece, stream.size() - pos);
    for (const auto& pes : demuxer.push_packet(stream.subspan(pos, n), pts++)) {
      if (pes.buffer.size() > sonvale::TsDemuxer::kMaxPesBytes) std::abort();
    }
  }
  (void)demuxer.finish_pes();
  return 0;
}
