#pragma once

// Command-line reading shared by the test harness executables: flags, each followed by its
// value. A missing or malformed value, or an unknown flag, ends the process with status 2 after
// one line "<program>: <why>" on standard error.

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "core/decimal.h"
#include "core/error.h"
#include "core/net.h"
#include "media/format/stream_keys.h"

namespace sonvale::testing {

// The stream keys a harness takes on its command line as "AUTH_KEY,AES_KEY,AES_IV".
inline Result<StreamKeys> stream_keys_from_arg(std::string_view text) {
  const auto a = text.find(',');
  const auto b = a == std::string_view::npos ? a : text.find(',', a + 1);
  if (b == std::string_view::npos || text.find(',', b + 1) != std::string_view::npos) {
    return fail(Error::msg("keys want AUTH_KEY,AES_KEY,AES_IV"));
  }
  return StreamKeys::from_strings(text.substr(0, a), text.substr(a + 1, b - a - 1),
                                  text.substr(b + 1));
}

// The media session a harness starts towards a fake phone: its RTSP address, keys and
// generation, as --ip (default 127.0.0.1), --port (required), --keys and --generation
// (default 1) give them.
struct SessionTarget {
  Ipv4 ip = Ipv4::loopback();
  std::uint16_t port = 0;
  std::optional<StreamKeys> keys;
  std::uint64_t generation = 1;
};

class HarnessArgs {
 public:
  HarnessArgs(std::string program, int argc, char** argv)
      : program_(std::move(program)), argc_(argc), argv_(argv) {}

  // Moves to the next flag; false when none is left.
  bool next() {
    if (i_ + 1 >= argc_) return false;
    flag_ = argv_[++i_];
    return true;
  }
  const std::string& flag() const { return flag_; }

  // The current flag's value, read as its type.
  std::string text() {
    if (i_ + 1 >= argc_) usage("missing value for " + flag_);
    return argv_[++i_];
  }
  std::uint64_t number() {
    auto n = parse_u64_decimal(text());
    if (!n) usage("bad " + flag_ + ": " + n.error().to_string());
    return *n;
  }
  std::int64_t signed_number() {
    const auto n = parse_signed_decimal(text());
    if (!n) usage("bad " + flag_);
    return *n;
  }
  std::uint16_t port() {
    auto p = parse_u16_decimal(text());
    if (!p) usage("bad " + flag_ + ": " + p.error().to_string());
    return *p;
  }
  Ipv4 ip() {
    const auto ip = Ipv4::parse(text());
    if (!ip) usage("bad " + flag_);
    return *ip;
  }
  StreamKeys keys() {
    auto keys = stream_keys_from_arg(text());
    if (!keys) usage(keys.error().to_string());
    return *keys;
  }
  // Reads the current flag into `target` when it is one of the session flags.
  bool session_flag(SessionTarget& target) {
    if (flag_ == "--ip") {
      target.ip = ip();
    } else if (flag_ == "--port") {
      target.port = port();
    } else if (flag_ == "--keys") {
      target.keys = keys();
    } else if (flag_ == "--generation") {
      target.generation = number();
    } else {
      return false;
    }
    return true;
  }
  // Ends the process unless the session flags named a port.
  void require_port(const SessionTarget& target) const {
    if (target.port == 0) usage("--port is required");
  }

  [[noreturn]] void unknown() const { usage("unknown argument " + flag_); }

  [[noreturn]] void usage(const std::string& why) const {
    std::cerr << program_ << ": " << why << "\n";
    std::_Exit(2);
  }

 private:
  std::string program_;
  int argc_;
  char** argv_;
  int i_ = 0;
  std::string flag_;
};

}  // namespace sonvale::testing
