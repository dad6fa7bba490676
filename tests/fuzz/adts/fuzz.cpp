// ADTS framing over arbitrary bytes, fed as a run of payloads: each piece's length comes from
// one input byte, then that many bytes follow.

#include <cstdint>
#include <cstdlib>

#include "media/stream/adts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const sonvale::ByteSpan input(data, size);
  (void)sonvale::probe_audio_format(input);
  (void)sonvale::starts_with_48k_adts_header(input);
  sonvale::Bytes buffer;
  std::size_t pos = 0;
  while (pos < input.size()) {
    const std::size_t n = std::min<std::size_t>(input[pos] * 16u + 1, input.size() - pos - 1);
    ++pos;
    buffer.insert(buffer.end(), input.begin() + static_cast<std::ptrdiff_t>(pos),
                  input.begin() + static_cast<std::ptrdiff_t>(pos + n));
    pos += n;
    for (const auto& frame : sonvale::extract_adts_frames(buffer)) {
      const auto h = sonvale::parse_adts_header(frame);
      // Every frame cut out is exactly as long as it declares and longer than its header.
      if (!h || h->frame_length != frame.size() || frame.size() <= h->header_length()) std::abort();
    }
    if (buffer.size() > sonvale::kAdtsBufferLimit) std::abort();
  }
  return 0;
}
