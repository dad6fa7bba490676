#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/event_sink.h"
#include "core/socket_addr.h"
#include "media/format/aac_decoder.h"
#include "media/format/adts.h"
#include "media/format/audio_pes.h"
#include "media/clock/latency_telemetry.h"
#include "media/output/native_output.h"
#include "media/output/pcm_conversion.h"
#include "media/clock/presentation_clock.h"
#include "media/session_context.h"

namespace sonvale {

// How the player reaches its outputs. Production: the PCM streamer thread and the native output
// (see run_media_reader); tests pass a recording fake. Called on the reader thread only.
class ReaderOutputs {
 public:
  // The PCM stream as the player feeds it. `send` accepts one chunk and never blocks or fails;
  // it may hold chunks back to hand them over together, and it may return the buffer of an
  // earlier chunk (its bytes stale) for the next one to be written into. `flush`, when set,
  // hands over what is held back; the reader calls it before it waits for more input.
  struct ChunkSender {
    std::function<Bytes(Bytes)> send;
    std::function<void()> flush;
  };

  virtual ~ReaderOutputs() = default;
  // Starts the PCM stream to `target`; the sender returned feeds it.
  virtual ChunkSender open_stream(const SocketAddr& target, EventSink events) = 0;
  [[nodiscard]] virtual Result<NativeOutput> open_native(const NativeOutputChoice& choice,
                                                         const SessionShared& shared) = 0;
  // Hands one decoded frame with its presentation time to an open native output.
  virtual void push_native(NativeOutput& output, ZeDidiLatencyTelemetry& telemetry,
                           std::span<const float> pcm, std::optional<double> pts_us) = 0;
};

// The media reader's decoding and output state for one audio data connection: reassembles ADTS
// frames across PES payloads, decodes them to 48000 Hz stereo, keeps a running presentation
// time, reports the first frames, and hands every frame to the output chosen at creation (the
// native playout queue, or the 44100 Hz s16le PCM stream). Owned by the reader thread alone.
class AacPlayer {
 public:
  // Duration of one 1024-sample frame at 48000 Hz, the step of the running presentation time.
  static constexpr double kFrameDurationUs = 1024.0 * 1000000.0 / 48000.0;

  // Sets up the decoder (its failure carries the context "initialize AAC-LC decoder"), then
  // opens the output the configuration chose; a native output failure is returned unchanged.
  // `shared.telemetry` must not be null; `outputs` must outlive the player.
  [[nodiscard]] static Result<AacPlayer> create(ReaderOutputs& outputs,
                                                const MediaConfig& media,
                                                const SessionShared& shared);

  AacPlayer(AacPlayer&&) noexcept = default;
  AacPlayer& operator=(AacPlayer&&) noexcept = default;

  // Takes one PES payload: adopts its time, cuts and decodes the complete frames in it and hands
  // each to the output. The first failing frame ends the call with its error.
  [[nodiscard]] Result<> push_pes(AudioPes pes);

  // Hands over the PCM the stream output holds back; the reader calls it before it waits for
  // more input, so that no decoded audio waits on the phone.
  void flush_output();

  bool streams_pcm() const { return static_cast<bool>(stream_.send); }
  std::optional<double> next_pts_us() const { return next_pts_us_; }
  std::uint64_t decoded_frames() const { return decoded_frames_; }
  std::size_t buffered_adts_bytes() const { return framer_.buffered().size(); }

 private:
  AacPlayer(AacDecoder decoder, std::shared_ptr<ZeDidiLatencyTelemetry> telemetry,
            EventSink events);

  Result<> decode_frame(const AdtsFrame& frame);
  void report_frame(const AdtsFrame& frame);
  void hand_off(std::optional<double> pts_us);

  AacDecoder decoder_;
  std::optional<double> next_pts_us_;
  AdtsFramer framer_;
  std::vector<float> pcm_buffer_;
  std::uint64_t packet_ts_ = 0;
  std::uint64_t decoded_frames_ = 0;
  bool non_silent_seen_ = false;
  bool layout_reported_ = false;

  // Stream mode.
  ReaderOutputs::ChunkSender stream_;
  StreamResampler resampler_;
  Bytes spare_chunk_;  // a buffer the stream gave back, for the next chunk
  // Native mode.
  std::optional<NativeOutput> native_output_;
  ReaderOutputs* native_outputs_ = nullptr;

  std::shared_ptr<ZeDidiLatencyTelemetry> telemetry_;
  EventSink events_;
};

// Peak and RMS of one decoded frame, as "audio_pcm_decoded" reports them.
struct PcmLevels {
  float peak = 0.0f;
  float rms = 0.0f;
  bool non_silent = false;
};
PcmLevels measure_pcm(std::span<const float> samples);

}  // namespace sonvale
