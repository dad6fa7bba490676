#include "media/stream/adts.h"

#include <array>

namespace sonvale {
namespace {

constexpr std::array<std::uint32_t, 13> kSampleRates = {
    96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

// Empties the buffer, keeping a last 0xFF as the possible start of the next sync.
void clear_keeping_last_ff(Bytes& buffer) {
  const bool keep = !buffer.empty() && buffer.back() == 0xFF;
  buffer.clear();
  if (keep) buffer.push_back(0xFF);
}

}  // namespace

std::optional<AdtsHeader> parse_adts_header(ByteSpan data) {
  if (data.size() < kAdtsMinHeaderBytes || !is_adts_sync(data, 0)) return std::nullopt;
  AdtsHeader h;
  h.protection_absent = (data[1] & 0x01) != 0;
  h.sampling_index = static_cast<std::uint8_t>((data[2] >> 2) & 0x0F);
  h.frame_length =
      static_cast<std::uint16_t>(((data[3] & 0x03) << 11) | (data[4] << 3) | (data[5] >> 5));
  return h;
}

std::optional<std::uint32_t> adts_sample_rate(std::uint8_t sampling_index) {
  if (sampling_index >= kSampleRates.size()) return std::nullopt;
  return kSampleRates[sampling_index];
}

bool starts_with_48k_adts_header(ByteSpan payload) {
  const auto h = parse_adts_header(payload);
  return h && payload.size() >= h->header_length() && h->sampling_index == kZeDidiSamplingIndex &&
         h->frame_length >= h->header_length();
}

std::vector<Bytes> extract_adts_frames(Bytes& buffer) {
  std::vector<Bytes> frames;
  const ByteSpan data(buffer);
  std::size_t pos = 0;
  for (;;) {
    const std::size_t left = data.size() - pos;
    if (left < 2) break;
    if (is_adts_sync(data, pos)) {
      if (left < kAdtsMinHeaderBytes) break;
      const AdtsHeader h = *parse_adts_header(data.subspan(pos));
      if (h.frame_length <= h.header_length()) {
        ++pos;
        continue;
      }
      if (left < h.frame_length) break;
      const auto frame = data.subspan(pos, h.frame_length);
      frames.emplace_back(frame.begin(), frame.end());
      pos += h.frame_length;
      continue;
    }
    std::size_t next = pos + 1;
    while (next < data.size() && !is_adts_sync(data, next)) ++next;
    if (next >= data.size()) {
      clear_keeping_last_ff(buffer);
      return frames;
    }
    pos = next;
  }
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(pos));
  if (buffer.size() == 1 && buffer[0] != 0xFF) buffer.clear();
  if (buffer.size() > kAdtsBufferLimit) clear_keeping_last_ff(buffer);
  return frames;
}

AudioFormatProbe probe_audio_format(ByteSpan payload) {
  const auto h = parse_adts_header(payload);
  if (!h) return {};
  const auto rate = adts_sample_rate(h->sampling_index);
  if (!rate) return {};
  return {*rate, static_cast<std::uint64_t>(h->frame_length) * *rate / 128};
}

}  // namespace sonvale
