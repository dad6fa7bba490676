#include "media/stream/data_threads.h"

#include <array>

#include "core/thread.h"
#include "media/media_events.h"
#include "media/media_error.h"

namespace sonvale {

void image_drain_main(Fd image) {
  const ShutdownAtExit end_of_connection(image.get());
  std::array<std::uint8_t, 8192> buf{};
  for (;;) {
    auto n = read_some(image.get(), buf);
    if (!n || *n == 0) return;
  }
}

void media_reader_main(MediaReaderInputs in) {
  std::optional<std::string> fingerprint;
  if (in.session.params.keys) fingerprint = in.session.params.keys->fingerprint();
  const SessionToken token = in.session.params.token;
  const EventSink events = in.session.shared.events;
  const auto session_alive = in.session.shared.session_alive;

  Result<> result = run_media_reader(std::move(in));
  if (result) return;
  if (!token.current()) return;
  if (!session_alive->load(std::memory_order_acquire)) return;
  if (emit_normal_channel_close(events, result.error(), token.generation())) return;
  events(audio_stream_failed_event(fingerprint, token.generation(), result.error()));
}

bool emit_normal_channel_close(const EventSink& events, const Error& failure,
                               std::uint64_t generation) {
  const RemoteChannelClosed* closed = remote_closed_details(failure);
  if (closed == nullptr) return false;
  events(media_channel_closed_event(*closed, generation));
  return true;
}

void spawn_image_drain(Fd image) {
  auto thread = spawn_named("sonvale-image-drain", [image = std::move(image)]() mutable {
    image_drain_main(std::move(image));
  });
  if (thread) thread->detach();
}

void spawn_media_reader(MediaReaderInputs inputs) {
  auto thread = spawn_named("sonvale-audio", [inputs = std::move(inputs)]() mutable {
    media_reader_main(std::move(inputs));
  });
  if (thread) thread->detach();
}

}  // namespace sonvale
