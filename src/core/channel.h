#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "core/error.h"

namespace sonvale {

namespace detail {
template <class T>
struct ChannelState {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<T> queue;
  std::size_t senders = 0;
  bool receiver_alive = true;
  // The bound of a bounded channel: the summed cost of the queued values stays at most
  // `max_cost`. Once a send has found no room the channel stays full.
  std::size_t (*cost)(const T&) = nullptr;
  std::size_t max_cost = std::numeric_limits<std::size_t>::max();
  std::size_t queued_cost = 0;
  bool overflowed = false;
};
}  // namespace detail

template <class T>
class Receiver;

// The sending half of a multi-producer, single-consumer channel, unbounded or bounded by the
// summed cost of what waits in it. Copies share the channel; the receiver sees the end of the
// channel once the last sender is gone.
template <class T>
class Sender {
 public:
  Sender() = default;
  Sender(const Sender& o) : st_(o.st_) { attach(); }
  Sender(Sender&& o) noexcept : st_(std::move(o.st_)) {}
  Sender& operator=(Sender o) noexcept {
    std::swap(st_, o.st_);
    return *this;
  }
  ~Sender() { detach(); }

  // Queues `value`; fails with "sending on a closed channel" once the receiver is gone. On a
  // bounded channel, a value that does not fit is refused with Error::channel_full(), and so is
  // every later one: a consumer that fell that far behind is not caught up with.
  [[nodiscard]] Result<> send(T value) const {
    if (!st_) return fail(Error::closed_channel());
    {
      std::lock_guard lock(st_->mu);
      if (!st_->receiver_alive) return fail(Error::closed_channel());
      const std::size_t cost = st_->cost ? st_->cost(value) : 0;
      if (st_->overflowed || cost > st_->max_cost - st_->queued_cost) {
        st_->overflowed = true;
        return fail(Error::channel_full());
      }
      st_->queued_cost += cost;
      st_->queue.push_back(std::move(value));
    }
    st_->cv.notify_one();
    return {};
  }

  bool valid() const { return st_ != nullptr; }

 private:
  friend class Receiver<T>;
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(std::size_t,
                                                                std::size_t (*)(const U&));

  explicit Sender(std::shared_ptr<detail::ChannelState<T>> st) : st_(std::move(st)) { attach(); }
  void attach() {
    if (!st_) return;
    std::lock_guard lock(st_->mu);
    ++st_->senders;
  }
  void detach() {
    if (!st_) return;
    bool last = false;
    {
      std::lock_guard lock(st_->mu);
      last = --st_->senders == 0;
    }
    if (last) st_->cv.notify_all();
    st_.reset();
  }

  std::shared_ptr<detail::ChannelState<T>> st_;
};

// The receiving half. Dropping it (or calling `close`) makes every later send fail and drops
// whatever is still queued.
template <class T>
class Receiver {
 public:
  Receiver() = default;
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& o) noexcept {
    close();
    st_ = std::move(o.st_);
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { close(); }

  // Blocks until a value arrives; nullopt once the queue is empty and every sender is gone.
  std::optional<T> recv() {
    std::unique_lock lock(st_->mu);
    st_->cv.wait(lock, [&] { return !st_->queue.empty() || st_->senders == 0; });
    return pop_locked();
  }

  // As `recv`, but gives up after `timeout`; `timed_out` tells the two empty outcomes apart.
  template <class Rep, class Period>
  std::optional<T> recv_for(std::chrono::duration<Rep, Period> timeout, bool* timed_out = nullptr) {
    std::unique_lock lock(st_->mu);
    const bool ready =
        st_->cv.wait_for(lock, timeout, [&] { return !st_->queue.empty() || st_->senders == 0; });
    if (timed_out) *timed_out = !ready;
    return pop_locked();
  }

  std::optional<T> try_recv() {
    std::lock_guard lock(st_->mu);
    return pop_locked();
  }

  void close() {
    if (!st_) return;
    std::deque<T> dropped;
    {
      std::lock_guard lock(st_->mu);
      st_->receiver_alive = false;
      dropped.swap(st_->queue);
    }
    st_.reset();
  }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel();
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(std::size_t,
                                                                std::size_t (*)(const U&));
  explicit Receiver(std::shared_ptr<detail::ChannelState<T>> st) : st_(std::move(st)) {}

  std::optional<T> pop_locked() {
    if (st_->queue.empty()) return std::nullopt;
    T v = std::move(st_->queue.front());
    st_->queue.pop_front();
    if (st_->cost) st_->queued_cost -= st_->cost(v);
    return v;
  }

  std::shared_ptr<detail::ChannelState<T>> st_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
  auto st = std::make_shared<detail::ChannelState<T>>();
  return {Sender<T>(st), Receiver<T>(st)};
}

// A channel whose waiting values cost at most `max_cost` in total, each valued by `cost` (which
// must give a value the same cost every time it is asked).
template <class T>
std::pair<Sender<T>, Receiver<T>> make_bounded_channel(std::size_t max_cost,
                                                       std::size_t (*cost)(const T&)) {
  auto st = std::make_shared<detail::ChannelState<T>>();
  st->cost = cost;
  st->max_cost = max_cost;
  return {Sender<T>(st), Receiver<T>(st)};
}

}  // namespace sonvale
