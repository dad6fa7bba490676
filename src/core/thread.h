#pragma once

#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/error.h"

namespace sonvale {

// Names the calling thread; Linux keeps at most 15 bytes, so longer names are cut. A failure
// to name the thread is ignored.
void set_current_thread_name(const std::string& name);

// Starts a thread that names itself `name` and runs `body`. An exception escaping `body` is
// caught at the thread's top and dropped, so it never ends the process; bodies that must report
// a failure do so themselves. Fails with the OS error when the thread cannot be created.
template <class F>
[[nodiscard]] Result<std::thread> spawn_named(std::string name, F&& body) {
  try {
    return std::thread([name = std::move(name), body = std::forward<F>(body)]() mutable {
      set_current_thread_name(name);
      try {
        body();
      } catch (...) {
      }
    });
  } catch (const std::system_error& e) {
    return fail(Error::os(e.code().value()));
  }
}

}  // namespace sonvale

namespace sonvale {

// A thread that is joined when its holder is destroyed. Movable by construction only: assigning
// over a running thread would have to join it first, so assignment is not offered.
class JoiningThread {
 public:
  JoiningThread() = default;
  explicit JoiningThread(std::thread t) : thread_(std::move(t)) {}
  JoiningThread(JoiningThread&&) noexcept = default;
  JoiningThread& operator=(JoiningThread&&) = delete;
  JoiningThread(const JoiningThread&) = delete;
  JoiningThread& operator=(const JoiningThread&) = delete;
  ~JoiningThread() { join(); }

  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

}  // namespace sonvale
