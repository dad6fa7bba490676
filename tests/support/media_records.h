#pragma once

// Media records for tests: a configuration from an output text on a given (or no) audio host,
// and fresh session parts with an open gate.

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "media/session_context.h"

namespace sonvale::testing {

inline std::shared_ptr<const MediaConfig> media_config(
    const std::optional<std::string>& output_device, std::shared_ptr<const Clock> clock,
    std::shared_ptr<audio::AudioHost> host = nullptr) {
  return MediaConfig::resolve(output_device, std::move(host), std::move(clock));
}

// The gate's grace and the presentation clock both run on `clock`.
inline SessionShared session_shared(EventSink events, std::shared_ptr<const Clock> clock,
                                    std::shared_ptr<ZeDidiLatencyTelemetry> telemetry = nullptr) {
  PlaybackGate gate =
      PlaybackGate::with_output_suspension(std::make_shared<std::atomic<bool>>(false), clock);
  return SessionShared::create(std::move(gate), std::make_shared<std::atomic<std::uint32_t>>(100),
                               std::move(clock), std::move(events), std::move(telemetry));
}

}  // namespace sonvale::testing
