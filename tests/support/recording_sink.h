#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/event_sink.h"

namespace sonvale::testing {

// An EventSink that records every event, for tests that wait for what threads report.
class RecordingSink {
 public:
  RecordingSink();

  EventSink sink() const { return sink_; }
  std::vector<Json> events() const;
  // Events whose "event" equals `name`.
  std::vector<Json> named(const std::string& name) const;

  // Waits until an event satisfies `pred`; returns it, or nullopt after `timeout`.
  std::optional<Json> wait_for(const std::function<bool(const Json&)>& pred,
                               std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
  std::optional<Json> wait_for_event(const std::string& name,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

 private:
  struct State {
    mutable std::mutex mu;
    std::condition_variable cv;
    std::vector<Json> events;
  };
  std::shared_ptr<State> state_;
  EventSink sink_;
};

}  // namespace sonvale::testing
