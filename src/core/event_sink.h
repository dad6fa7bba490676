#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

namespace sonvale {

using Json = nlohmann::json;

// A shared, thread-safe callback taking one JSON event. Copies share the callback; a call never
// fails towards the caller and never throws.
class EventSink {
 public:
  using Fn = std::function<void(Json)>;

  EventSink() = default;
  explicit EventSink(Fn fn) : fn_(std::make_shared<const Fn>(std::move(fn))) {}

  void operator()(Json event) const noexcept {
    if (!fn_) return;
    try {
      (*fn_)(std::move(event));
    } catch (...) {
    }
  }

 private:
  std::shared_ptr<const Fn> fn_;
};

// An "error" or "warning" event with its code and message; a caller adds any further fields to
// the object returned. Every error and warning event is built here.
Json error_event(std::string_view code, std::string message);
Json warning_event(std::string_view code, std::string message);

// The compact one-line form of an event: keys in byte order, two-character escapes, raw UTF-8,
// and invalid UTF-8 replaced by U+FFFD. Never throws.
std::string compact_json(const Json& value);

// Writes `value` as one compact line plus "\n" to standard output under the process-wide output
// lock and flushes. Write and flush errors are ignored.
void print_event_line(const Json& value);

// The sink whose body is print_event_line.
EventSink stdout_event_sink();

}  // namespace sonvale
