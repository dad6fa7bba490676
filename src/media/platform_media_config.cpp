// The production media configuration, apart from the rest of the records so that code which
// passes its own host (tests, benchmarks) does not link the platform's audio library.
#include "media/session_context.h"

namespace sonvale {

std::shared_ptr<const MediaConfig> MediaConfig::resolve(
    const std::optional<std::string>& output_device, std::shared_ptr<const Clock> clock) {
  return resolve(output_device, audio::default_audio_host(), std::move(clock));
}

}  // namespace sonvale
