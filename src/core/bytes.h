#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sonvale {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

inline ByteSpan as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}
inline std::string_view as_text(ByteSpan b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// Checked reads over a byte span. A read that does not fit fails with nullopt and consumes nothing.
class ByteReader {
 public:
  explicit ByteReader(ByteSpan data) : data_(data) {}

  std::size_t remaining() const { return data_.size() - pos_; }
  std::size_t offset() const { return pos_; }
  bool empty() const { return remaining() == 0; }
  ByteSpan rest() const { return data_.subspan(pos_); }

  std::optional<std::uint8_t> u8() {
    if (1 > remaining()) return std::nullopt;
    return data_[pos_++];
  }
  std::optional<std::uint16_t> u16be() { return load<std::uint16_t, true>(); }
  std::optional<std::uint16_t> u16le() { return load<std::uint16_t, false>(); }
  std::optional<std::uint32_t> u32be() { return load<std::uint32_t, true>(); }
  std::optional<std::uint32_t> u32le() { return load<std::uint32_t, false>(); }
  std::optional<std::uint64_t> u64be() { return load<std::uint64_t, true>(); }
  std::optional<std::uint64_t> u64le() { return load<std::uint64_t, false>(); }
  std::optional<std::int64_t> i64le() {
    auto v = u64le();
    if (!v) return std::nullopt;
    return static_cast<std::int64_t>(*v);
  }

  std::optional<ByteSpan> bytes(std::size_t n) {
    if (n > remaining()) return std::nullopt;
    ByteSpan out = data_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  bool skip(std::size_t n) {
    if (n > remaining()) return false;
    pos_ += n;
    return true;
  }

 private:
  template <class T, bool kBigEndian>
  std::optional<T> load() {
    if (sizeof(T) > remaining()) return std::nullopt;
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      const std::size_t shift = kBigEndian ? (sizeof(T) - 1 - i) * 8 : i * 8;
      v = static_cast<T>(v | (static_cast<T>(data_[pos_ + i]) << shift));
    }
    pos_ += sizeof(T);
    return v;
  }

  ByteSpan data_;
  std::size_t pos_ = 0;
};

// Appends integers in the byte order its method names, and raw bytes.
class ByteWriter {
 public:
  ByteWriter() = default;
  explicit ByteWriter(std::size_t reserve) { out_.reserve(reserve); }

  ByteWriter& u8(std::uint8_t v) {
    out_.push_back(v);
    return *this;
  }
  ByteWriter& u16be(std::uint16_t v) { return store<true>(v); }
  ByteWriter& u16le(std::uint16_t v) { return store<false>(v); }
  ByteWriter& u32be(std::uint32_t v) { return store<true>(v); }
  ByteWriter& u32le(std::uint32_t v) { return store<false>(v); }
  ByteWriter& u64be(std::uint64_t v) { return store<true>(v); }
  ByteWriter& u64le(std::uint64_t v) { return store<false>(v); }
  ByteWriter& i64le(std::int64_t v) { return store<false>(static_cast<std::uint64_t>(v)); }
  ByteWriter& bytes(ByteSpan b) {
    out_.insert(out_.end(), b.begin(), b.end());
    return *this;
  }
  ByteWriter& text(std::string_view s) { return bytes(as_bytes(s)); }

  std::size_t size() const { return out_.size(); }
  const Bytes& view() const { return out_; }
  Bytes take() { return std::move(out_); }

 private:
  template <bool kBigEndian, class T>
  ByteWriter& store(T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
      const std::size_t shift = kBigEndian ? (sizeof(T) - 1 - i) * 8 : i * 8;
      out_.push_back(static_cast<std::uint8_t>((v >> shift) & 0xff));
    }
    return *this;
  }

  Bytes out_;
};

}  // namespace sonvale
