#include "media/output/pcm_streamer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
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
#include "media/media_events.h"

namespace sonvale {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kConnectTimeout{2000};
// Chunks the thread takes for one write at most.
constexpr std::size_t kMaxBatchChunks = 128;

}  // namespace

// The queue between the owner (the only sender) and the streamer thread (the only receiver).
struct PcmStreamer::Shared {
  enum class Wake { kNow, kBatched };

  explicit Shared(PcmStreamLimits l) : limits(l) {}

  const PcmStreamLimits limits;

  mutable std::mutex mu;
  std::condition_variable cv;
  std::deque<Bytes> queue;        // guarded by mu
  std::size_t queued_bytes = 0;   // guarded by mu; sum of the sizes in `queue`
  bool sender_alive = true;       // guarded by mu; false once the PcmStreamer is gone
  bool receiver_alive = true;     // guarded by mu; false once the thread is gone
  bool released = false;          // guarded by mu; the thread is to take what is queued
  bool receiver_waiting = false;  // guarded by mu; the thread sleeps on cv
  bool first_chunk = true;        // guarded by mu; nothing has been queued yet
  // guarded by mu; buffers of written chunks, at most kMaxBatchChunks, for the sender to fill
  // again instead of allocating
  std::vector<Bytes> spare;

  // Lets the thread take what is queued; true when it sleeps and needs waking.
  bool release_locked() {
    if (released) return false;
    released = true;
    return receiver_waiting;
  }

  // Drops the oldest chunks until the queue is within its bound, into `dropped`.
  void trim_locked(std::vector<Bytes>& dropped) {
    while (!queue.empty() && queued_bytes > limits.max_queued_bytes) {
      queued_bytes -= queue.front().size();
      dropped.push_back(std::move(queue.front()));
      queue.pop_front();
    }
  }

  // Queues `chunk`; returns a spare buffer, or an empty one.
  Bytes push(Bytes chunk, Wake wake) {
    std::vector<Bytes> dropped;  // freed after the lock is released
    bool notify = false;
    Bytes reuse;
    {
      std::lock_guard lock(mu);
      if (!spare.empty()) {
        reuse = std::move(spare.back());
        spare.pop_back();
      }
      if (!receiver_alive || chunk.size() > limits.max_queued_bytes) return reuse;
      while (!queue.empty() && chunk.size() > limits.max_queued_bytes - queued_bytes) {
        queued_bytes -= queue.front().size();
        dropped.push_back(std::move(queue.front()));
        queue.pop_front();
      }
      queued_bytes += chunk.size();
      queue.push_back(std::move(chunk));
      if (wake == Wake::kNow || first_chunk || queued_bytes >= kBatchBytes) {
        notify = release_locked();
      }
      first_chunk = false;
    }
    if (notify) cv.notify_one();
    return reuse;
  }

  void flush() {
    bool notify = false;
    {
      std::lock_guard lock(mu);
      if (!queue.empty()) notify = release_locked();
    }
    if (notify) cv.notify_one();
  }

  // Keeps the buffers of the chunks in `batch` (written or dropped) as spares, then waits until
  // chunks are released to the thread, or the sender is gone, and moves the oldest of them
  // (kMaxBatchChunks at most) into `batch`. False once the queue is empty and the sender is gone.
  bool take(std::vector<Bytes>& batch) {
    std::unique_lock lock(mu);
    for (Bytes& done : batch) {
      if (spare.size() == kMaxBatchChunks) break;
      if (done.capacity() > 0) spare.push_back(std::move(done));
    }
    lock.unlock();
    batch.clear();  // frees what was not kept, outside the lock
    lock.lock();
    receiver_waiting = true;
    cv.wait(lock, [&] { return (released && !queue.empty()) || !sender_alive; });
    receiver_waiting = false;
    while (!queue.empty() && batch.size() < kMaxBatchChunks) {
      queued_bytes -= queue.front().size();
      batch.push_back(std::move(queue.front()));
      queue.pop_front();
    }
    released = !queue.empty();
    return !batch.empty();
  }

  // Puts the chunks of `batch` from index `from` on back at the front of the queue, in order,
  // under its bound again (the oldest go first when it is exceeded), and cuts them off `batch`.
  // The thread is writing, so they count as released.
  void give_back(std::vector<Bytes>& batch, std::size_t from) {
    if (from >= batch.size()) return;
    std::vector<Bytes> dropped;
    {
      std::lock_guard lock(mu);
      for (std::size_t k = batch.size(); k > from; --k) {
        queued_bytes += batch[k - 1].size();
        queue.push_front(std::move(batch[k - 1]));
      }
      trim_locked(dropped);
      released = !queue.empty();
    }
    batch.resize(from);
  }

  bool sender_gone() const {
    std::lock_guard lock(mu);
    return !sender_alive;
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

  // Writes the chunks of `batch` in order to the blocking socket `fd`, as many as the socket
  // takes in one call. A chunk not completely written `limits.write_timeout` after its write began
  // fails with ETIMEDOUT. While the socket is full, and after a failure, only the chunk being
  // written stays out of the queue: the ones not begun go back under its bound (and after a
  // failure to the next connection). Never raises SIGPIPE; retries EINTR.
  Result<> write_batch(int fd, std::vector<Bytes>& batch);

  // Body of "sonvale-pcm-streamer", the only user of the connection: connects on the first chunk
  // and after a failed write, writes the chunks whole and in order, and ends once the sender is
  // gone and the queue is drained, or at the first failure after the sender is gone (what is
  // still queued is dropped then: a listener that is gone or stalled does not keep it alive).
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
  (void)shared_->push(std::move(chunk), Shared::Wake::kNow);
}

Bytes PcmStreamer::send_batched(Bytes chunk) {
  if (!shared_) return Bytes();
  return shared_->push(std::move(chunk), Shared::Wake::kBatched);
}

void PcmStreamer::flush() {
  if (shared_) shared_->flush();
}

std::size_t PcmStreamer::queued_bytes() const {
  if (!shared_) return 0;
  std::lock_guard lock(shared_->mu);
  return shared_->queued_bytes;
}

Result<> PcmStreamer::Shared::write_batch(int fd, std::vector<Bytes>& batch) {
  std::size_t current = 0;  // the chunk being written
  std::size_t offset = 0;   // its bytes already written
  auto deadline = SteadyClock::now() + limits.write_timeout;
  std::array<iovec, kMaxBatchChunks> iov{};
  for (;;) {
    while (current < batch.size() && offset == batch[current].size()) {
      ++current;
      offset = 0;
    }
    if (current == batch.size()) return {};
    std::size_t count = 0;
    iov[count++] = iovec{batch[current].data() + offset, batch[current].size() - offset};
    for (std::size_t k = current + 1; k < batch.size(); ++k) {
      if (!batch[k].empty()) iov[count++] = iovec{batch[k].data(), batch[k].size()};
    }
    msghdr message{};
    message.msg_iov = iov.data();
    message.msg_iovlen = count;
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      const std::size_t before = current;
      auto left = static_cast<std::size_t>(n);
      while (left > 0) {
        const std::size_t take = std::min(left, batch[current].size() - offset);
        offset += take;
        left -= take;
        if (offset == batch[current].size()) {
          ++current;
          offset = 0;
          while (current < batch.size() && batch[current].empty()) ++current;
        }
      }
      // The next chunk's write began with this call.
      if (current != before) deadline = SteadyClock::now() + limits.write_timeout;
      continue;
    }
    if (errno == EINTR) continue;
    // The chunks not begun go back under the queue's bound, whether the socket failed or waits.
    const int error = errno;
    give_back(batch, current + 1);
    if (error != EAGAIN && error != EWOULDBLOCK) return fail(Error::os(error));
    const auto left = deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) return fail(Error::os(ETIMEDOUT));
    // Round up so that the wait never ends before the deadline.
    const auto wait_ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(wait_ms));
    if (ready < 0 && errno != EINTR) return fail(Error::last_os());
    if (ready == 0) return fail(Error::os(ETIMEDOUT));
  }
}

void PcmStreamer::Shared::run(const SocketAddr& target, const EventSink& events) {
  const std::string target_text = target.to_string();
  Fd connection;
  std::vector<Bytes> batch;
  batch.reserve(kMaxBatchChunks);
  while (take(batch)) {
    if (!connection.valid()) {
      // Connecting may take its whole time-out: only the chunk it is for leaves the queue.
      give_back(batch, 1);
      auto connected = tcp_connect_timeout(target, kConnectTimeout);
      if (!connected) {
        events(pcm_stream_connect_failed_event(target_text, connected.error()));
        if (sender_gone()) return;
        continue;
      }
      connection = std::move(*connected);
      set_tcp_nodelay(connection.get());
      if (limits.send_buffer_bytes > 0) {
        (void)::setsockopt(connection.get(), SOL_SOCKET, SO_SNDBUF, &limits.send_buffer_bytes,
                           sizeof limits.send_buffer_bytes);
      }
      events(pcm_stream_connected_event(target_text));
    }
    auto written = write_batch(connection.get(), batch);
    if (!written) {
      events(pcm_stream_write_failed_event(written.error()));
      if (sender_gone()) return;
      connection.reset();
    }
  }
}

}  // namespace sonvale
