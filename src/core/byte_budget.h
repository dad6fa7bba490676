#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

namespace sonvale {

// A number of bytes that many threads draw on and give back, for memory that peers make the
// receiver hold. Copies share the budget; any thread may use it.
class ByteBudget {
  struct State {
    explicit State(std::size_t l) : limit(l) {}
    bool take(std::size_t bytes) {
      std::size_t now = taken.load(std::memory_order_acquire);
      do {
        if (bytes > limit - now) return false;
      } while (!taken.compare_exchange_weak(now, now + bytes, std::memory_order_acq_rel,
                                            std::memory_order_acquire));
      return true;
    }

    const std::size_t limit;
    std::atomic<std::size_t> taken{0};
  };

 public:
  // Bytes taken from a budget; they go back when the reservation goes.
  class Reservation {
   public:
    Reservation(Reservation&& other) noexcept
        : state_(std::move(other.state_)), bytes_(std::exchange(other.bytes_, 0)) {}
    Reservation& operator=(Reservation&& other) noexcept {
      if (this != &other) {
        release();
        state_ = std::move(other.state_);
        bytes_ = std::exchange(other.bytes_, 0);
      }
      return *this;
    }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    ~Reservation() { release(); }

    std::size_t bytes() const { return bytes_; }
    // Takes `more` bytes on top from the same budget when they fit; false (and nothing taken)
    // when they do not.
    [[nodiscard]] bool grow(std::size_t more) {
      if (!state_ || !state_->take(more)) return false;
      bytes_ += more;
      return true;
    }

   private:
    friend class ByteBudget;
    Reservation(std::shared_ptr<State> state, std::size_t bytes)
        : state_(std::move(state)), bytes_(bytes) {}
    void release() {
      if (state_) state_->taken.fetch_sub(bytes_, std::memory_order_acq_rel);
      state_.reset();
      bytes_ = 0;
    }

    std::shared_ptr<State> state_;
    std::size_t bytes_ = 0;
  };

  explicit ByteBudget(std::size_t limit) : state_(std::make_shared<State>(limit)) {}

  // Takes `bytes` when they fit beside what is taken already; nothing when they do not.
  std::optional<Reservation> reserve(std::size_t bytes) const {
    if (!state_->take(bytes)) return std::nullopt;
    return Reservation(state_, bytes);
  }

  std::size_t limit() const { return state_->limit; }
  std::size_t taken() const { return state_->taken.load(std::memory_order_acquire); }

 private:
  std::shared_ptr<State> state_;
};

}  // namespace sonvale
