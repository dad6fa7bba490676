#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <utility>
#include <vector>

namespace sonvale {

// What lies beneath an error's context chain, so callers can test the cause without parsing text.
enum class ErrorKind {
  kMessage,              // our own failure, described by its message alone
  kOs,                   // an operating-system call failed; `os_code()` holds errno
  kUnexpectedEof,        // a read needed more bytes and found the end of the stream
  kRemoteChannelClosed,  // a media peer closed its connection in an orderly way
  kClosedChannel,        // an in-process channel has lost its other side
};

// I/O kinds as the session code distinguishes them (derived from errno or the error kind).
enum class IoKind {
  kOther,
  kWouldBlock,
  kInterrupted,
  kConnectionReset,
  kConnectionAborted,
  kTimedOut,
  kUnexpectedEof,
  kBrokenPipe,
};

// Details of an orderly close by the phone of a media connection.
struct RemoteChannelClosed {
  std::string channel;  // "rtsp" or "audio"
  std::size_t bytes_read = 0;
  std::size_t bytes_expected = 0;
};

// One error value: a root message with a typed cause, wrapped in a chain of short context messages.
// `to_string()` prints the chain outermost first, joined by ": ".
class Error {
 public:
  static Error msg(std::string message);
  // "<strerror> (os error N)" with kind kOs.
  static Error os(int errnum);
  // The current errno as an OS error.
  static Error last_os();
  // "failed to fill whole buffer" with kind kUnexpectedEof.
  static Error unexpected_eof();
  static Error closed_channel();
  static Error remote_closed(RemoteChannelClosed details);

  // Wraps the error in one more context message (outermost from now on).
  Error&& context(std::string message) &&;
  Error& context(std::string message) &;

  ErrorKind kind() const { return kind_; }
  int os_code() const { return os_code_; }
  IoKind io_kind() const;
  const RemoteChannelClosed* remote_closed_details() const;
  // The root message without context.
  const std::string& root_message() const { return chain_.front(); }
  std::string to_string() const;

 private:
  Error(ErrorKind kind, std::string message) : kind_(kind) { chain_.push_back(std::move(message)); }

  ErrorKind kind_;
  int os_code_ = 0;
  RemoteChannelClosed remote_;
  std::vector<std::string> chain_;  // root first, outermost context last
};

template <class T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

// "<strerror> (os error N)"
std::string os_error_text(int errnum);

// Adds a context message to a failed result; a success passes through unchanged.
template <class T>
[[nodiscard]] Result<T> with_context(Result<T>&& r, std::string message) {
  if (!r) return fail(std::move(r.error()).context(std::move(message)));
  return std::move(r);
}

}  // namespace sonvale

#define SV_CONCAT_INNER_(a, b) a##b
#define SV_CONCAT_(a, b) SV_CONCAT_INNER_(a, b)

// Returns the error of a failed Result<...> expression from the enclosing function.
#define SV_TRY(expr)                                                         \
  do {                                                                       \
    auto&& sv_try_result_ = (expr);                                          \
    if (!sv_try_result_) return ::sonvale::fail(std::move(sv_try_result_).error()); \
  } while (0)

// Declares `lhs` from the value of a Result expression, or returns its error.
#define SV_ASSIGN_OR_RETURN(lhs, expr) SV_ASSIGN_OR_RETURN_IMPL_(SV_CONCAT_(sv_r_, __LINE__), lhs, expr)
#define SV_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr)                     \
  auto tmp = (expr);                                                  \
  if (!tmp) return ::sonvale::fail(std::move(tmp).error());           \
  lhs = std::move(*tmp)
