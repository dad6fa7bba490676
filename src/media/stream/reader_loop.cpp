#include "media/stream/reader_loop.h"

#include <chrono>

#include "media/format/adts.h"
#include "media/generation_read.h"
#include "media/media_events.h"
#include "media/output/native_output.h"
#include "media/output/pcm_streamer.h"
#include "media/format/rtp.h"
#include "media/format/ts_demuxer.h"

namespace sonvale {
namespace {

constexpr auto kReadTimeout = std::chrono::milliseconds(500);

void emit_audio_format(const EventSink& events, ByteSpan payload, bool encrypted) {
  const AudioFormatProbe probe = probe_audio_format(payload);
  events(audio_format_event(probe.sample_rate, probe.bitrate, encrypted));
}

// The outputs of a real reader: the PCM streamer thread and the native output on the receiver's
// audio host.
class ProductionOutputs final : public ReaderOutputs {
 public:
  explicit ProductionOutputs(std::shared_ptr<const MediaConfig> media) : media_(std::move(media)) {}

  ChunkSender open_stream(const SocketAddr& target, EventSink events) override {
    // Dropping the last copy of the sender drops the streamer, which lets its thread write what
    // is queued and end.
    auto streamer = std::make_shared<PcmStreamer>(PcmStreamer::create(target, std::move(events)));
    return {.send = [streamer](Bytes chunk) { return streamer->send_batched(std::move(chunk)); },
            .flush = [streamer] { streamer->flush(); }};
  }

  Result<NativeOutput> open_native(const NativeOutputChoice& choice,
                                   const SessionShared& shared) override {
    return open_native_output(*media_, choice.device, shared);
  }

  void push_native(NativeOutput& output, ZeDidiLatencyTelemetry& telemetry,
                   std::span<const float> pcm, std::optional<double> pts_us) override {
    push_native_frame(output, telemetry, pcm, pts_us);
  }

 private:
  std::shared_ptr<const MediaConfig> media_;
};

}  // namespace

Result<> run_media_reader(MediaReaderInputs inputs) {
  ProductionOutputs outputs(inputs.session.params.media);
  return run_media_reader_with(outputs, std::move(inputs));
}

Result<> run_media_reader_with(ReaderOutputs& outputs, MediaReaderInputs in) {
  // The reader owns the connection: however it ends, the phone sees the end at once, also while
  // the session still holds its descriptor for waking the reader.
  Fd audio = std::move(in.audio);
  const ShutdownAtExit end_of_connection(audio.get());
  // The time-out only paces the generation checks; without it the reader still works.
  (void)set_recv_timeout(audio.get(), kReadTimeout);
  const RtspSessionParams& params = in.session.params;
  const SessionShared& shared = in.session.shared;
  const EventSink& events = shared.events;
  ZeDidiLatencyTelemetry& telemetry = *shared.telemetry;
  const Clock& clock = *params.media->clock;

  SV_ASSIGN_OR_RETURN(AacPlayer player, AacPlayer::create(outputs, *params.media, shared));
  const bool encrypted = params.keys.has_value();
  TsDemuxer demuxer(params.keys);
  bool first_pes = true;

  // Whatever the output holds back goes out before the reader may wait for the phone.
  GenerationReader input(audio.get(), params.token.generation(), params.token.counter(),
                         [&player] { player.flush_output(); });
  for (;;) {
    SV_ASSIGN_OR_RETURN(const std::optional<ByteSpan> header, input.next(kFrameHeaderBytes));
    if (!header) return {};
    SV_ASSIGN_OR_RETURN(const std::uint16_t length, parse_frame_header(*header));
    SV_ASSIGN_OR_RETURN(const std::optional<ByteSpan> frame, input.next(length));
    if (!frame) return {};
    const auto arrival = clock.now();
    SV_ASSIGN_OR_RETURN(const RtpPacket packet, parse_rtp_packet(*frame));
    telemetry.observe_packet(packet.sequence, packet.timestamp, arrival, length);

    const std::size_t pieces = packet.payload.size() / TsDemuxer::kPacketBytes;
    if (pieces == 0) continue;
    const std::uint64_t fallback_pts_us = rtp_fallback_pts_us(packet.timestamp);
    for (std::size_t k = 0; k < pieces; ++k) {
      const ByteSpan ts =
          packet.payload.subspan(k * TsDemuxer::kPacketBytes, TsDemuxer::kPacketBytes);
      for (AudioPes& pes : demuxer.push_packet(ts, fallback_pts_us)) {
        if (first_pes) emit_audio_format(events, pes.payload(), encrypted);
        SV_TRY(player.push_pes(std::move(pes)));
        first_pes = false;
      }
    }
  }
}

}  // namespace sonvale
