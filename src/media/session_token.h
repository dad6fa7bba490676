#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace sonvale {

// The media generation one session started with and the receiver's counter of generations. The
// session is current while the counter still holds its generation; an open command of the phone
// or a stop moves the counter on, and every thread of the session then ends by itself.
class SessionToken {
 public:
  SessionToken(std::shared_ptr<std::atomic<std::uint64_t>> counter, std::uint64_t generation)
      : counter_(std::move(counter)), generation_(generation) {}

  bool current() const { return counter_->load(std::memory_order_acquire) == generation_; }
  std::uint64_t generation() const { return generation_; }
  const std::atomic<std::uint64_t>& counter() const { return *counter_; }
  const std::shared_ptr<std::atomic<std::uint64_t>>& counter_cell() const { return counter_; }

 private:
  std::shared_ptr<std::atomic<std::uint64_t>> counter_;
  std::uint64_t generation_ = 0;
};

}  // namespace sonvale
