#include "media/reader_loop.h"

#include <chrono>

#include "media/adts.h"
#include "media/generation_read.h"
#include "media/rtp.h"
#include "media/ts_demuxer.h"

namespace sonvale {
namespace {

constexpr auto kReadTimeout = std::chrono::milliseconds(500);

void emit_audio_format(const EventSink& events, ByteSpan payload, bool encrypted) {
  const AudioFormatProbe probe = probe_audio_format(payload);
  events(Json{{"event", "audio_format"},
              {"codec", "AAC-LC"},
              {"sample_rate", probe.sample_rate},
              {"required_sample_rate", kZeDidiSampleRate},
              {"channels", 2},
              {"bits_per_sample", 16},
              {"bitrate", probe.bitrate},
              {"encrypted", encrypted},
              {"transport", "RTP/MP2T/TCP"}});
}

}  // namespace

Result<> run_media_reader_with(
    const ReaderOutputs& outputs, Fd audio, std::optional<StreamKeys> keys,
    std::optional<std::string> output_device, std::shared_ptr<std::atomic<bool>> blocked,
    std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
    std::shared_ptr<ZeDidiPresentationClock> clock,
    std::shared_ptr<ZeDidiLatencyTelemetry> telemetry, std::uint64_t generation,
    std::shared_ptr<std::atomic<std::uint64_t>> media_generation, EventSink events) {
  // The reader owns the connection: however it ends, the phone sees the end at once, also while
  // the session still holds its descriptor for waking the reader.
  const ShutdownAtExit end_of_connection(audio.get());
  // The time-out only paces the generation checks; without it the reader still works.
  (void)set_recv_timeout(audio.get(), kReadTimeout);

  SV_ASSIGN_OR_RETURN(
      AacPlayer player,
      AacPlayer::create(outputs, output_device, std::move(blocked), std::move(receiver_volume),
                        std::move(clock), telemetry, events));
  const bool encrypted = keys.has_value();
  TsDemuxer demuxer(std::move(keys));
  Bytes frame;
  frame.reserve(2048);
  std::array<std::uint8_t, kFrameHeaderBytes> header{};
  bool first_pes = true;

  const auto read = [&](std::span<std::uint8_t> buf) {
    return read_exact_for_generation(audio.get(), buf, generation, *media_generation);
  };
  for (;;) {
    SV_ASSIGN_OR_RETURN(const bool header_read, read(header));
    if (!header_read) return {};
    SV_ASSIGN_OR_RETURN(const std::uint16_t length, parse_frame_header(header));
    frame.resize(length);
    SV_ASSIGN_OR_RETURN(const bool body_read, read(frame));
    if (!body_read) return {};
    const auto arrival = std::chrono::steady_clock::now();
    SV_ASSIGN_OR_RETURN(const RtpPacket packet, parse_rtp_packet(frame));
    telemetry->observe_packet(packet.sequence, packet.timestamp, arrival, length);

    const std::size_t pieces = packet.payload.size() / TsDemuxer::kPacketBytes;
    if (pieces == 0) continue;
    const std::uint64_t fallback_pts_us = rtp_fallback_pts_us(packet.timestamp);
    for (std::size_t k = 0; k < pieces; ++k) {
      const ByteSpan ts =
          packet.payload.subspan(k * TsDemuxer::kPacketBytes, TsDemuxer::kPacketBytes);
      for (AudioPes& pes : demuxer.push_packet(ts, fallback_pts_us)) {
        if (first_pes) emit_audio_format(events, pes.data, encrypted);
        SV_TRY(player.push_pes(std::move(pes)));
        first_pes = false;
      }
    }
  }
}

}  // namespace sonvale
