#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "core/bytes.h"
#include "core/event_sink.h"
#include "core/socket_addr.h"

namespace sonvale {

// How much a slow or stalled listener may hold back. The defaults are two seconds of the stream's
// audio (44100 Hz, 2 channels, 2 bytes per sample) and a two-second write limit.
struct PcmStreamLimits {
  // Bytes of queued chunks at most; when a new chunk would exceed it, the oldest queued chunks
  // are dropped to make room. A chunk larger than the whole bound is dropped itself.
  std::size_t max_queued_bytes = 2 * 44100 * 2 * 2;
  // A chunk not completely written this long after its write began counts as a failed write.
  std::chrono::milliseconds write_timeout{2000};
  // Send buffer size asked of the kernel for the connection; 0 leaves the kernel's automatic
  // sizing. Lets tests make a stalled listener block the writer after little data.
  int send_buffer_bytes = 0;
};

// Delivers chunks of raw PCM, in order and unchanged, over one TCP connection to a listener, from
// its own thread "sonvale-pcm-streamer". The connection is opened when the first chunk arrives and
// reopened with the chunk after a failed write; each failure is reported as a "warning" event.
// Sending never blocks the caller. Destroying the streamer lets the thread write what is still
// queued and end. One thread (the media reader) owns and uses a streamer.
class PcmStreamer {
 public:
  static PcmStreamer create(SocketAddr target, EventSink events);
  static PcmStreamer create(SocketAddr target, EventSink events, PcmStreamLimits limits);

  PcmStreamer(PcmStreamer&&) noexcept;
  PcmStreamer& operator=(PcmStreamer&&) noexcept;
  ~PcmStreamer();

  // Queues `chunk` for the thread without waiting for it. Dropped silently when the thread could
  // not be started or has ended, or when this streamer was moved from.
  void send(Bytes chunk);

  // Bytes of the chunks queued and not yet taken by the thread (the one being written is not
  // counted). For observing the queue bound.
  std::size_t queued_bytes() const;

 private:
  struct Shared;
  explicit PcmStreamer(std::shared_ptr<Shared> shared);
  void close();
  std::shared_ptr<Shared> shared_;
};

}  // namespace sonvale
