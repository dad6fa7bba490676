#include "media/format/adts.h"

#include <algorithm>
#include <array>

namespace sonvale {
namespace {

constexpr std::array<std::uint32_t, 13> kSampleRates = {
    96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};

// A sync word with layer 0 at the start of `data`: 0xFF, then a byte whose bits 0xF6 read 0xF0.
bool starts_with_sync(ByteSpan data) {
  ByteReader r(data);
  const auto b0 = r.u8();
  const auto b1 = r.u8();
  return b0 && b1 && *b0 == 0xFF && (*b1 & 0xF6) == 0xF0;
}

}  // namespace

std::optional<AdtsHeader> parse_adts_header(ByteSpan data) {
  if (!starts_with_sync(data)) return std::nullopt;
  ByteReader r(data);
  const auto fixed = r.bytes(kAdtsMinHeaderBytes);
  if (!fixed) return std::nullopt;
  const ByteSpan b = *fixed;
  AdtsHeader h;
  h.protection_absent = (b[1] & 0x01) != 0;
  h.sampling_index = static_cast<std::uint8_t>((b[2] >> 2) & 0x0F);
  h.frame_length = static_cast<std::uint16_t>(((b[3] & 0x03) << 11) | (b[4] << 3) | (b[5] >> 5));
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

void AdtsFramer::push(ByteSpan piece) { buffer_.insert(buffer_.end(), piece.begin(), piece.end()); }

void AdtsFramer::push(Bytes&& storage, std::size_t offset) {
  if (!buffered().empty() || offset > storage.size()) {
    push(ByteSpan(storage).subspan(std::min(offset, storage.size())));
    return;
  }
  buffer_ = std::move(storage);
  pos_ = offset;
}

std::optional<AdtsFrame> AdtsFramer::next_frame() {
  for (;;) {
    const ByteSpan left = buffered();
    if (left.size() < 2) break;
    if (starts_with_sync(left)) {
      const auto h = parse_adts_header(left);
      if (!h) break;  // a sync with fewer than 7 bytes waits
      if (h->frame_length <= h->header_length()) {
        ++pos_;
        continue;
      }
      if (left.size() < h->frame_length) break;
      pos_ += h->frame_length;
      return AdtsFrame{*h, left.first(h->frame_length)};
    }
    std::size_t next = 1;
    while (next < left.size() && !starts_with_sync(left.subspan(next))) ++next;
    if (next >= left.size()) {
      clear_keeping_last_ff();
      return std::nullopt;
    }
    pos_ += next;
  }
  compact();
  return std::nullopt;
}

void AdtsFramer::compact() {
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos_));
  pos_ = 0;
  if (buffer_.size() == 1 && buffer_[0] != 0xFF) buffer_.clear();
  if (buffer_.size() > kAdtsBufferLimit) clear_keeping_last_ff();
}

// Empties the buffer, keeping a last 0xFF as the possible start of the next sync.
void AdtsFramer::clear_keeping_last_ff() {
  const bool keep = !buffer_.empty() && buffer_.back() == 0xFF;
  buffer_.clear();
  pos_ = 0;
  if (keep) buffer_.push_back(0xFF);
}

AudioFormatProbe probe_audio_format(ByteSpan payload) {
  const auto h = parse_adts_header(payload);
  if (!h) return {};
  const auto rate = adts_sample_rate(h->sampling_index);
  if (!rate) return {};
  return {*rate, static_cast<std::uint64_t>(h->frame_length) * *rate / 128};
}

}  // namespace sonvale
