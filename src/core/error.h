#pragma once

#include <any>
#include <concepts>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <variant>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sonvale {

// What lies beneath an error's context chain, so callers can test the cause without parsing text.
enum class ErrorKind {
  kMessage,              // our own failure, described by its message alone
  kOs,                   // an operating-system call failed; `os_code()` holds errno
  kUnexpectedEof,        // a read needed more bytes and found the end of the stream
  kClosedChannel,        // an in-process channel has lost its other side
  kSubsystem,            // a cause a subsystem defines; `cause<C>()` holds it
  kChannelFull,          // a bounded in-process channel has no room left
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
  // A cause of a subsystem's own type (a copyable record), with its root message.
  template <class C>
  static Error with_cause(C cause, std::string message) {
    Error e(ErrorKind::kSubsystem, std::move(message));
    e.cause_ = std::move(cause);
    return e;
  }
  // "sending on a full channel" with kind kChannelFull.
  static Error channel_full();

  // Wraps the error in one more context message (outermost from now on).
  Error&& context(std::string message) &&;
  Error& context(std::string message) &;

  ErrorKind kind() const { return kind_; }
  int os_code() const { return os_code_; }
  IoKind io_kind() const;
  // The subsystem cause beneath the context chain when it is a C; null otherwise.
  template <class C>
  const C* cause() const {
    return std::any_cast<C>(&cause_);
  }
  // The root message without context.
  const std::string& root_message() const { return chain_.front(); }
  std::string to_string() const;

 private:
  Error(ErrorKind kind, std::string message) : kind_(kind) { chain_.push_back(std::move(message)); }

  ErrorKind kind_;
  int os_code_ = 0;
  std::any cause_;
  std::vector<std::string> chain_;  // root first, outermost context last
};

// The failure side of a Result, as `fail(error)` builds it.
class Failure {
 public:
  explicit Failure(Error e) : error_(std::move(e)) {}
  Error& error() & { return error_; }
  Error&& error() && { return std::move(error_); }

 private:
  Error error_;
};

inline Failure fail(Error e) { return Failure(std::move(e)); }

// Either a value or an Error. The project's own type rather than std::expected, because clang 14
// (the fuzzing compiler) cannot use libstdc++'s <expected>; the interface is the subset of
// std::expected the code needs.
template <class T = void>
class [[nodiscard]] Result {
 public:
  template <class U = T>
    requires(std::is_constructible_v<T, U &&> &&
             !std::is_same_v<std::remove_cvref_t<U>, Result> &&
             !std::is_same_v<std::remove_cvref_t<U>, Failure>)
  Result(U&& value) : v_(std::in_place_index<0>, std::forward<U>(value)) {}  // NOLINT: implicit
  Result(Failure f) : v_(std::in_place_index<1>, std::move(f).error()) {}     // NOLINT: implicit

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& operator*() & { return std::get<0>(v_); }
  const T& operator*() const& { return std::get<0>(v_); }
  T&& operator*() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  T& value() & { return **this; }
  const T& value() const& { return **this; }
  T&& value() && { return std::move(**this); }

  Error& error() & { return std::get<1>(v_); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure f) : error_(std::move(f).error()) {}  // NOLINT: implicit

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  void operator*() const {}
  void value() const {}

  Error& error() & { return *error_; }
  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

// "<strerror> (os error N)"
std::string os_error_text(int errnum);

// Adds a context message to a failed result; a success passes through unchanged and builds no
// text. A message that has to be put together is given as a callable returning it, which runs
// only on failure: `with_context(bind(a), [&] { return "bind " + a.to_string(); })`.
template <class T>
Result<T> with_context(Result<T>&& r, std::string_view message) {
  if (!r) return fail(std::move(r).error().context(std::string(message)));
  return std::move(r);
}

template <class T, std::invocable MakeMessage>
Result<T> with_context(Result<T>&& r, MakeMessage&& make_message) {
  if (!r) return fail(std::move(r).error().context(std::string(make_message())));
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
