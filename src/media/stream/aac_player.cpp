#include "media/stream/aac_player.h"

#include <fmt/format.h>

#include <cmath>
#include <limits>
#include <variant>

#include "core/encoding.h"
#include "media/media_events.h"
#include "media/format/adts.h"

namespace sonvale {
namespace {

constexpr std::uint64_t kMaxPacketTs = (std::uint64_t{1} << 63) - 1;

bool is_milestone(std::uint64_t decoded_frames) {
  return decoded_frames == 1 || decoded_frames == 8 || decoded_frames == 32 ||
         decoded_frames == 128;
}

}  // namespace

PcmLevels measure_pcm(std::span<const float> samples) {
  PcmLevels levels;
  if (samples.empty()) return levels;
  float sum = 0.0f;
  for (const float s : samples) {
    const float a = std::fabs(s);
    if (a > levels.peak) levels.peak = a;  // a NaN never compares greater
    sum += s * s;
  }
  levels.rms = std::sqrt(sum / static_cast<float>(samples.size()));
  levels.non_silent = levels.peak > 0.00001f;
  return levels;
}

AacPlayer::AacPlayer(AacDecoder decoder, std::shared_ptr<ZeDidiLatencyTelemetry> telemetry,
                     EventSink events)
    : decoder_(std::move(decoder)), telemetry_(std::move(telemetry)), events_(std::move(events)) {
  pcm_buffer_.reserve(2 * AacDecoder::kFrameSamples);
}

Result<AacPlayer> AacPlayer::create(ReaderOutputs& outputs, const MediaConfig& media,
                                    const SessionShared& shared) {
  SV_ASSIGN_OR_RETURN(AacDecoder decoder,
                      with_context(AacDecoder::create(), "initialize AAC-LC decoder"));
  AacPlayer player(std::move(decoder), shared.telemetry, shared.events);
  if (const auto* stream = std::get_if<StreamOutputChoice>(&media.output)) {
    // The gate, the volume and the presentation clock are not used by the PCM stream.
    player.stream_ = outputs.open_stream(stream->target, shared.events);
    return player;
  }
  SV_ASSIGN_OR_RETURN(NativeOutput native,
                      outputs.open_native(std::get<NativeOutputChoice>(media.output), shared));
  player.native_output_ = std::move(native);
  player.native_outputs_ = &outputs;
  return player;
}

Result<> AacPlayer::push_pes(AudioPes pes) {
  if (pes.pts_us) next_pts_us_ = static_cast<double>(*pes.pts_us);
  const std::size_t payload_bytes = pes.payload().size();
  framer_.push(std::move(pes.buffer), pes.payload_offset);
  std::uint32_t frames = 0;
  while (const std::optional<AdtsFrame> frame = framer_.next_frame()) {
    SV_TRY(decode_frame(*frame));
    ++frames;
  }
  if (!layout_reported_) {
    layout_reported_ = true;
    events_(aac_pes_layout_event(payload_bytes, frames, framer_.buffered().size()));
  }
  return {};
}

Result<> AacPlayer::decode_frame(const AdtsFrame& frame) {
  const auto rate = adts_sample_rate(frame.header.sampling_index);
  if (!rate) return fail(Error::msg("ADTS sample rate is missing or reserved"));
  if (frame.header.sampling_index != kZeDidiSamplingIndex) {
    return fail(Error::msg(fmt::format("unsupported ZeDidi AAC sample rate {} Hz; expected {} Hz",
                                       *rate, kZeDidiSampleRate)));
  }
  const auto ts = static_cast<std::int64_t>(packet_ts_);
  packet_ts_ = packet_ts_ >= kMaxPacketTs - AacDecoder::kFrameSamples
                   ? kMaxPacketTs
                   : packet_ts_ + AacDecoder::kFrameSamples;
  SV_TRY(with_context(decoder_.decode(frame.payload(), ts, pcm_buffer_), "decode AAC-LC frame"));
  if (decoded_frames_ != std::numeric_limits<std::uint64_t>::max()) ++decoded_frames_;
  report_frame(frame);
  hand_off(next_pts_us_);
  if (next_pts_us_) *next_pts_us_ += kFrameDurationUs;
  return {};
}

void AacPlayer::report_frame(const AdtsFrame& frame) {
  const bool milestone = is_milestone(decoded_frames_);
  if (!milestone && (non_silent_seen_ || pcm_buffer_.empty())) return;
  const PcmLevels levels = measure_pcm(pcm_buffer_);
  if (!milestone && !levels.non_silent) return;
  if (levels.non_silent) non_silent_seen_ = true;
  const ByteSpan payload = frame.payload();
  events_(audio_pcm_decoded_event({
      .decoded_frames = decoded_frames_,
      .adts_frame_bytes = frame.bytes.size(),
      .adts_header_hex = hex_lower(frame.header_bytes()),
      .aac_payload_prefix_hex = hex_lower(payload.first(std::min<std::size_t>(32, payload.size()))),
      .aac_first_element_id = static_cast<std::uint8_t>(payload[0] >> 5),
      .samples = pcm_buffer_.size(),
      .peak = levels.peak,
      .rms = levels.rms,
      .non_silent = levels.non_silent,
  }));
}

void AacPlayer::flush_output() {
  if (stream_.flush) stream_.flush();
}

void AacPlayer::hand_off(std::optional<double> pts_us) {
  if (stream_.send) {
    // The stream ignores the presentation time: every frame goes out as soon as it is decoded.
    spare_chunk_ = stream_.send(resampler_.convert(pcm_buffer_, std::move(spare_chunk_)));
    return;
  }
  if (native_output_) native_outputs_->push_native(*native_output_, *telemetry_, pcm_buffer_, pts_us);
}

}  // namespace sonvale
