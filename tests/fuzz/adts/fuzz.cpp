// ADTS framing over arbitrary bytes, fed as a run of payloads: each piece's length comes from
// one input byte, then that many bytes follow.

#include <cstdint>
#include <cstdlib>

#include "media/format/adts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const sonvale::ByteSpan input(data, size);
  (void)sonvale::probe_audio_format(input);
  (void)sonvale::starts_with_48k_adts_header(input);
  sonvale::AdtsFramer framer;
  std::size_t pos = 0;
  while (pos < input.size()) {
    const std::size_t n = std::min<std::size_t>(input[pos] * 16u + 1, input.size() - pos - 1);
    ++pos;
    framer.push(input.subspan(pos, n));
    pos += n;
    while (const auto frame = framer.next_frame()) {
      const auto h = sonvale::parse_adts_header(frame->bytes);
      // Every frame cut out is exactly as long as it declares and longer than its header.
      if (!h || h->frame_length != frame->bytes.size() ||
          frame->bytes.size() <= h->header_length() || h->frame_length != frame->header.frame_length)
        std::abort();
    }
    if (framer.buffered().size() > sonvale::kAdtsBufferLimit) std::abort();
  }
  return 0;
}
