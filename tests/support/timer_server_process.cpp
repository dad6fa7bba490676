#include "support/timer_server_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>

extern char** environ;

namespace sonvale::testing {
namespace {

std::string script_path() {
  // This file lives in tests/support; the script in tests/e2e.
  return (std::filesystem::path(__FILE__).parent_path().parent_path() / "e2e" /
          "fake_timer_server.py")
      .string();
}

void write_line(int fd, const std::string& line) {
  std::string data = line + "\n";
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

TimerServerProcess::TimerServerProcess(std::vector<std::string> args) {
  int in_pipe[2];
  int out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) return;
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    return;
  }
  std::vector<std::string> argv_text{"/usr/bin/python3", script_path()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  stdin_fd_ = in_pipe[1];
  stdout_fd_ = out_pipe[0];
  if (rc != 0) {
    pid_ = -1;
    return;
  }
  reader_ = std::thread([this] { read_output(); });
  if (auto listening = log_.wait_for_event("listening", std::chrono::seconds(10))) {
    port_ = (*listening)["port"].get<std::uint16_t>();
    epoch_us_ = (*listening)["epoch_ns"].get<std::int64_t>() / 1000;
  }
}

TimerServerProcess::~TimerServerProcess() {
  if (stdin_fd_ >= 0) ::close(stdin_fd_);
  if (reader_.joinable()) reader_.join();
  if (stdout_fd_ >= 0) ::close(stdout_fd_);
  if (pid_ > 0) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void TimerServerProcess::read_output() {
  const EventSink sink = log_.sink();
  std::string pending;
  std::array<char, 4096> buf;
  for (;;) {
    const ssize_t n = ::read(stdout_fd_, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    pending.append(buf.data(), static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      Json value = Json::parse(line, nullptr, false);
      if (!value.is_discarded()) sink(std::move(value));
    }
  }
}

bool TimerServerProcess::configure(const Json& settings) {
  const int index = ++configured_;
  write_line(stdin_fd_, settings.dump());
  return static_cast<bool>(log_.wait_for(
      [&](const Json& e) {
        return e.value("event", "") == "configured" && e.value("count", 0) >= index;
      },
      std::chrono::seconds(10)));
}

std::optional<Json> TimerServerProcess::wait_for_request(std::uint32_t sequence,
                                                         std::chrono::milliseconds timeout) {
  return log_.wait_for(
      [&](const Json& e) {
        if (e.value("event", "") != "request") return false;
        const auto it = e.find("sequence");
        return it != e.end() && it->is_number_unsigned() && it->get<std::uint32_t>() >= sequence;
      },
      timeout);
}

}  // namespace sonvale::testing
