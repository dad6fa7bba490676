#include "media/stream/ts_demuxer.h"

#include <algorithm>

#include "core/crypto.h"
#include "media/stream/adts.h"

namespace sonvale {
namespace {

constexpr std::size_t kPesHeaderBytes = 9;

std::size_t pes_packet_length(ByteSpan pes) {
  return (static_cast<std::size_t>(pes[4]) << 8) | pes[5];
}

// The PTS of a PES header in microseconds, when the header states a valid one.
std::optional<std::uint64_t> pes_pts_us(ByteSpan pes, std::size_t end) {
  const std::uint8_t flags = pes[7];
  const std::uint8_t header_data_length = pes[8];
  if (end < 14 || header_data_length < 5 || (flags & 0x80) == 0) return std::nullopt;
  if ((pes[9] & 1) == 0 || (pes[11] & 1) == 0 || (pes[13] & 1) == 0) return std::nullopt;
  const std::uint64_t pts = (static_cast<std::uint64_t>(pes[9] & 0x0E) << 29) |
                            (static_cast<std::uint64_t>(pes[10]) << 22) |
                            (static_cast<std::uint64_t>(pes[11] >> 1) << 15) |
                            (static_cast<std::uint64_t>(pes[12]) << 7) |
                            (static_cast<std::uint64_t>(pes[13]) >> 1);
  return pts * 1000000u / 90000u;
}

// Offset of the PES extension flags byte: after the PTS/DTS, ESCR and ES_rate fields.
std::size_t pes_extension_offset(std::uint8_t flags) {
  std::size_t x = kPesHeaderBytes;
  if (flags >= 0xC0) {
    x += 10;
  } else if (flags & 0x80) {
    x += 5;
  }
  if (flags & 0x20) x += 6;
  if (flags & 0x10) x += 3;
  return x;
}

}  // namespace

TsDemuxer::TsDemuxer(std::optional<StreamKeys> keys) : keys_(std::move(keys)) {}

std::optional<std::array<std::uint8_t, 16>> TsDemuxer::current_iv() const {
  if (!keys_) return std::nullopt;
  return keys_->aes_iv;
}

std::vector<AudioPes> TsDemuxer::push_packet(ByteSpan packet, std::uint64_t fallback_pts_us) {
  std::vector<AudioPes> out;
  if (packet.size() != kPacketBytes || packet[0] != 0x47) return out;
  const std::uint16_t pid = static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
  if (pid != kAudioPid) return out;
  const std::uint8_t control = (packet[3] >> 4) & 0x03;
  std::size_t start = 4;
  if (control == 0 || control == 2) return out;
  if (control == 3) {
    if (packet[4] > 182) return out;
    start = 5 + static_cast<std::size_t>(packet[4]);
  }

  if ((packet[1] & 0x40) != 0) {
    if (!pes_.empty()) {
      if (auto pes = finish_pes()) out.push_back(std::move(*pes));
    }
    discarding_ = false;
    pending_pts_us_ = fallback_pts_us;
  }
  if (discarding_) return out;

  const ByteSpan payload = packet.subspan(start);
  if (payload.size() > kMaxPesBytes - pes_.size()) {
    // A peer that never starts a new PES must not grow this buffer without bound.
    pes_.clear();
    pending_pts_us_.reset();
    discarding_ = true;
    return out;
  }
  pes_.insert(pes_.end(), payload.begin(), payload.end());

  if (pes_.size() >= 6) {
    const std::size_t stated = pes_packet_length(pes_);
    if (stated != 0 && pes_.size() >= stated + 6) {
      if (auto pes = finish_pes()) out.push_back(std::move(*pes));
    }
  }
  return out;
}

std::optional<AudioPes> TsDemuxer::finish_pes() {
  auto result = close_pes();
  pes_.clear();  // keeps its storage for the next PES
  pending_pts_us_.reset();
  return result;
}

std::optional<AudioPes> TsDemuxer::close_pes() {
  const std::optional<std::uint64_t> pending = pending_pts_us_;
  const ByteSpan pes(pes_);
  if (pes.size() < kPesHeaderBytes || pes[0] != 0 || pes[1] != 0 || pes[2] != 1 ||
      pes[3] != kAudioStreamId) {
    return std::nullopt;
  }
  const std::size_t stated = pes_packet_length(pes);
  const std::size_t end = (stated != 0 && pes.size() > stated + 6) ? stated + 6 : pes.size();
  if (end < kPesHeaderBytes) return std::nullopt;
  const std::size_t payload_start = kPesHeaderBytes + pes[8];
  if (end <= payload_start) return std::nullopt;

  AudioPes result;
  result.pts_us = pes_pts_us(pes, end);
  if (!result.pts_us) result.pts_us = pending;
  result.data.assign(pes.begin() + static_cast<std::ptrdiff_t>(payload_start),
                     pes.begin() + static_cast<std::ptrdiff_t>(end));
  // With keys, only a payload that opens with a whole 48000 Hz ADTS header counts as plain: two
  // bytes that happen to look like a sync word are not enough to skip the decryption.
  if (keys_ && !starts_with_48k_adts_header(result.data)) {
    decrypt_start(result.data, pes, payload_start);
  }
  return result;
}

void TsDemuxer::decrypt_start(Bytes& payload, ByteSpan pes, std::size_t payload_start) {
  if ((pes[7] & 0x01) != 0) {
    const std::size_t x = pes_extension_offset(pes[7]);
    if (x + 17 <= payload_start && (pes[x] & 0x80) != 0) {
      std::copy_n(pes.begin() + static_cast<std::ptrdiff_t>(x + 1), 16, keys_->aes_iv.begin());
    }
  }
  const std::size_t d = std::min(payload.size(), kMaxDecryptedBytes) / 16 * 16;
  if (d == 0) return;
  auto plain = aes128_cbc_decrypt(keys_->aes_key, keys_->aes_iv, ByteSpan(payload).first(d));
  // Whole blocks of a valid key cannot fail; should the library fail, the bytes stay as received.
  if (plain) std::copy(plain->begin(), plain->end(), payload.begin());
}

}  // namespace sonvale
