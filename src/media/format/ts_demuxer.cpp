#include "media/format/ts_demuxer.h"

#include <algorithm>

#include "media/format/adts.h"
#include "media/format/pes_packet.h"

namespace sonvale {

TsDemuxer::TsDemuxer(std::optional<StreamKeys> keys) {
  if (keys) decryptor_.emplace(*keys);
}

std::optional<std::array<std::uint8_t, 16>> TsDemuxer::current_iv() const {
  if (!decryptor_) return std::nullopt;
  return decryptor_->iv();
}

std::vector<AudioPes> TsDemuxer::push_packet(ByteSpan bytes, std::uint64_t fallback_pts_us) {
  std::vector<AudioPes> out;
  const std::optional<TsPacket> packet = parse_ts_packet(bytes);
  if (!packet || packet->pid != kAudioPid) return out;

  if (packet->payload_unit_start) {
    if (!pes_.empty()) {
      if (auto pes = finish_pes()) out.push_back(std::move(*pes));
    }
    discarding_ = false;
    pending_pts_us_ = fallback_pts_us;
  }
  if (discarding_) return out;

  const ByteSpan payload = packet->payload;
  if (payload.size() > kMaxPesBytes - pes_.size()) {
    // A peer that never starts a new PES must not grow this buffer without bound.
    pes_.clear();
    pending_pts_us_.reset();
    discarding_ = true;
    return out;
  }
  pes_.insert(pes_.end(), payload.begin(), payload.end());

  ByteReader head(pes_);
  if (head.skip(4)) {
    if (const auto stated = head.u16be()) {
      if (*stated != 0 && head.remaining() >= *stated) {
        if (auto pes = finish_pes()) out.push_back(std::move(*pes));
      }
    }
  }
  return out;
}

std::optional<AudioPes> TsDemuxer::finish_pes() {
  auto result = close_pes();
  pes_.clear();  // keeps its storage for the next PES unless close_pes took it
  pending_pts_us_.reset();
  return result;
}

std::optional<AudioPes> TsDemuxer::close_pes() {
  const std::optional<PesPacket> header = parse_audio_pes(pes_);
  if (!header) return std::nullopt;
  AudioPes result;
  result.pts_us = header->pts_us ? header->pts_us : pending_pts_us_;
  // The PES buffer itself goes on; the next PES starts in a fresh one.
  result.buffer = std::move(pes_);
  pes_ = Bytes();
  pes_.reserve(result.buffer.size());
  result.buffer.resize(header->payload_end);
  result.payload_offset = header->payload_offset;
  // With keys, only a payload that opens with a whole 48000 Hz ADTS header counts as plain: two
  // bytes that happen to look like a sync word are not enough to skip the decryption.
  if (decryptor_ && !starts_with_48k_adts_header(result.payload())) {
    if (header->private_data) decryptor_->renew_iv(*header->private_data);
    decryptor_->decrypt_start(std::span(result.buffer).subspan(result.payload_offset));
  }
  return result;
}

}  // namespace sonvale
