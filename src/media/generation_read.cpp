#include "media/generation_read.h"

#include <algorithm>

#include "core/net.h"
#include "core/stream_read.h"
#include "media/media_error.h"

namespace sonvale {
namespace {

// Stops a fill once the counter no longer holds the generation.
FillLimits generation_limits(std::uint64_t generation, const std::atomic<std::uint64_t>& counter,
                             std::function<void()> before_read) {
  return FillLimits{
      .stop = [generation, &counter] {
        return counter.load(std::memory_order_acquire) != generation;
      },
      .deadline = std::nullopt,
      .before_read = std::move(before_read),
  };
}

// Reads into `buf` from `filled` on until it holds at least `need` bytes under `limits`. A
// RemoteChannelClosed counts the bytes from `piece_start` on.
Result<bool> fill_for_generation(int fd, std::span<std::uint8_t> buf, std::size_t& filled,
                                 std::size_t need, std::size_t piece_start,
                                 const FillLimits& limits, const std::string& channel) {
  const auto read = [fd](std::span<std::uint8_t> b, std::optional<Clock::time_point>) {
    return read_some(fd, b);
  };
  SV_ASSIGN_OR_RETURN(const FillEnd end,
                      with_context(fill_at_least(read, buf, filled, need, limits),
                                   "read ZeDidi media stream"));
  if (end == FillEnd::kEndOfStream) {
    return fail(remote_channel_closed({channel, filled - piece_start, need - piece_start}));
  }
  return end == FillEnd::kFull;
}

}  // namespace

Result<bool> read_exact_for_generation(int fd, std::span<std::uint8_t> buf,
                                       std::uint64_t generation,
                                       const std::atomic<std::uint64_t>& counter,
                                       const std::string& channel) {
  std::size_t filled = 0;
  return fill_for_generation(fd, buf, filled, buf.size(), 0,
                             generation_limits(generation, counter, {}), channel);
}

GenerationReader::GenerationReader(int fd, std::uint64_t generation,
                                   const std::atomic<std::uint64_t>& counter,
                                   std::function<void()> before_read, std::string channel)
    : fd_(fd),
      generation_(generation),
      counter_(counter),
      limits_(generation_limits(generation, counter, std::move(before_read))),
      channel_(std::move(channel)) {}

Result<std::optional<ByteSpan>> GenerationReader::next(std::size_t n) {
  if (n == 0) return ByteSpan();
  if (end_ - start_ >= n) {
    if (counter_.load(std::memory_order_acquire) != generation_) return std::nullopt;
  } else {
    if (buffer_.size() - start_ < n) {
      // The piece does not fit behind what is buffered: move that to the front first.
      std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(start_),
                buffer_.begin() + static_cast<std::ptrdiff_t>(end_), buffer_.begin());
      end_ -= start_;
      start_ = 0;
      if (buffer_.size() < std::max(n, kBlockBytes)) buffer_.resize(std::max(n, kBlockBytes));
    }
    SV_ASSIGN_OR_RETURN(const bool filled,
                        fill_for_generation(fd_, buffer_, end_, start_ + n, start_, limits_,
                                            channel_));
    if (!filled) return std::nullopt;
  }
  const ByteSpan piece(buffer_.data() + start_, n);
  start_ += n;
  return piece;
}

}  // namespace sonvale
