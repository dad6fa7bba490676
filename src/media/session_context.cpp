#include "media/session_context.h"

#include <utility>

namespace sonvale {

std::shared_ptr<const MediaConfig> MediaConfig::resolve(
    const std::optional<std::string>& output_device, std::shared_ptr<audio::AudioHost> audio_host,
    std::shared_ptr<const Clock> clock) {
  auto config = std::make_shared<MediaConfig>();
  config->output = choose_output(output_device);
  config->audio_host = std::move(audio_host);
  config->clock = std::move(clock);
  return config;
}

SessionShared SessionShared::create(PlaybackGate gate,
                                    std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                                    std::shared_ptr<const Clock> clock, EventSink events,
                                    std::shared_ptr<ZeDidiLatencyTelemetry> telemetry) {
  return SessionShared{
      .gate = std::move(gate),
      .receiver_volume = std::move(receiver_volume),
      .presentation = ZeDidiPresentationClock::create(std::move(clock)),
      .telemetry = telemetry ? std::move(telemetry) : ZeDidiLatencyTelemetry::create(),
      .session_alive = std::make_shared<std::atomic<bool>>(true),
      .play_received = std::make_shared<std::atomic<bool>>(false),
      .events = std::move(events),
  };
}

}  // namespace sonvale
