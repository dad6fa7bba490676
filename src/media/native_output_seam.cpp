#include "media/native_output_seam.h"

#include <mutex>
#include <utility>

#include "media/native_output.h"

namespace sonvale {

namespace {

std::mutex g_host_mu;
std::shared_ptr<audio::AudioHost> g_test_host;  // guarded by g_host_mu

// Keeps the host a stream was opened on alive until the stream is gone.
struct HostedStream {
  std::shared_ptr<audio::AudioHost> host;
  std::unique_ptr<audio::OutputStream> stream;
};

}  // namespace

void set_native_audio_host_for_testing(std::shared_ptr<audio::AudioHost> host) {
  std::lock_guard lock(g_host_mu);
  g_test_host = std::move(host);
}

Result<NativeOutput> open_native_output(std::optional<std::string> device,
                                        std::shared_ptr<std::atomic<bool>> blocked,
                                        std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                                        std::shared_ptr<ZeDidiPresentationClock> clock,
                                        std::shared_ptr<ZeDidiLatencyTelemetry> telemetry,
                                        EventSink events) {
  std::shared_ptr<audio::AudioHost> host;
  {
    std::lock_guard lock(g_host_mu);
    host = g_test_host;
  }
  NativeOutput output;
  if (!host) {
    SV_ASSIGN_OR_RETURN(NativeAudioOutput opened,
                        open_native_audio_output(std::move(device), std::move(blocked),
                                                 std::move(receiver_volume), std::move(clock),
                                                 std::move(telemetry), std::move(events)));
    output.queue = std::move(opened.queue);
    output.stream = std::shared_ptr<audio::OutputStream>(std::move(opened.stream));
    return output;
  }
  SV_ASSIGN_OR_RETURN(NativeAudioOutput opened,
                      open_native_audio_output(*host, std::move(device), std::move(blocked),
                                               std::move(receiver_volume), std::move(clock),
                                               std::move(telemetry), std::move(events)));
  output.queue = std::move(opened.queue);
  output.stream = std::make_shared<HostedStream>(
      HostedStream{std::move(host), std::move(opened.stream)});
  return output;
}

void push_native_frame(NativeOutput& output, ZeDidiLatencyTelemetry& telemetry,
                       std::span<const float> pcm, std::optional<double> pts_us) {
  std::lock_guard lock(output.queue->mutex());
  output.queue->push_samples(pcm, pts_us);
  telemetry.queued_frames.store(output.queue->queued_frames(), std::memory_order_release);
}

}  // namespace sonvale
