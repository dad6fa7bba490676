#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace sonvale {

// Overwrites memory with zeros in a way the compiler may not elide (OPENSSL_cleanse).
void wipe(std::span<std::uint8_t> bytes);

// N bytes of key material, wiped when destroyed or overwritten.
template <std::size_t N>
class Secret {
 public:
  Secret() = default;
  explicit Secret(std::span<const std::uint8_t, N> bytes) { std::copy(bytes.begin(), bytes.end(), b_.begin()); }
  Secret(const Secret& o) : b_(o.b_) {}
  Secret& operator=(const Secret& o) {
    b_ = o.b_;
    return *this;
  }
  ~Secret() { wipe(b_); }

  std::span<const std::uint8_t, N> view() const { return b_; }
  std::span<std::uint8_t, N> mutable_view() { return b_; }
  const std::uint8_t* data() const { return b_.data(); }
  static constexpr std::size_t size() { return N; }
  friend bool operator==(const Secret& a, const Secret& b) { return a.b_ == b.b_; }

 private:
  std::array<std::uint8_t, N> b_{};
};

using Key256 = Secret<32>;

}  // namespace sonvale
