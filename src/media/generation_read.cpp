#include "media/generation_read.h"

#include "core/net.h"
#include "media/media_error.h"

namespace sonvale {

Result<bool> read_exact_for_generation(int fd, std::span<std::uint8_t> buf,
                                       std::uint64_t generation,
                                       const std::atomic<std::uint64_t>& counter,
                                       const std::string& channel) {
  std::size_t filled = 0;
  while (filled < buf.size()) {
    if (counter.load(std::memory_order_acquire) != generation) return false;
    auto n = read_some(fd, buf.subspan(filled));
    if (!n) {
      const IoKind kind = n.error().io_kind();
      if (kind == IoKind::kWouldBlock || kind == IoKind::kTimedOut || kind == IoKind::kInterrupted) {
        continue;
      }
      SV_TRY(with_context(std::move(n), "read ZeDidi media stream"));
    }
    if (*n == 0) return fail(remote_channel_closed({channel, filled, buf.size()}));
    filled += *n;
  }
  return true;
}

}  // namespace sonvale
