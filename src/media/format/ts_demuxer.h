#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/bytes.h"
#include "media/format/audio_pes.h"
#include "media/format/stream_decryptor.h"
#include "media/format/ts_packet.h"
#include "media/format/stream_keys.h"

namespace sonvale {

// Assembles the audio PES packets of one MPEG transport stream (ISO/IEC 13818-1) from its
// 188-byte packets: PID 0x1100, stream id 0xC0, no program tables. The packets are read by
// parse_ts_packet, the assembled PES by parse_audio_pes; with stream keys, a StreamDecryptor
// decrypts the start of each payload that does not open with a plain 48000 Hz ADTS header, after
// taking a new IV from that PES's PES_private_data. Owned and used by one thread.
class TsDemuxer {
 public:
  static constexpr std::size_t kPacketBytes = TsPacket::kBytes;
  static constexpr std::uint16_t kAudioPid = 0x1100;
  // A PES still collecting beyond this size is discarded up to the next payload-unit start.
  static constexpr std::size_t kMaxPesBytes = 1 << 20;

  explicit TsDemuxer(std::optional<StreamKeys> keys);

  // Feeds one transport stream packet (anything but 188 bytes is skipped) with the fallback
  // presentation time of the RTP packet that carried it. Returns the PES payloads it completed,
  // in stream order: none, one or two. Never fails.
  std::vector<AudioPes> push_packet(ByteSpan packet, std::uint64_t fallback_pts_us);

  // Closes the PES collected so far: nothing when it is not a usable audio PES. Always leaves
  // the demultiplexer empty.
  std::optional<AudioPes> finish_pes();

  // The IV the next encrypted PES starts from, unless its own header brings one.
  std::optional<std::array<std::uint8_t, 16>> current_iv() const;

 private:
  std::optional<AudioPes> close_pes();

  std::optional<std::uint64_t> pending_pts_us_;
  Bytes pes_;
  bool discarding_ = false;  // the PES being collected outgrew kMaxPesBytes
  std::optional<StreamDecryptor> decryptor_;
};

}  // namespace sonvale
