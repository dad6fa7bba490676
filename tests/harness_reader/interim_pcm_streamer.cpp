// INTERIM stand-in for the PCM streamer, built into the harness only while the real one is not
// in the tree: one thread that connects on the first chunk and writes every chunk in order.

#include <chrono>

#include "core/channel.h"
#include "core/net.h"
#include "core/thread.h"
#include "media/pcm_streamer.h"

namespace sonvale {

struct PcmStreamer::Shared {
  Sender<Bytes> sender;
};

PcmStreamer::PcmStreamer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
PcmStreamer::PcmStreamer(PcmStreamer&&) noexcept = default;
PcmStreamer& PcmStreamer::operator=(PcmStreamer&&) noexcept = default;
PcmStreamer::~PcmStreamer() = default;

PcmStreamer PcmStreamer::create(SocketAddr target, EventSink events) {
  auto [sender, receiver] = make_channel<Bytes>();
  auto thread = spawn_named("sonvale-pcm-streamer",
                            [target, events, rx = std::make_shared<Receiver<Bytes>>(std::move(receiver))] {
                              Fd conn;
                              while (auto chunk = rx->recv()) {
                                if (!conn.valid()) {
                                  auto c = tcp_connect_timeout(target, std::chrono::seconds(2));
                                  if (!c) continue;
                                  conn = std::move(*c);
                                }
                                if (!write_all(conn.get(), *chunk)) conn.reset();
                              }
                              (void)events;
                            });
  if (thread) thread->detach();
  auto shared = std::make_shared<Shared>();
  shared->sender = std::move(sender);
  return PcmStreamer(std::move(shared));
}

void PcmStreamer::send(Bytes chunk) {
  if (shared_) (void)shared_->sender.send(std::move(chunk));
}

}  // namespace sonvale
