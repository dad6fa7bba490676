#include "media/generation_read.h"

#include <algorithm>

#include "core/net.h"
#include "media/media_error.h"

namespace sonvale {
namespace {

// Reads into `buf` from `filled` on until it holds at least `need` bytes (a read never goes past
// the end of `buf`), checking the generation before every read and calling `before_read` (if set)
// after the check. A RemoteChannelClosed counts the bytes from `piece_start` on.
Result<bool> fill_for_generation(int fd, std::span<std::uint8_t> buf, std::size_t& filled,
                                 std::size_t need, std::size_t piece_start,
                                 std::uint64_t generation,
                                 const std::atomic<std::uint64_t>& counter,
                                 const std::string& channel,
                                 const std::function<void()>& before_read) {
  while (filled < need) {
    if (counter.load(std::memory_order_acquire) != generation) return false;
    if (before_read) before_read();
    auto n = read_some(fd, buf.subspan(filled));
    if (!n) {
      const IoKind kind = n.error().io_kind();
      if (kind == IoKind::kWouldBlock || kind == IoKind::kTimedOut ||
          kind == IoKind::kInterrupted) {
        continue;
      }
      SV_TRY(with_context(std::move(n), "read ZeDidi media stream"));
    }
    if (*n == 0) {
      return fail(remote_channel_closed({channel, filled - piece_start, need - piece_start}));
    }
    filled += *n;
  }
  return true;
}

}  // namespace

Result<bool> read_exact_for_generation(int fd, std::span<std::uint8_t> buf,
                                       std::uint64_t generation,
                                       const std::atomic<std::uint64_t>& counter,
                                       const std::string& channel) {
  std::size_t filled = 0;
  return fill_for_generation(fd, buf, filled, buf.size(), 0, generation, counter, channel, {});
}

GenerationReader::GenerationReader(int fd, std::uint64_t generation,
                                   const std::atomic<std::uint64_t>& counter,
                                   std::function<void()> before_read, std::string channel)
    : fd_(fd),
      generation_(generation),
      counter_(counter),
      before_read_(std::move(before_read)),
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
                        fill_for_generation(fd_, buffer_, end_, start_ + n, start_, generation_,
                                            counter_, channel_, before_read_));
    if (!filled) return std::nullopt;
  }
  const ByteSpan piece(buffer_.data() + start_, n);
  start_ += n;
  return piece;
}

}  // namespace sonvale
