#include "media/media_reader.h"

#include "media/native_output_seam.h"
#include "media/pcm_streamer.h"
#include "media/reader_loop.h"

namespace sonvale {
namespace {

// The outputs of a real reader: the PCM streamer thread and the native output device.
ReaderOutputs production_outputs() {
  ReaderOutputs outputs;
  outputs.open_stream = [](const SocketAddr& target,
                           EventSink events) -> ReaderOutputs::ChunkSender {
    // Dropping the last copy of the sender drops the streamer, which lets its thread write what
    // is queued and end.
    auto streamer = std::make_shared<PcmStreamer>(PcmStreamer::create(target, std::move(events)));
    return [streamer](Bytes chunk) { streamer->send(std::move(chunk)); };
  };
  outputs.open_native = open_native_output;
  outputs.push_native = push_native_frame;
  return outputs;
}

}  // namespace

Result<> run_media_reader(Fd audio, std::optional<StreamKeys> keys,
                          std::optional<std::string> output_device,
                          std::shared_ptr<std::atomic<bool>> blocked,
                          std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                          std::shared_ptr<ZeDidiPresentationClock> clock,
                          std::shared_ptr<ZeDidiLatencyTelemetry> telemetry,
                          std::uint64_t generation,
                          std::shared_ptr<std::atomic<std::uint64_t>> media_generation,
                          EventSink events) {
  return run_media_reader_with(production_outputs(), std::move(audio), std::move(keys),
                               std::move(output_device), std::move(blocked),
                               std::move(receiver_volume), std::move(clock), std::move(telemetry),
                               generation, std::move(media_generation), std::move(events));
}

}  // namespace sonvale
