#include "core/error.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace sonvale {

std::string os_error_text(int errnum) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* text = strerror_r(errnum, buf, sizeof buf);
#else
  const char* text = strerror_r(errnum, buf, sizeof buf) == 0 ? buf : "Unknown error";
#endif
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

Error Error::msg(std::string message) { return Error(ErrorKind::kMessage, std::move(message)); }

Error Error::os(int errnum) {
  Error e(ErrorKind::kOs, os_error_text(errnum));
  e.os_code_ = errnum;
  return e;
}

Error Error::last_os() { return os(errno); }

Error Error::unexpected_eof() {
  return Error(ErrorKind::kUnexpectedEof, "failed to fill whole buffer");
}

Error Error::closed_channel() {
  return Error(ErrorKind::kClosedChannel, "sending on a closed channel");
}

Error Error::channel_full() {
  return Error(ErrorKind::kChannelFull, "sending on a full channel");
}

Error&& Error::context(std::string message) && {
  chain_.push_back(std::move(message));
  return std::move(*this);
}

Error& Error::context(std::string message) & {
  chain_.push_back(std::move(message));
  return *this;
}

IoKind Error::io_kind() const {
  switch (kind_) {
    case ErrorKind::kUnexpectedEof:
      return IoKind::kUnexpectedEof;
    case ErrorKind::kOs:
      switch (os_code_) {
        case EAGAIN:
          return IoKind::kWouldBlock;
        case EINTR:
          return IoKind::kInterrupted;
        case ECONNRESET:
          return IoKind::kConnectionReset;
        case ECONNABORTED:
          return IoKind::kConnectionAborted;
        case ETIMEDOUT:
          return IoKind::kTimedOut;
        case EPIPE:
          return IoKind::kBrokenPipe;
        default:
          return IoKind::kOther;
      }
    default:
      return IoKind::kOther;
  }
}

std::string Error::to_string() const {
  std::string out;
  for (auto it = chain_.rbegin(); it != chain_.rend(); ++it) {
    if (!out.empty()) out += ": ";
    out += *it;
  }
  return out;
}

}  // namespace sonvale
