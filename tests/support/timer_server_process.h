#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/event_sink.h"
#include "support/recording_sink.h"

namespace sonvale::testing {

// Runs tests/e2e/fake_timer_server.py under /usr/bin/python3 on an ephemeral loopback port.
// Every JSON line the server prints ("listening", "request", "configured") is recorded in `log()`.
// The server ends when this object is destroyed (its standard input is closed).
class TimerServerProcess {
 public:
  // `args` are the script's command-line options, e.g. {"--offset-us", "1000"}.
  explicit TimerServerProcess(std::vector<std::string> args = {});
  ~TimerServerProcess();
  TimerServerProcess(const TimerServerProcess&) = delete;
  TimerServerProcess& operator=(const TimerServerProcess&) = delete;

  // False when the server did not start; `port()` and `epoch_us()` are then meaningless.
  bool started() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  // The monotonic time (CLOCK_MONOTONIC, µs) at which the server's clock reads its offset.
  std::int64_t epoch_us() const { return epoch_us_; }

  // Changes settings (see the script) and waits until the server has applied them.
  bool configure(const Json& settings);
  // Waits for a request whose sequence number is at least `sequence`.
  std::optional<Json> wait_for_request(
      std::uint32_t sequence, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The requests received so far, in arrival order.
  std::vector<Json> requests() const { return log_.named("request"); }
  const RecordingSink& log() const { return log_; }

 private:
  void read_output();

  RecordingSink log_;
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  std::thread reader_;
  std::uint16_t port_ = 0;
  std::int64_t epoch_us_ = 0;
  int configured_ = 0;
};

}  // namespace sonvale::testing
