#include "media/output/pcm_streamer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/net.h"
#include "core/thread.h"

namespace sonvale {

namespace {

constexpr std::chrono::milliseconds kConnectTimeout{2000};

// Writes all of `data` to the blocking socket `fd` unless `timeout` passes first, which fails with
// ETIMEDOUT. Never raises SIGPIPE; retries EINTR.
Result<> write_all_within(int fd, ByteSpan data, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + timeout;
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n =
        ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return fail(Error::last_os());
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return fail(Error::os(ETIMEDOUT));
    // Round up so that the wait never ends before the deadline.
    const auto wait_ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(wait_ms));
    if (ready < 0 && errno != EINTR) return fail(Error::last_os());
    if (ready == 0) return fail(Error::os(ETIMEDOUT));
  }
  return {};
}

}  // namespace

// The queue between the owner (the only sender) and the streamer thread (the only receiver).
struct PcmStreamer::Shared {
  explicit Shared(PcmStreamLimits l) : limits(l) {}

  const PcmStreamLimits limits;

  mutable std::mutex mu;
  std::condition_variable cv;
  std::deque<Bytes> queue;         // guarded by mu
  std::size_t queued_bytes = 0;    // guarded by mu; sum of the sizes in `queue`
  bool sender_alive = true;        // guarded by mu; false once the PcmStreamer is gone
  bool receiver_alive = true;      // guarded by mu; false once the thread is gone

  void push(Bytes chunk) {
    std::vector<Bytes> dropped;  // freed after the lock is released
    {
      std::lock_guard lock(mu);
      if (!receiver_alive || chunk.size() > limits.max_queued_bytes) return;
      while (!queue.empty() && chunk.size() > limits.max_queued_bytes - queued_bytes) {
        queued_bytes -= queue.front().size();
        dropped.push_back(std::move(queue.front()));
        queue.pop_front();
      }
      queued_bytes += chunk.size();
      queue.push_back(std::move(chunk));
    }
    cv.notify_one();
  }

  // Waits for the next chunk; nullopt once the queue is empty and the sender is gone.
  std::optional<Bytes> pop() {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return !queue.empty() || !sender_alive; });
    if (queue.empty()) return std::nullopt;
    Bytes chunk = std::move(queue.front());
    queue.pop_front();
    queued_bytes -= chunk.size();
    return chunk;
  }

  void close_sender() {
    {
      std::lock_guard lock(mu);
      sender_alive = false;
    }
    cv.notify_all();
  }

  // Called when the thread ends for any reason: later chunks are dropped at the sending side.
  void close_receiver() {
    std::deque<Bytes> dropped;
    std::lock_guard lock(mu);
    receiver_alive = false;
    dropped.swap(queue);
    queued_bytes = 0;
  }

  // Body of "sonvale-pcm-streamer", the only user of the connection: connects on the first chunk
  // and after a failed write, writes each chunk whole, and ends once the sender is gone and the
  // queue is drained.
  void run(const SocketAddr& target, const EventSink& events);
};

PcmStreamer PcmStreamer::create(SocketAddr target, EventSink events) {
  return create(target, std::move(events), PcmStreamLimits{});
}

PcmStreamer PcmStreamer::create(SocketAddr target, EventSink events, PcmStreamLimits limits) {
  auto shared = std::make_shared<Shared>(limits);
  auto thread = spawn_named("sonvale-pcm-streamer",
                            [shared, target, events = std::move(events)]() {
                              // Marks the receiver gone however the body ends.
                              struct ReceiverGuard {
                                Shared& s;
                                ~ReceiverGuard() { s.close_receiver(); }
                              } guard{*shared};
                              shared->run(target, events);
                            });
  if (thread) {
    thread->detach();
  } else {
    shared->close_receiver();
  }
  return PcmStreamer(std::move(shared));
}

PcmStreamer::PcmStreamer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

PcmStreamer::PcmStreamer(PcmStreamer&& o) noexcept = default;

PcmStreamer& PcmStreamer::operator=(PcmStreamer&& o) noexcept {
  if (this != &o) {
    close();
    shared_ = std::move(o.shared_);
  }
  return *this;
}

PcmStreamer::~PcmStreamer() { close(); }

void PcmStreamer::close() {
  if (!shared_) return;
  shared_->close_sender();
  shared_.reset();
}

void PcmStreamer::send(Bytes chunk) {
  if (!shared_) return;
  shared_->push(std::move(chunk));
}

std::size_t PcmStreamer::queued_bytes() const {
  if (!shared_) return 0;
  std::lock_guard lock(shared_->mu);
  return shared_->queued_bytes;
}

void PcmStreamer::Shared::run(const SocketAddr& target, const EventSink& events) {
  const std::string target_text = target.to_string();
  Fd connection;
  while (std::optional<Bytes> chunk = pop()) {
    if (!connection.valid()) {
      auto connected = tcp_connect_timeout(target, kConnectTimeout);
      if (!connected) {
        events(Json{{"event", "warning"},
                    {"code", "pcm_stream_connect_failed"},
                    {"message", "PCM stream connect failed: " + connected.error().to_string()},
                    {"target", target_text}});
        continue;
      }
      connection = std::move(*connected);
      set_tcp_nodelay(connection.get());
      if (limits.send_buffer_bytes > 0) {
        (void)::setsockopt(connection.get(), SOL_SOCKET, SO_SNDBUF, &limits.send_buffer_bytes,
                           sizeof limits.send_buffer_bytes);
      }
      events(Json{{"event", "pcm_stream_connected"}, {"target", target_text}});
    }
    auto written = write_all_within(connection.get(), *chunk, limits.write_timeout);
    if (!written) {
      events(Json{{"event", "warning"},
                  {"code", "pcm_stream_write_failed"},
                  {"message", "PCM stream write failed: " + written.error().to_string()}});
      connection.reset();
    }
  }
}

}  // namespace sonvale
