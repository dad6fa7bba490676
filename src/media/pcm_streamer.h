#pragma once

#include <memory>

#include "core/bytes.h"
#include "core/event_sink.h"
#include "core/socket_addr.h"

namespace sonvale {

// Delivers chunks of raw PCM, in order and unchanged, over one TCP connection to a listener, from
// its own thread "sonvale-pcm-streamer". Sending never blocks the caller. Destroying the streamer
// lets the thread write what is still queued and end.
class PcmStreamer {
 public:
  static PcmStreamer create(SocketAddr target, EventSink events);

  PcmStreamer(PcmStreamer&&) noexcept;
  PcmStreamer& operator=(PcmStreamer&&) noexcept;
  ~PcmStreamer();

  void send(Bytes chunk);

 private:
  struct Shared;
  explicit PcmStreamer(std::shared_ptr<Shared> shared);
  std::shared_ptr<Shared> shared_;
};

}  // namespace sonvale
