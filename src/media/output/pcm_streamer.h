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
// Sending never blocks the caller. The thread writes what has gathered in one call, chunk
// boundaries not marked on the stream. Destroying the streamer lets the thread write what is
// still queued and end; a connect or write that fails after that ends it at once. One thread (the media reader) owns and uses a streamer.
class PcmStreamer {
 public:
  // Queued bytes at which send_batched wakes the thread without waiting for flush.
  static constexpr std::size_t kBatchBytes = 256 * 1024;

  static PcmStreamer create(SocketAddr target, EventSink events);
  static PcmStreamer create(SocketAddr target, EventSink events, PcmStreamLimits limits);

  PcmStreamer(PcmStreamer&&) noexcept;
  PcmStreamer& operator=(PcmStreamer&&) noexcept;
  ~PcmStreamer();

  // Queues `chunk` for the thread without waiting for it. Dropped silently when the thread could
  // not be started or has ended, or when this streamer was moved from.
  void send(Bytes chunk);

  // Queues `chunk` like send, but leaves the thread asleep while fewer than kBatchBytes are
  // queued, so that a producer running ahead of real time hands its chunks over in a few large
  // writes. The first chunk of the stream wakes the thread at once. The producer calls flush
  // before it waits for more input of its own. Returns the buffer of a chunk already written,
  // its bytes stale, for the producer to fill again instead of allocating one (or an empty one).
  [[nodiscard]] Bytes send_batched(Bytes chunk);

  // Wakes the thread for whatever send_batched has queued.
  void flush();

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
