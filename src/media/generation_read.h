#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/bytes.h"
#include "core/error.h"
#include "core/stream_read.h"

namespace sonvale {

// Fills `buf` from the connection `fd`, checking before every read that the media generation
// counter still holds `generation`. Returns true when the buffer is full, false when the
// generation has moved on (the caller must stop). Read time-outs (the socket's SO_RCVTIMEO) and
// interruptions are retried after a fresh generation check. End of stream fails with a
// RemoteChannelClosed for `channel` with the bytes received so far; other read failures carry the
// context "read ZeDidi media stream".
[[nodiscard]] Result<bool> read_exact_for_generation(int fd, std::span<std::uint8_t> buf,
                                                     std::uint64_t generation,
                                                     const std::atomic<std::uint64_t>& counter,
                                                     const std::string& channel = "audio");

// Hands out pieces of exact lengths from the connection `fd`, as read_exact_for_generation would
// fill them one after the other, but reads the connection in blocks of up to kBlockBytes, so that
// a stream of small frames costs a read call per block instead of one per piece. The generation
// is checked before each piece and before every read call; the outcomes and errors are those of
// read_exact_for_generation for the piece asked for (a RemoteChannelClosed counts the bytes of
// that piece which had come). Bytes read beyond the pieces taken are simply not handed out when
// the reader stops. Used by one thread; `fd` must outlive it.
class GenerationReader {
 public:
  static constexpr std::size_t kBlockBytes = 64 * 1024;

  // `before_read`, when set, runs before every read call on the connection, that is whenever the
  // pieces asked for are not all in yet and the reader may wait for the phone.
  GenerationReader(int fd, std::uint64_t generation, const std::atomic<std::uint64_t>& counter,
                   std::function<void()> before_read = {}, std::string channel = "audio");

  // The next `n` bytes of the stream, borrowed until the next call; nullopt when the generation
  // has moved on. A piece of 0 bytes is handed out without a generation check.
  [[nodiscard]] Result<std::optional<ByteSpan>> next(std::size_t n);

 private:
  int fd_;
  std::uint64_t generation_;
  const std::atomic<std::uint64_t>& counter_;
  FillLimits limits_;  // the generation check and before_read
  std::string channel_;
  Bytes buffer_;
  std::size_t start_ = 0;  // first byte not handed out
  std::size_t end_ = 0;    // end of the bytes read
};

}  // namespace sonvale
