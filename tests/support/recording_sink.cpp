#include "support/recording_sink.h"

namespace sonvale::testing {

RecordingSink::RecordingSink() : state_(std::make_shared<State>()) {
  sink_ = EventSink([st = state_](Json event) {
    {
      std::lock_guard lock(st->mu);
      st->events.push_back(std::move(event));
    }
    st->cv.notify_all();
  });
}

std::vector<Json> RecordingSink::events() const {
  std::lock_guard lock(state_->mu);
  return state_->events;
}

std::vector<Json> RecordingSink::named(const std::string& name) const {
  std::vector<Json> out;
  std::lock_guard lock(state_->mu);
  for (const auto& e : state_->events) {
    if (e.is_object() && e.value("event", "") == name) out.push_back(e);
  }
  return out;
}

std::optional<Json> RecordingSink::wait_for(const std::function<bool(const Json&)>& pred,
                                            std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mu);
  std::optional<Json> found;
  state_->cv.wait_for(lock, timeout, [&] {
    for (const auto& e : state_->events) {
      if (pred(e)) {
        found = e;
        return true;
      }
    }
    return false;
  });
  return found;
}

std::optional<Json> RecordingSink::wait_for_event(const std::string& name,
                                                  std::chrono::milliseconds timeout) const {
  return wait_for([&](const Json& e) { return e.is_object() && e.value("event", "") == name; },
                  timeout);
}

}  // namespace sonvale::testing
