#include "media/media_reader.h"

#include <array>

#include "media/generation_read.h"

namespace sonvale {

// INTERIM: until the decoding pipeline lands, the reader reads and discards the audio connection
// under the generation rule.
Result<> run_media_reader(Fd audio, std::optional<StreamKeys> keys,
                          std::optional<std::string> output_device,
                          std::shared_ptr<std::atomic<bool>> blocked,
                          std::shared_ptr<std::atomic<std::uint32_t>> receiver_volume,
                          std::shared_ptr<ZeDidiPresentationClock> clock,
                          std::shared_ptr<ZeDidiLatencyTelemetry> telemetry,
                          std::uint64_t generation,
                          std::shared_ptr<std::atomic<std::uint64_t>> media_generation,
                          EventSink events) {
  (void)keys;
  (void)output_device;
  (void)blocked;
  (void)receiver_volume;
  (void)clock;
  (void)telemetry;
  (void)events;
  SV_TRY(set_recv_timeout(audio.get(), std::chrono::milliseconds(500)));
  std::array<std::uint8_t, 4> header{};
  for (;;) {
    SV_ASSIGN_OR_RETURN(const bool more,
                        read_exact_for_generation(audio.get(), header, generation, *media_generation));
    if (!more) return {};
  }
}

}  // namespace sonvale
