// relvox: a ZeDidi audio-casting receiver driven by JSON lines on standard input, reporting JSON
// events on standard output.

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "core/bytes.h"
#include "core/crypto.h"
#include "core/event_sink.h"
#include "core/json.h"
#include "core/net.h"
#include "core/text.h"
#include "core/thread.h"
#include "receiver.h"
#include "receiver_config.h"

namespace sonvale {
namespace {

// The value after the first occurrence of `name`, unless it is missing or blank.
std::optional<std::string> arg(const std::vector<std::string>& args, std::string_view name) {
  const auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end() || it + 1 == args.end()) return std::nullopt;
  if (is_blank(*(it + 1))) return std::nullopt;
  return *(it + 1);
}

// Every control connection holds descriptors: take all that the hard limit allows.
void raise_open_file_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
#if defined(__APPLE__)
  // macOS refuses a soft limit above OPEN_MAX even when the hard limit is unlimited.
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, OPEN_MAX);
#endif
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

// Every cast starts and ends its own threads. glibc gives threads up to eight allocator arenas per
// core and keeps what each arena once held: cast after cast, the process grows by the memory that
// short-lived threads left behind in arenas nobody reuses, although what is in use stays level.
// Two arenas are plenty for a few thousand allocations a second, and keep the process level. An
// arena limit set in the environment is left as it is.
void limit_allocator_arenas() {
#if defined(__GLIBC__)
  if (std::getenv("MALLOC_ARENA_MAX") != nullptr) return;
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (tunables != nullptr &&
      std::string_view(tunables).find("glibc.malloc.arena_max") != std::string_view::npos) {
    return;
  }
  (void)::mallopt(M_ARENA_MAX, 2);
#endif
}

Ipv4 choose_address(const std::optional<std::string>& expected) {
  if (expected) {
    if (auto ip = Ipv4::parse(*expected)) return *ip;
  }
  if (auto list = list_interface_addresses()) {
    for (const auto& entry : *list) {
      if (!entry.is_ipv6 && !entry.v4.is_loopback()) return entry.v4;
    }
  }
  return Ipv4::loopback();
}

std::string random_uuid_shaped() {
  return random_hex(8) + "-" + random_hex(4) + "-" + random_hex(4) + "-" + random_hex(4) + "-" +
         random_hex(12);
}

std::string to_upper_ascii(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

ReceiverConfig config_from_args(const std::vector<std::string>& args) {
  std::string name = arg(args, "--name").value_or("SonVale");
  const Ipv4 address = choose_address(arg(args, "--expected-ip"));
  std::string interface = arg(args, "--interface-name").value_or("");
  ReceiverIdentity identity;
  auto idm = arg(args, "--idm-instance-id");
  identity.idm_instance_id = idm ? *idm : random_uuid_shaped();
  auto lyra = arg(args, "--lyra-instance-id");
  identity.lyra_instance_id = lyra ? *lyra : to_upper_ascii(random_hex(8));
  auto media = arg(args, "--media-device-id");
  identity.media_device_id = media ? *media : random_uuid_shaped();

  ReceiverConfig config =
      ReceiverConfig::make(std::move(name), std::move(identity), address, std::move(interface));
  if (auto port = arg(args, "--pcm-port")) {
    const std::string host = arg(args, "--pcm-host").value_or("127.0.0.1");
    return ReceiverConfig::with_output_device(std::move(config), "stream:" + host + ":" + *port);
  }
  return ReceiverConfig::with_output_device(std::move(config), arg(args, "--output-device"));
}

// A line of standard input longer than this is dropped up to its end; the host's commands are a
// few dozen bytes.
constexpr std::size_t kMaxCommandLine = 1024 * 1024;

// Line reader over file descriptor 0. `next` yields each line without its "\n" (and a "\r"
// right before it); a last line without "\n" still counts. It holds at most kMaxCommandLine bytes
// and one read beyond them.
class StdinLines {
 public:
  enum class Next {
    kLine,
    // A line longer than kMaxCommandLine: reported once, when it has grown that long. What it
    // held is released and the rest of it is dropped as it is read.
    kTooLong,
    kEnd,
  };

  // A read error other than an interruption ends the input: such errors repeat, and retrying
  // them at once would spin forever.
  Next next(std::string* line) {
    for (;;) {
      const auto nl =
          std::find(buf_.begin() + static_cast<std::ptrdiff_t>(scan_), buf_.end(), '\n');
      if (nl != buf_.end()) {
        const bool was_dropping = std::exchange(dropping_, false);
        const bool fits =
            !was_dropping &&
            content_length(static_cast<std::size_t>(nl - buf_.begin())) <= kMaxCommandLine;
        if (fits) line->assign(buf_.begin(), nl);
        buf_.erase(buf_.begin(), nl + 1);
        scan_ = 0;
        if (was_dropping) continue;  // the end of a line already reported
        if (!fits) return Next::kTooLong;
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return Next::kLine;
      }
      scan_ = buf_.size();
      if (dropping_) {
        buf_.clear();
        scan_ = 0;
      } else if (buf_.size() > kMaxCommandLine + 1) {  // + 1: a "\r" that the "\n" may follow
        std::string().swap(buf_);
        scan_ = 0;
        dropping_ = true;
        return Next::kTooLong;
      }
      if (eof_) {
        if (buf_.empty()) return Next::kEnd;
        const bool fits = content_length(buf_.size()) <= kMaxCommandLine;
        if (fits) line->swap(buf_);
        buf_.clear();
        scan_ = 0;
        if (!fits) return Next::kTooLong;
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return Next::kLine;
      }
      char chunk[64 * 1024];
      const ssize_t n = ::read(0, chunk, sizeof chunk);
      if (n > 0) {
        buf_.append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0) {
        eof_ = true;
      } else if (errno == EINTR) {
        continue;
      } else if (errno == EAGAIN) {
        pollfd p{0, POLLIN, 0};
        (void)::poll(&p, 1, -1);
      } else {
        eof_ = true;
      }
    }
  }

 private:
  // The length of the first `n` buffered bytes as a line: without a "\r" at their end.
  std::size_t content_length(std::size_t n) const {
    return n > 0 && buf_[n - 1] == '\r' ? n - 1 : n;
  }

  std::string buf_;
  std::size_t scan_ = 0;
  bool dropping_ = false;  // inside a line that was too long
  bool eof_ = false;
};

// What the command loop hands on, in the order of its lines: a playback command, a volume change,
// or a line of its own to report.
struct VolumeChange {
  std::uint8_t percent = 0;
};
using HostCommand = std::variant<ReceiverCommand, VolumeChange, Json>;

// Runs the command loop's commands one after another on a thread of its own, in the order of their
// lines: a playback command waits there for the phone's confirmation as it did on the loop itself,
// and later lines wait behind it, while the loop reads on, so that "stop", "shutdown" and the end
// of input take effect at once however many commands wait. Once the receiver stops, what still
// waits is only reported: the loop's own event lines are written, commands are dropped.
class HostCommandQueue {
 public:
  // At most this many commands, and this many bytes of event lines, wait; a line beyond them is
  // dropped with a warning, so that the loop reads on (a "stop" behind a full queue takes effect
  // at once).
  static constexpr std::size_t kMaxWaiting = 256;
  static constexpr std::size_t kMaxWaitingBytes = 4 * kMaxCommandLine;
  // How long the end of the loop waits for the last reports.
  static constexpr std::chrono::seconds kDrainTimeout{1};

  explicit HostCommandQueue(ReceiverController controller)
      : controller_(std::move(controller)), shared_(std::make_shared<Shared>()) {
    auto thread = spawn_named("sonvale-command", [shared = shared_, controller = controller_] {
      run(*shared, controller);
    });
    if (thread) {
      thread->detach();
      threaded_ = true;
    }
  }
  HostCommandQueue(const HostCommandQueue&) = delete;
  HostCommandQueue& operator=(const HostCommandQueue&) = delete;
  ~HostCommandQueue() { finish(); }

  // `bytes`: what the command holds of its line.
  void push(HostCommand command, std::size_t bytes = 0) {
    if (!threaded_) {  // without a thread of its own, the loop runs the command itself
      carry_out(controller_, command, false);
      return;
    }
    {
      std::lock_guard lock(shared_->mu);
      const bool room = shared_->waiting.empty() ||
                        (shared_->waiting.size() < kMaxWaiting &&
                         bytes <= kMaxWaitingBytes - shared_->waiting_bytes);
      if (room) {
        shared_->waiting.push_back(Waiting{std::move(command), bytes});
        shared_->waiting_bytes += bytes;
        shared_->changed.notify_all();
        return;
      }
    }
    print_event_line(warning_event(
        "sonvale_command_queue_full",
        fmt::format("等待执行的命令已达上限 {}，已丢弃此行：host command queue is full",
                    kMaxWaiting)));
  }

  // The receiver stops: from now on commands are dropped. Call before the receiver's stop, which
  // ends the confirmation that the running command may wait for.
  void stopping() {
    std::lock_guard lock(shared_->mu);
    shared_->stopping = true;
  }

  // Waits, at most kDrainTimeout, until what waits has been reported; the thread then ends.
  void finish() {
    std::unique_lock lock(shared_->mu);
    shared_->stopping = true;
    shared_->closed = true;
    shared_->changed.notify_all();
    if (threaded_) {
      (void)shared_->changed.wait_for(lock, kDrainTimeout, [&] { return shared_->done; });
    }
  }

 private:
  struct Waiting {
    HostCommand command;
    std::size_t bytes = 0;
  };
  struct Shared {
    std::mutex mu;
    std::condition_variable changed;
    std::deque<Waiting> waiting;
    std::size_t waiting_bytes = 0;
    bool stopping = false;  // commands are dropped, reports still written
    bool closed = false;    // nothing more comes
    bool done = false;      // the thread has reported everything and ended
  };

  static void carry_out(const ReceiverController& controller, const HostCommand& command,
                        bool stopping) {
    if (const auto* report = std::get_if<Json>(&command)) {
      print_event_line(*report);
    } else if (stopping) {
      return;
    } else if (const auto* playback = std::get_if<ReceiverCommand>(&command)) {
      (void)controller.send(*playback);  // its errors are dropped: the loop reports nothing
    } else {
      (void)controller.set_volume(std::get<VolumeChange>(command).percent);
    }
  }

  static void run(Shared& shared, const ReceiverController& controller) {
    for (;;) {
      std::optional<Waiting> next;
      bool stopping = false;
      {
        std::unique_lock lock(shared.mu);
        shared.changed.wait(lock, [&] { return shared.closed || !shared.waiting.empty(); });
        if (shared.waiting.empty()) {
          shared.done = true;
          shared.changed.notify_all();
          return;
        }
        next = std::move(shared.waiting.front());
        shared.waiting.pop_front();
        shared.waiting_bytes -= next->bytes;
        stopping = shared.stopping;
        shared.changed.notify_all();
      }
      try {
        carry_out(controller, next->command, stopping);
      } catch (const std::exception&) {  // std::bad_alloc: that command is lost, the next runs
      }
    }
  }

  ReceiverController controller_;
  std::shared_ptr<Shared> shared_;
  bool threaded_ = false;
};

void unsupported(HostCommandQueue& commands, std::string_view raw) {
  commands.push(Json{{"code", "unsupported_command"}, {"event", "error"}, {"raw", raw}},
                raw.size());
}

// Handles one trimmed, non-empty line. Returns false when the loop must end.
bool handle_line(HostCommandQueue& commands, std::string_view trimmed) {
  const auto value = parse_json_strict(as_bytes(trimmed));
  if (!value) return true;
  if (!value->is_object()) {
    unsupported(commands, trimmed);
    return true;
  }
  const auto cmd_it = value->find("command");
  if (cmd_it == value->end() || !cmd_it->is_string()) {
    unsupported(commands, trimmed);
    return true;
  }
  const std::string& command = cmd_it->get_ref<const std::string&>();
  auto send = [&](ReceiverCommand::Code code, std::uint64_t position = 0) {
    commands.push(ReceiverCommand{code, position});
  };
  if (command == "toggle") {
    send(ReceiverCommand::kToggle);
  } else if (command == "pause") {
    send(ReceiverCommand::kPause);
  } else if (command == "resume") {
    send(ReceiverCommand::kResume);
  } else if (command == "previous") {
    send(ReceiverCommand::kPrevious);
  } else if (command == "next") {
    send(ReceiverCommand::kNext);
  } else if (command == "seek") {
    const auto pos = value->find("position_ms");
    if (pos != value->end() && pos->is_number_unsigned()) {
      send(ReceiverCommand::kSeek, pos->get<std::uint64_t>());
    }
  } else if (command == "set_volume") {
    const auto pct = value->find("percent");
    if (pct != value->end() && pct->is_number_unsigned()) {
      const std::uint64_t v = std::min<std::uint64_t>(pct->get<std::uint64_t>(), 100);
      commands.push(VolumeChange{static_cast<std::uint8_t>(v)});
    }
  } else if (command == "stop" || command == "shutdown") {
    return false;  // the loop ends and stops the receiver
  } else {
    unsupported(commands, trimmed);
  }
  return true;
}

void report_line_too_long(HostCommandQueue& commands) {
  commands.push(Json{{"event", "warning"},
                     {"code", "sonvale_command_line_too_long"},
                     {"message", fmt::format("标准输入的命令行超过 {} 字节，已丢弃：standard input "
                                             "line exceeds {} bytes",
                                             kMaxCommandLine, kMaxCommandLine)}});
}

int run(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  raise_open_file_limit();
  limit_allocator_arenas();
  const std::vector<std::string> args(argv, argv + argc);
  ReceiverConfig config = config_from_args(args);
  const Ipv4 address = config.address;
  const std::string name = config.name;

  const EventSink sink = stdout_event_sink();
  auto receiver = ZeDidiReceiver::start(std::move(config), sink);
  if (!receiver) {
    print_event_line(
        Json{{"code", "start_failed"},
             {"event", "error"},
             {"message", "Failed to start ZeDidi receiver: " + receiver.error().to_string()}});
    return 1;
  }
  {
    const ReceiverController controller = (*receiver)->controller();
    print_event_line(Json{{"event", "bridge_ready"}, {"ip", address.to_string()}, {"name", name}});

    HostCommandQueue commands(controller);
    StdinLines input;
    std::string line;
    for (;;) {
      const StdinLines::Next next = input.next(&line);
      if (next == StdinLines::Next::kEnd) break;
      if (next == StdinLines::Next::kTooLong) {
        report_line_too_long(commands);
        continue;
      }
      if (!is_valid_utf8(line)) continue;
      const std::string_view trimmed = trim_whitespace(line);
      if (trimmed.empty()) continue;
      try {
        if (!handle_line(commands, trimmed)) break;
      } catch (const std::bad_alloc&) {
        // The line is dropped as one that is not JSON would be; the loop goes on.
      }
    }
    // "stop", "shutdown" or the end of input: the receiver stops now, the confirmation a command
    // waits for ends with it, commands still waiting are dropped and their reports written.
    commands.stopping();
    controller.stop();
    commands.finish();
  }
  // Standard input is left unread from here on; the receiver's release stops it.
  receiver->reset();
  return 0;
}

}  // namespace
}  // namespace sonvale

int main(int argc, char** argv) {
  const int status = sonvale::run(argc, argv);
  std::fflush(stdout);
  // Detached receiver threads may still be running: leave without static destructors.
  std::_Exit(status);
}
