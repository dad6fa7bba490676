#pragma once

// Filling a buffer from a byte stream that is read piece by piece, with what may end the fill
// early: a stop predicate, a deadline, the end of the stream.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "core/clock.h"
#include "core/error.h"

namespace sonvale {

// How a fill ended.
enum class FillEnd {
  kFull,         // the bytes asked for are in
  kStopped,      // the stop predicate said yes before a read
  kEndOfStream,  // the stream ended first
};

// What, besides a failed read, ends a fill early.
struct FillLimits {
  // Asked before every read; once it says yes the fill ends with kStopped. With a stop
  // predicate, a read that fails with an IoKind of kWouldBlock or kTimedOut (the socket's receive
  // time-out, which bounds each wait so that the predicate is asked again) is not a failure: the
  // fill asks and reads again.
  std::function<bool()> stop;
  // Handed to every read: one that finds nothing until then fails with IoKind kTimedOut.
  std::optional<Clock::time_point> deadline;
  // Runs before every read, after the stop predicate.
  std::function<void()> before_read;
};

// Reads into `buf` from `filled` on until it holds at least `need` bytes (`need` <= buf.size();
// a read may take up to the end of `buf`). `filled` counts what arrived, also when the fill ends
// early or fails. `read(span, deadline)` reads what is available into the span: at least one
// byte, or 0 at the end of the stream.
template <class ReadSome>
[[nodiscard]] Result<FillEnd> fill_at_least(ReadSome&& read, std::span<std::uint8_t> buf,
                                            std::size_t& filled, std::size_t need,
                                            const FillLimits& limits = FillLimits()) {
  while (filled < need) {
    if (limits.stop && limits.stop()) return FillEnd::kStopped;
    if (limits.before_read) limits.before_read();
    Result<std::size_t> n = read(buf.subspan(filled), limits.deadline);
    if (!n) {
      const IoKind kind = n.error().io_kind();
      if (limits.stop && (kind == IoKind::kWouldBlock || kind == IoKind::kTimedOut)) continue;
      return fail(std::move(n).error());
    }
    if (*n == 0) return FillEnd::kEndOfStream;
    filled += *n;
  }
  return FillEnd::kFull;
}

// Fills `buf` completely by `deadline` (when given); the end of the stream first fails with
// Error::unexpected_eof().
template <class ReadSome>
[[nodiscard]] Result<> read_exactly(ReadSome&& read, std::span<std::uint8_t> buf,
                                    std::optional<Clock::time_point> deadline = std::nullopt) {
  std::size_t filled = 0;
  FillLimits limits;
  limits.deadline = deadline;
  SV_ASSIGN_OR_RETURN(const FillEnd end, fill_at_least(read, buf, filled, buf.size(), limits));
  if (end != FillEnd::kFull) return fail(Error::unexpected_eof());
  return {};
}

}  // namespace sonvale
