#include "media/native_output_seam.h"

namespace sonvale {

// INTERIM: the native output device and its playout queue are not built yet. Until they are,
// this reports what the output reports when the machine has no output device, so that the
// reader ends with that error; the PCM stream mode does not come here.
Result<NativeOutput> open_native_output(std::optional<std::string> device,
                                        std::shared_ptr<std::atomic<bool>> blocked,
                                        std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                                        std::shared_ptr<ZeDidiPresentationClock> clock,
                                        std::shared_ptr<ZeDidiLatencyTelemetry> telemetry,
                                        EventSink events) {
  (void)device;
  (void)blocked;
  (void)receiver_volume;
  (void)clock;
  (void)telemetry;
  (void)events;
  return fail(Error::msg("no native audio output device"));
}

// INTERIM: never reached while open_native_output always fails; becomes the locked
// PcmQueue::push_samples plus the release store of queued_frames into the telemetry.
void push_native_frame(NativeOutput& output, ZeDidiLatencyTelemetry& telemetry,
                       std::span<const float> pcm, std::optional<double> pts_us) {
  (void)output;
  (void)telemetry;
  (void)pcm;
  (void)pts_us;
}

}  // namespace sonvale
