#include "media/native_output_seam.h"

#include <mutex>
#include <utility>

#include "media/native_output.h"

namespace sonvale {

Result<NativeOutput> open_native_output(std::optional<std::string> device,
                                        std::shared_ptr<std::atomic<bool>> blocked,
                                        std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                                        std::shared_ptr<ZeDidiPresentationClock> clock,
                                        std::shared_ptr<ZeDidiLatencyTelemetry> telemetry,
                                        EventSink events) {
  SV_ASSIGN_OR_RETURN(NativeAudioOutput opened,
                      open_native_audio_output(std::move(device), std::move(blocked),
                                               std::move(receiver_volume), std::move(clock),
                                               std::move(telemetry), std::move(events)));
  NativeOutput output;
  output.queue = std::move(opened.queue);
  output.stream = std::shared_ptr<audio::OutputStream>(std::move(opened.stream));
  return output;
}

void push_native_frame(NativeOutput& output, ZeDidiLatencyTelemetry& telemetry,
                       std::span<const float> pcm, std::optional<double> pts_us) {
  std::lock_guard lock(output.queue->mutex());
  output.queue->push_samples(pcm, pts_us);
  telemetry.queued_frames.store(output.queue->queued_frames(), std::memory_order_release);
}

}  // namespace sonvale
