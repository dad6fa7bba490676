#include "core/event_sink.h"

#include <cstdio>
#include <mutex>

#include "core/json.h"

namespace sonvale {
namespace {

std::mutex& stdout_mutex() {
  // Never destroyed: detached threads may still report while the process exits.
  static auto* mu = new std::mutex;
  return *mu;
}

}  // namespace

Json error_event(std::string_view code, std::string message) {
  return Json{{"event", "error"}, {"code", code}, {"message", std::move(message)}};
}

Json warning_event(std::string_view code, std::string message) {
  return Json{{"event", "warning"}, {"code", code}, {"message", std::move(message)}};
}

std::string compact_json(const Json& value) {
  try {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
  } catch (...) {
    return "{}";
  }
}

void print_event_line(const Json& value) {
  std::string line = compact_json(value);
  line.push_back('\n');
  std::lock_guard lock(stdout_mutex());
  (void)std::fwrite(line.data(), 1, line.size(), stdout);
  (void)std::fflush(stdout);
  clearerr(stdout);
}

EventSink stdout_event_sink() {
  return EventSink([](Json value) {
    print_event_line(value);
    // An event may carry a tree a phone sent; releasing it must not allocate.
    dismantle_json(value);
  });
}

}  // namespace sonvale
