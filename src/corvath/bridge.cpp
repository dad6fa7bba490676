#include "corvath/bridge.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "corvath/coroutine.h"
#include "corvath/host.h"
#include "corvath/names.h"
#include "corvath/traceback.h"

namespace corvath {
namespace {

constexpr const char* kSource = "airplay1";
constexpr const char* kTarget = "group_all";
constexpr const char* kDefaultName = "SonVale 全屋播放";
constexpr double kGraceSeconds = 10.0;
constexpr int kPollPeriod = 3;
constexpr int kStatusTimeout = 8;
constexpr int kRepushWait = 4;
constexpr double kSearchTimeout = 3.0;

// The playback roads, handed off by the AirPlay server's callbacks (and `kDrain`, the place that
// Corvath.stop takes in the line to wait for the roads before it).
enum class Road { kStart, kPause, kResume, kStop, kDrain };

// Calls that the relay makes of the speakers (through the group controller) and of the host's
// web page. Of each kind only the newest still waits: a newer call of the kind cancels the older
// one, and a pause or stop cancels those of the searches, pushes, pauses and stops before it.
enum class Call { kSearch, kPush, kPause, kStop, kVolume, kBroadcast };

// What the road holding the turn waits for: the audio id search (given up for a later start,
// pause or stop) or the answer to a command (given up as soon as any later road is handed off).
enum class Wait { kSearch, kAnswer };

// The C++ side of a bridge: its phase and the line of its playback roads. Roads run in the order
// they were handed off, one at a time: each takes the next number at its hand-off and its turn
// when every road before it has ended. A road is abandoned only when a later pause or stop
// supersedes it, and start and resume roads when Corvath.stop drops them. An abandoned road
// needs no turn: it ends as soon as it reaches the loop, a stop after giving its lease back.
// The road holding the turn waits for the speakers' answer only until a later road comes. The
// Python objects of the line (the turn futures, the current wait, the calls, the tasks) live in
// the instance dict, where the garbage collector sees them.
struct Corvath {
  enum class Phase { kIdle, kStarting, kStarted };
  Phase phase = Phase::kIdle;
  std::uint64_t handed = 0;             // the last road handed off
  std::uint64_t turn = 1;               // the road whose turn it is
  std::set<std::uint64_t> ended_early;  // roads that ended before their turn came
  std::uint64_t superseded_below = 0;   // a later pause or stop supersedes the roads below
  std::uint64_t search_moot_below = 0;  // a later start, pause or stop: their search is moot
  std::uint64_t halted_below = 0;       // start and resume roads below: dropped by Corvath.stop
  std::uint64_t stops = 0;  // Corvath.stop calls so far
  bool halted = false;    // from Corvath.stop to the next start, start and resume roads drop
  bool stopping = false;  // while Corvath.stop runs no road waits for an answer
  // The wait of the road holding the turn; its future is `_wait`.
  std::uint64_t wait_number = 0;
  Road wait_road = Road::kDrain;
  Wait wait_kind = Wait::kAnswer;
};

Corvath& state(py::handle self) { return self.cast<Corvath&>(); }

const Names& n() { return names(); }

py::object asyncio() { return global("asyncio"); }

py::object hub(py::handle self) { return get(self, n().audio_hub); }

py::object controller(py::handle self) { return get(self, n().controller); }

// --- the line of roads ------------------------------------------------------------------------

// One road's place in the line. Ending it (at the latest when it is destroyed: a coroutine
// frame closed before it ran, a hand-off dropped with its loop) lets the next road go.
class RoadTurn {
 public:
  RoadTurn(py::handle self, std::uint64_t number, Road road)
      : self_(self.ptr()), number_(number), road_(road) {}
  RoadTurn(RoadTurn&& other) noexcept
      : self_(std::exchange(other.self_, nullptr)), number_(other.number_), road_(other.road_) {}
  RoadTurn(const RoadTurn&) = delete;
  RoadTurn& operator=(const RoadTurn&) = delete;
  RoadTurn& operator=(RoadTurn&&) = delete;
  ~RoadTurn() { end(); }

  std::uint64_t number() const { return number_; }
  Road road() const { return road_; }
  void end() noexcept;
  void forget() noexcept { self_ = nullptr; }

 private:
  PyObject* self_;  // borrowed: whatever carries the turn keeps the bridge alive longer
  std::uint64_t number_;
  Road road_;
};

bool abandoned(const Corvath& c, std::uint64_t number, Road road) {
  if (number < c.superseded_below) return true;
  return (road == Road::kStart || road == Road::kResume) && number < c.halted_below;
}

bool abandoned(py::handle self, const RoadTurn& turn) {
  return abandoned(state(self), turn.number(), turn.road());
}

bool wait_over(const Corvath& c, std::uint64_t number, Road road, Wait kind) {
  if (c.stopping || abandoned(c, number, road)) return true;
  return kind == Wait::kAnswer ? c.handed > number : number < c.search_moot_below;
}

// Takes the next place in the line; called on the thread that hands the road off.
RoadTurn hand_off(py::handle self, Road road) {
  Corvath& c = state(self);
  const std::uint64_t number = ++c.handed;
  if (road == Road::kPause || road == Road::kStop) c.superseded_below = number;
  if (road == Road::kStart || road == Road::kPause || road == Road::kStop) {
    c.search_moot_below = number;
  }
  if ((road == Road::kStart || road == Road::kResume) && c.halted) c.halted_below = number + 1;
  return RoadTurn(self, number, road);
}

// Sets the result of `future` on its own loop's thread; a loop that has closed is left alone.
void wake(py::handle future) {
  if (truthy(get(future, n().done)())) return;
  py::object loop = get(future, n().get_loop)();
  if (get(asyncio(), n().running_loop)().is(loop)) {
    get(future, n().set_result)(py::none());
    return;
  }
  py::object set_result = py::cpp_function([](py::handle f) {
    if (!truthy(get(f, n().done)())) get(f, n().set_result)(py::none());
  });
  try {
    get(loop, n().call_soon_threadsafe)(set_result, future);
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
  }
}

void end_turn(py::handle self, std::uint64_t number) {
  Corvath& c = state(self);
  if (number < c.turn) return;  // a road of a loop that has gone
  if (number > c.turn) {
    c.ended_early.insert(number);
  } else {
    ++c.turn;
    while (c.ended_early.erase(c.turn) != 0) ++c.turn;
  }
  // The garbage collector may have cleared the bridge's dict already.
  py::object waiting_roads = get_or(self, n().turns, py::none());
  if (!PyDict_Check(waiting_roads.ptr())) return;
  py::dict turns = py::reinterpret_borrow<py::dict>(waiting_roads);
  py::int_ key(number);
  if (number > c.turn) {
    if (turns.contains(key)) PyDict_DelItem(turns.ptr(), key.ptr());
    return;
  }
  py::int_ next(c.turn);
  if (!turns.contains(next)) return;
  py::object waiting = turns[next];
  PyDict_DelItem(turns.ptr(), next.ptr());
  wake(waiting);
}

void RoadTurn::end() noexcept {
  if (self_ == nullptr) return;
  PyObject* self = std::exchange(self_, nullptr);
  py::error_scope pending;  // an error being raised meanwhile stays as it is
  try {
    end_turn(self, number_);
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("ending a group AirPlay road");
  } catch (...) {
  }
}

// Ends the wait of the road holding the turn when it should no longer wait.
void recheck_wait(py::handle self) {
  py::object waiting = get(self, n().wait);
  if (waiting.is_none() || truthy(get(waiting, n().done)())) return;
  const Corvath& c = state(self);
  if (wait_over(c, c.wait_number, c.wait_road, c.wait_kind)) {
    get(waiting, n().set_result)(py::none());
  }
}

void cancel_calls(py::handle self, std::initializer_list<Call> kinds) {
  py::dict calls = get(self, n().calls);
  for (Call kind : kinds) {
    py::int_ key(static_cast<int>(kind));
    if (!calls.contains(key)) continue;
    py::object call = calls[key];
    if (!truthy(get(call, n().done)())) get(call, n().cancel)();
  }
}

// A road reaches the loop: a wait that it makes pointless ends, a pause or stop cancels the
// calls still waiting from before it. Returns the future to await until the road's turn, or
// null when the turn has come or the road is abandoned already (it has nothing to wait for: every
// road before it is abandoned too).
py::object wait_turn(py::handle self, const RoadTurn& turn) {
  recheck_wait(self);
  if (turn.road() == Road::kPause || turn.road() == Road::kStop) {
    cancel_calls(self, {Call::kSearch, Call::kPush, Call::kPause, Call::kStop});
  }
  if (turn.number() <= state(self).turn || abandoned(self, turn)) return py::object();
  py::object future = get(get(asyncio(), n().get_running_loop)(), n().create_future)();
  py::dict turns = get(self, n().turns);
  turns[py::int_(turn.number())] = future;
  return future;
}

// A line whose loop has gone starts afresh on the new one; the tasks and calls of the old loop
// are left to it.
void reset_line(py::handle self) {
  Corvath& c = state(self);
  c.turn = c.handed + 1;
  c.ended_early.clear();
  set(self, n().turns, py::dict());
  set(self, n().wait, py::none());
  set(self, n().calls, py::dict());
  set(self, n().tasks, py::set());
}

// --- tasks and calls --------------------------------------------------------------------------

// Runs `awaitable` as a task that the bridge keeps until it is done. A failure is logged as
// `what` or, with `what` null, left to whoever looks at the task (and not reported as never
// retrieved).
py::object spawn(py::handle self, py::object awaitable, const char* what) {
  py::object task = get(asyncio(), n().ensure_future)(awaitable);
  py::object tasks = get(self, n().tasks);
  get(tasks, n().add)(task);
  py::object add_done = get(task, n().add_done_callback);
  add_done(get(tasks, n().discard));
  add_done(what != nullptr ? failure_logger(what) : failure_swallower());
  return task;
}

// Runs `awaitable` as the newest call of its kind; the older one still waiting is cancelled.
py::object make_call(py::handle self, Call kind, py::object awaitable, const char* what) {
  py::object call = spawn(self, std::move(awaitable), what);
  py::dict calls = get(self, n().calls);
  py::int_ key(static_cast<int>(kind));
  if (calls.contains(key)) {
    py::object older = calls[key];
    if (!truthy(get(older, n().done)())) get(older, n().cancel)();
  }
  calls[key] = call;
  return call;
}

// The future that the road holding the turn awaits while `call` runs, or null when it is not
// to wait at all. It is done when the call is, or as soon as the road should no longer wait.
py::object begin_wait(py::handle self, const RoadTurn& turn, Wait kind, py::handle call) {
  Corvath& c = state(self);
  if (truthy(get(call, n().done)()) || wait_over(c, turn.number(), turn.road(), kind)) {
    return py::object();
  }
  py::object future = get(get(asyncio(), n().get_running_loop)(), n().create_future)();
  py::object settle = py::cpp_function([](py::handle waiting, py::handle) {
    if (!truthy(get(waiting, n().done)())) get(waiting, n().set_result)(py::none());
  });
  get(call, n().add_done_callback)(partial(settle, future));
  set(self, n().wait, future);
  c.wait_number = turn.number();
  c.wait_road = turn.road();
  c.wait_kind = kind;
  return future;
}

bool answered(py::handle call) {
  return truthy(get(call, n().done)()) && !truthy(get(call, n().cancelled)());
}

// --- the bridge's own parts -------------------------------------------------------------------

py::object device_name(py::handle self) {
  py::object config = get(self, n().config);
  if (!truthy(config)) return py::str(kDefaultName);
  py::object name = get(get(config, n().group), n().airplay_name);
  if (!name.is_none() && !PyUnicode_CheckExact(name.ptr())) {
    raise_error(PyExc_TypeError, std::string("group.airplay_name must be str or None, not ") +
                                     Py_TYPE(name.ptr())->tp_name);
  }
  return name;
}

py::object acquire_audio(py::handle self) {
  if (truthy(hub(self)) && get(self, n().audio_lease).is_none()) {
    set(self, n().audio_lease, get(hub(self), n().acquire_source)(kSource, kTarget));
  }
  return get(self, n().audio_lease);
}

void release_audio(py::handle self) {
  py::object lease = get(self, n().audio_lease);
  if (truthy(hub(self)) && !lease.is_none()) {
    get(hub(self), n().release_source)(lease, "airplay stopped");
    set(self, n().audio_lease, py::none());
  }
}

// Title, artist and album as text, joined with NUL: a falsy or missing value gives "".
std::string track_key(py::handle metadata) {
  std::string key;
  const char* fields[] = {"title", "artist", "album"};
  for (std::size_t i = 0; i < 3; ++i) {
    if (i > 0) key.push_back('\0');
    py::object value = get(metadata, n().get)(fields[i]);
    if (truthy(value)) key += std::string(py::str(value));
  }
  return key;
}

void on_metadata_change(py::handle self, py::handle metadata, py::handle artwork) {
  require_dict(metadata, "_on_metadata_change", "metadata");
  require_str(artwork, "_on_metadata_change", "artwork", true);
  if (!truthy(hub(self))) return;
  py::dict payload = py::reinterpret_steal<py::dict>(PyDict_Copy(metadata.ptr()));
  py::str key(track_key(metadata));
  if (!artwork.is_none() || !key.equal(get(self, n().metadata_track_key))) {
    payload["artwork"] =
        truthy(artwork) ? py::reinterpret_borrow<py::object>(artwork) : py::str("");
  }
  set(self, n().metadata_track_key, key);
  get(hub(self), n().update_session_metadata)(payload);
}

void on_progress_change(py::handle self, py::handle position, py::handle duration) {
  py::object position_ms = to_int(position, "_on_progress_change", "position_ms");
  py::object duration_ms = duration.is_none()
                               ? py::none()
                               : to_int(duration, "_on_progress_change", "duration_ms");
  if (truthy(hub(self))) get(hub(self), n().update_session_progress)(position_ms, duration_ms);
}

bool loop_running(py::handle self) {
  py::object loop = get(self, n().loop);
  return truthy(loop) && truthy(get(loop, n().is_running)());
}

// Submits `coro` to the bridge's loop from a foreign thread. Its outcome is logged when it fails;
// a loop that closed since it was found running is logged and the coroutine closed.
void submit(py::handle self, py::object coro, const char* what) {
  py::object future;
  try {
    future = get(asyncio(), n().run_coroutine_threadsafe)(coro, get(self, n().loop));
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    close_unawaited(coro);
    log(n().warning, "Group AirPlay %s dropped, the event loop is gone: %r", what, e.value());
    return;
  }
  get(future, n().add_done_callback)(failure_logger(what));
}

py::object wall_now() { return get(global("time"), n().time)(); }

double wall_seconds() { return wall_now().cast<double>(); }

// Whole seconds of the wall clock, as text.
std::string time_stamp() {
  PyObject* whole = PyNumber_Long(wall_now().ptr());
  if (whole == nullptr) throw py::error_already_set();
  return std::string(py::str(py::reinterpret_steal<py::object>(whole)));
}

std::string text(py::handle value) { return std::string(py::str(value)); }

py::object lease_session_id(py::handle self) {
  py::object lease = get(self, n().audio_lease);
  return truthy(lease) ? get(lease, n().session_id) : py::object(py::int_(0));
}

std::string stream_base(py::handle self, py::handle session_id) {
  return "http://" + text(get(self, n().host)) + ":" +
         text(get(get(self, n().config), n().web_port)) +
         "/stream/live.wav?session_id=" + text(session_id);
}

// The URL pushed to the speakers; a resume and a watchdog re-push add a time stamp.
std::string speaker_url(py::handle self, py::handle session_id, bool stamped) {
  std::string url = stream_base(self, session_id) + "&delay_ms=0";
  if (stamped) url += "&_ts=" + time_stamp();
  return url;
}

// The URL sent to the host's web page: the virtual delay less 200 ms, never below 0.
std::string page_url(py::handle self, py::handle session_id, bool stamped) {
  py::object virtual_delay = get(get(self, n().config), n().virtual_delay);
  py::object delay = virtual_delay - py::int_(200);
  py::object web_delay = delay > py::int_(0) ? delay : py::int_(0);
  std::string url = stream_base(self, session_id) + "&virtual_delay=" + text(web_delay);
  if (stamped) url += "&_ts=" + time_stamp();
  return url;
}

// A new dict copied from the server's metadata, with the server's artwork when it has one.
py::dict metadata_copy(py::handle self) {
  py::object server = get(self, n().airplay_server);
  if (!truthy(server)) return py::dict();
  PyObject* copied = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type),
                                         get(server, n().metadata).ptr());
  if (copied == nullptr) throw py::error_already_set();
  py::dict copy = py::reinterpret_steal<py::dict>(copied);
  py::object artwork = get(server, n().artwork);
  if (truthy(artwork)) copy["artwork"] = artwork;
  return copy;
}

py::dict control_message(const char* action) {
  py::dict message;
  message["type"] = "control_command";
  message["action"] = action;
  message["target"] = kTarget;
  return message;
}

py::dict play_message(const std::string& url, py::handle session_id, py::handle metadata) {
  py::dict message = control_message("play_url");
  message["url"] = url;
  message["session_id"] = session_id;
  message["metadata"] = metadata;
  return message;
}

py::dict session_message(const char* action, py::handle session_id) {
  py::dict message = control_message(action);
  message["session_id"] = session_id;
  return message;
}

// broadcast_ws(message) of the host's web API as the newest broadcast call, or null when the
// import, the call or the scheduling fails (swallowed: the web page is told on a best-effort
// basis). `what` names a failure of the sending itself in the log; null swallows it.
py::object broadcast(py::handle self, py::handle message, const char* what) {
  try {
    py::object sending = get(py::module_::import("sonvale.web.api"), n().broadcast_ws)(message);
    return make_call(self, Call::kBroadcast, std::move(sending), what);
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    return py::object();
  }
}

// Runs one step of the audio hub; a failure is logged and the caller carries on.
template <class Step>
void hub_step(const char* what, Step step) {
  try {
    step();
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    py::object failure = exception_of(e);
    get(global("log"), n().warning)("AudioHub %s failed: %r", what, failure,
                                    py::arg("exc_info") = failure);
  }
}

// The hub session's id for the web page, 0 when there is no hub or it cannot say.
py::object hub_session_id(py::handle self) {
  py::object session_id = py::int_(0);
  if (truthy(hub(self))) {
    hub_step("get_session", [&] {
      session_id = get(get(hub(self), n().get_session)(), n().get)("session_id", 0);
    });
  }
  return session_id;
}

void start_poll(py::handle self) {
  py::object task = get(self, n().poll_task);
  if (truthy(task) && !truthy(get(task, n().done)())) return;
  set(self, n().poll_task, spawn(self, get(self, n().poll_target_state)(), "watchdog"));
}

// An awaitable that a coroutine is given to run: closed, when it is a coroutine, if the coroutine
// ends (or is closed before its first step) without having handed it on.
class OwnedAwaitable {
 public:
  explicit OwnedAwaitable(py::handle awaitable) : awaitable_(awaitable.ptr()) {}
  OwnedAwaitable(OwnedAwaitable&& other) noexcept
      : awaitable_(std::exchange(other.awaitable_, nullptr)) {}
  OwnedAwaitable(const OwnedAwaitable&) = delete;
  OwnedAwaitable& operator=(const OwnedAwaitable&) = delete;
  OwnedAwaitable& operator=(OwnedAwaitable&&) = delete;
  ~OwnedAwaitable() {
    if (awaitable_ == nullptr) return;
    py::error_scope pending;
    try {
      close_unawaited(awaitable_);
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("closing an unawaited group AirPlay call");
    } catch (...) {
    }
  }
  py::object take() {
    return py::reinterpret_borrow<py::object>(std::exchange(awaitable_, nullptr));
  }

 private:
  PyObject* awaitable_;  // borrowed: the coroutine that owns this keeps it
};

// On the loop: the volume change becomes the newest volume call of the group.
CoTask volume_body(py::handle self, OwnedAwaitable change) {
  make_call(self, Call::kVolume, change.take(), "volume change");
  co_return py::none();
}

void on_volume_change(py::handle self, py::handle vol_db) {
  // __float__ or __index__ only: a str is no volume.
  double as_double = PyFloat_AsDouble(vol_db.ptr());
  if (as_double == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  py::object db = py::float_(as_double);
  py::object config = get(self, n().config);
  py::object fallback =
      truthy(config) ? get(config, n().default_xiaomi_volume) : py::object(py::int_(30));
  py::object volume = global("airplay_db_to_xiaomi_volume")(db, fallback);
  if (!loop_running(self)) return;
  py::object change = get(controller(self), n().set_volume)(volume);
  submit(self,
         make_coroutine("Corvath._on_volume_change", {self, change},
                        volume_body(self, OwnedAwaitable(change))),
         "volume change");
}

// Cancels the watchdog task and waits for its end. Only the task's own cancellation is
// swallowed: a cancellation of the caller that arrives meanwhile is raised, even when the
// watchdog swallowed the one it was handed. A failure of the task was logged when it ended and
// does not stop the caller.
// True when `task` belongs to the running loop (a task of a loop that has gone can be neither
// cancelled nor awaited).
bool of_running_loop(py::handle task) {
  return get(task, n().get_loop)().is(get(asyncio(), n().running_loop)());
}

CoTask end_watchdog_body(py::handle self) {
  py::object task = get(self, n().poll_task);
  if (!truthy(task)) co_return py::none();
  if (!of_running_loop(task)) {
    set(self, n().poll_task, py::none());
    co_return py::none();
  }
  auto caller_cancels = [] {
    py::object caller = get(asyncio(), n().current_task)();
    return caller.is_none() ? 0L : get(caller, n().cancelling)().cast<long>();
  };
  long before = caller_cancels();
  get(task, n().cancel)();
  try {
    co_await py_await(task, task);
  } catch (py::error_already_set& e) {
    if (!is_cancellation(e) && !is_ordinary(e)) throw;
  }
  // A play start during the wait may have started a new watchdog: leave that one alone.
  if (get(self, n().poll_task).is(task)) set(self, n().poll_task, py::none());
  if (caller_cancels() > before) {
    PyErr_SetNone(get(asyncio(), n().cancelled_error).ptr());
    throw py::error_already_set();
  }
  co_return py::none();
}

py::object end_watchdog(py::handle self) {
  return make_coroutine("Corvath._end_watchdog", {self}, end_watchdog_body(self));
}

// Cancels every task the relay started that is still running, and waits for their end. The
// caller's own cancellation meanwhile is raised.
CoTask cancel_tasks_body(py::handle self) {
  py::object current = get(asyncio(), n().current_task)();
  py::list pending;
  for (py::handle task : py::list(get(self, n().tasks))) {
    if (task.is(current) || truthy(get(task, n().done)()) || !of_running_loop(task)) continue;
    get(task, n().cancel)();
    pending.append(task);
  }
  if (pending.empty()) co_return py::none();
  py::object all_ended = get(asyncio(), n().gather)(*pending, py::arg("return_exceptions") = true);
  pending = py::list();
  co_await py_await(std::move(all_ended));
  co_return py::none();
}

// Corvath.start in progress: a start that fails or is cancelled may be tried again.
class StartingScope {
 public:
  explicit StartingScope(Corvath& c) : c_(c) { c_.phase = Corvath::Phase::kStarting; }
  StartingScope(const StartingScope&) = delete;
  StartingScope& operator=(const StartingScope&) = delete;
  ~StartingScope() {
    if (c_.phase == Corvath::Phase::kStarting) c_.phase = Corvath::Phase::kIdle;
  }

 private:
  Corvath& c_;
};

// Corvath.stop in progress, however it ends.
class StoppingScope {
 public:
  explicit StoppingScope(Corvath& c) : c_(c) { c_.stopping = true; }
  StoppingScope(const StoppingScope&) = delete;
  StoppingScope& operator=(const StoppingScope&) = delete;
  ~StoppingScope() { c_.stopping = false; }

 private:
  Corvath& c_;
};

py::object cancel_tasks(py::handle self) {
  return make_coroutine("Corvath._cancel_tasks", {self}, cancel_tasks_body(self));
}

CoTask start_body(py::handle self) {
  Corvath& c = state(self);
  if (c.phase != Corvath::Phase::kIdle) {
    raise_error(PyExc_RuntimeError, c.phase == Corvath::Phase::kStarting
                                        ? "Corvath.start(): the bridge is already starting"
                                        : "Corvath.start(): the bridge is already started");
  }
  StartingScope starting_scope(c);
  py::object loop = get(asyncio(), n().get_running_loop)();
  if (!loop.is(get(self, n().loop))) reset_line(self);
  c.halted = false;
  set(self, n().loop, loop);
  py::object server = global("AirPlayServer")(get(self, n().host), device_name(self),
                                              get(self, n().shared_zeroconf),
                                              py::arg("speaker_hardware") = "GROUP");
  set(self, n().airplay_server, server);
  const py::object* callbacks[][2] = {
      {&n().on_play_start, &n().on_play_start_method},
      {&n().on_play_stop, &n().on_play_stop_method},
      {&n().on_play_pause, &n().on_play_pause_method},
      {&n().on_play_resume, &n().on_play_resume_method},
      {&n().on_volume_change, &n().on_volume_change_method},
      {&n().on_metadata_change, &n().on_metadata_change_method},
      {&n().on_progress_change, &n().on_progress_change_method}};
  for (auto& [server_name, method] : callbacks) set(server, *server_name, get(self, *method));
  py::object starting = get(server, n().start)();
  server = py::object();
  const std::uint64_t stops = c.stops;
  co_await py_await(std::move(starting));
  if (c.stops != stops) {
    raise_error(PyExc_RuntimeError, "Corvath.start(): the bridge was stopped while it started");
  }
  c.phase = Corvath::Phase::kStarted;
  log(n().info, "Started Group AirPlay bridge %s on rtsp=%s", device_name(self),
      get(get(self, n().airplay_server), n().rtsp_port));
  co_return py::none();
}

CoTask stop_body(py::handle self) {
  Corvath& c = state(self);
  // Start and resume roads handed off before the end of this stop, or after it until the next
  // start, are dropped; pause and stop roads still run, those that the server reports while it
  // stops included.
  ++c.stops;
  c.halted = true;
  c.halted_below = c.handed + 1;
  StoppingScope stopping(c);
  set(self, n().airplay_active, py::bool_(false));
  recheck_wait(self);
  co_await py_await(end_watchdog(self));
  py::object server = get(self, n().airplay_server);
  if (truthy(server)) {
    py::object stopping_server = get(server, n().stop)();
    server = py::object();
    co_await py_await(std::move(stopping_server));
    set(self, n().airplay_server, py::none());
  }
  hub_step("release_source", [&] { release_audio(self); });
  {
    RoadTurn drain = hand_off(self, Road::kDrain);
    if (py::object waiting = wait_turn(self, drain)) co_await py_await(std::move(waiting));
  }
  // The calls those roads made reach the speakers before the waits for them are cancelled.
  for (int i = 0; i < 2; ++i) co_await py_await(get(asyncio(), n().sleep)(0));
  co_await py_await(cancel_tasks(self));
  state(self).phase = Corvath::Phase::kIdle;
  co_return py::none();
}

py::object default_audio_id(py::handle self) {
  py::object config = get(self, n().config);
  if (!truthy(config)) return py::str("");
  return get_or(config, n().default_audio_id, py::str(""));
}

CoTask resolve_audio_id_body(py::handle self) {
  py::object server = get(self, n().airplay_server);
  py::object metadata = truthy(server) ? get(server, n().metadata) : py::object(py::dict());
  server = py::object();
  auto field = [&](const char* key) {
    py::object value = get(metadata, n().get)(key);
    if (!truthy(value)) value = py::str("");
    return get(value, n().strip)();
  };
  py::object title = field("title");
  py::object artist = field("artist");
  metadata = py::object();
  if (!truthy(title)) co_return py::none();
  py::object members = get(controller(self), n().get_member_controllers)();
  if (!truthy(members)) co_return py::none();
  py::object found;
  try {
    py::object search = get(members[py::int_(0)], n().search_audio_id)(
        title, artist, py::arg("fuzzy_fallback") = true);
    members = py::object();
    py::object answer =
        get(asyncio(), n().wait_for)(search, py::arg("timeout") = kSearchTimeout);
    search = py::object();  // the call took its own reference
    found = co_await py_await(std::move(answer));
    if (truthy(found) && !PyUnicode_CheckExact(found.ptr())) {
      raise_error(PyExc_TypeError, std::string("search_audio_id() answered ") +
                                       Py_TYPE(found.ptr())->tp_name + ", not str");
    }
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    log(n().warning, "Group audio ID search error for %s: %s", title, e.value());
    found = py::none();
  }
  co_return truthy(found) ? found : py::none();
}

// A start that the hub can no longer serve: the bridge is left inactive and the lease goes back
// to the hub that granted it.
void reject_start(py::handle self, py::handle lease_hub) {
  set(self, n().airplay_active, py::bool_(false));
  set(self, n().stream_url, py::str(""));
  py::object lease = get(self, n().audio_lease);
  if (lease.is_none()) return;
  if (truthy(lease_hub)) {
    hub_step("release_source",
             [&] { get(lease_hub, n().release_source)(lease, "airplay stopped"); });
  }
  set(self, n().audio_lease, py::none());
}

// The speakers' answer to the start's push: falsy is a refusal. When the road did not wait for
// it (a later road came), the answer is judged when it comes.
void judge_push(py::handle push, py::handle session_id) {
  auto judge = [](py::handle answer, py::handle id) {
    if (!truthy(answer)) log(n().warning, "Group Xiaomi Egress rejected: session_id=%s", id);
  };
  if (answered(push)) {
    judge(get(push, n().result)(), session_id);
    return;
  }
  if (truthy(get(push, n().done)())) return;  // a newer command took its place
  py::object judge_later = py::cpp_function([judge](py::handle id, py::handle call) {
    if (answered(call) && get(call, n().exception)().is_none()) {
      judge(get(call, n().result)(), id);
    }
  });
  get(push, n().add_done_callback)(partial(judge_later, session_id));
  get(push, n().add_done_callback)(failure_logger("play start push"));
}

CoTask play_body(py::handle self, py::handle stream_url, RoadTurn turn) {
  if (py::object waiting = wait_turn(self, turn)) co_await py_await(std::move(waiting));
  if (abandoned(self, turn)) co_return py::none();
  set(self, n().stream_url, stream_url);
  set(self, n().airplay_active, py::bool_(true));
  set(self, n().play_grace_until, py::float_(wall_seconds() + kGraceSeconds));
  if (!truthy(acquire_audio(self))) {
    log(n().warning, "AudioHub is busy; rejected group AirPlay stream");
    set(self, n().airplay_active, py::bool_(false));
    co_return py::none();
  }
  py::object lease_hub = hub(self);
  py::object custom_default = default_audio_id(self);
  py::object search =
      make_call(self, Call::kSearch, get(self, n().resolve_audio_id)(), nullptr);
  if (py::object waiting = begin_wait(self, turn, Wait::kSearch, search)) {
    co_await py_await(std::move(waiting), search);
  }
  py::object found = py::none();
  if (answered(search)) {
    found = get(search, n().result)();
  } else if (!truthy(get(search, n().done)())) {
    get(search, n().cancel)();  // nobody waits for it any more
  }
  if (abandoned(self, turn)) co_return py::none();
  set(self, n().session_audio_id,
      truthy(found) ? found : (truthy(custom_default) ? custom_default : py::none()));
  if (!truthy(hub(self))) {
    log(n().warning, "Group Xiaomi target rejected AirPlay stream for %s", device_name(self));
    reject_start(self, lease_hub);
    co_return py::none();
  }
  py::dict metadata = metadata_copy(self);
  py::object lease_id = lease_session_id(self);
  std::string speakers = speaker_url(self, lease_id, false);
  std::string page = page_url(self, lease_id, false);
  py::dict capabilities;
  capabilities["play_pause"] = true;
  capabilities["seek"] = false;
  capabilities["previous"] = false;
  capabilities["next"] = false;
  py::object session_id = get(hub(self), n().begin_session)(
      kSource, kTarget, metadata, page, py::arg("capabilities") = capabilities,
      py::arg("lease") = get(self, n().audio_lease));
  py::object push =
      make_call(self, Call::kPush,
                get(controller(self), n().play_url)(speakers, get(self, n().session_audio_id)),
                nullptr);
  if (py::object waiting = begin_wait(self, turn, Wait::kAnswer, push)) {
    co_await py_await(std::move(waiting), push);
  }
  if (abandoned(self, turn)) co_return py::none();
  judge_push(push, session_id);
  py::object server = get(self, n().airplay_server);
  if (truthy(hub(self)) && truthy(server)) {
    py::tuple progress(get(server, n().progress));
    if (progress.size() != 2) {
      raise_error(PyExc_ValueError,
                  "progress has " + std::to_string(progress.size()) + " items, expected 2");
    }
    if (!progress[0].is_none()) {
      get(hub(self), n().update_session_progress)(progress[0], progress[1]);
    }
  }
  broadcast(self, play_message(page, session_id, metadata), "play_url broadcast");
  start_poll(self);
  log(n().info, "Group AirPlay stream attached to speakers (%s)", device_name(self));
  co_return py::none();
}

CoTask stop_road_body(py::handle self, RoadTurn turn) {
  if (py::object waiting = wait_turn(self, turn)) co_await py_await(std::move(waiting));
  set(self, n().airplay_active, py::bool_(false));
  set(self, n().stream_url, py::str(""));
  set(self, n().session_audio_id, py::none());
  py::object session_id = hub_session_id(self);
  if (truthy(hub(self))) hub_step("release_source", [&] { release_audio(self); });
  // Superseded by a later pause or stop: the lease is given back, the rest is left to that one.
  if (abandoned(self, turn)) co_return py::none();
  broadcast(self, session_message("stop", session_id), "stop broadcast");
  co_await py_await(end_watchdog(self));
  if (abandoned(self, turn)) co_return py::none();
  py::object call;
  try {
    call = make_call(self, Call::kStop, get(controller(self), n().stop)(), nullptr);
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    co_return py::none();
  }
  if (py::object waiting = begin_wait(self, turn, Wait::kAnswer, call)) {
    call = py::object();
    co_await py_await(std::move(waiting));
  }
  co_return py::none();
}

CoTask pause_road_body(py::handle self, RoadTurn turn) {
  if (py::object waiting = wait_turn(self, turn)) co_await py_await(std::move(waiting));
  if (abandoned(self, turn)) co_return py::none();
  set(self, n().airplay_active, py::bool_(false));
  py::object watchdog = get(self, n().poll_task);
  if (truthy(watchdog)) {
    get(watchdog, n().cancel)();
    set(self, n().poll_task, py::none());
  }
  watchdog = py::object();
  py::object session_id = hub_session_id(self);
  py::object lease = get(self, n().audio_lease);
  if (truthy(hub(self)) && truthy(lease)) {
    hub_step("pause_source", [&] { get(hub(self), n().pause_source)(lease); });
  }
  lease = py::object();
  if (py::object sending = broadcast(self, session_message("pause", session_id), nullptr)) {
    if (py::object waiting = begin_wait(self, turn, Wait::kAnswer, sending)) {
      sending = py::object();
      co_await py_await(std::move(waiting));
    }
  }
  if (abandoned(self, turn)) co_return py::none();
  py::object call;
  try {
    call = make_call(self, Call::kPause, get(controller(self), n().pause)(), nullptr);
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    co_return py::none();
  }
  if (py::object waiting = begin_wait(self, turn, Wait::kAnswer, call)) {
    call = py::object();
    co_await py_await(std::move(waiting));
  }
  co_return py::none();
}

// The resume of the group: runs on the loop in one go, at its turn.
void resume_group(py::handle self, const RoadTurn& turn) {
  if (abandoned(self, turn)) return;
  py::object lease = get(self, n().audio_lease);
  if (!truthy(lease)) {
    log(n().warning, "AudioHub lease missing; group AirPlay resume not pushed");
    return;
  }
  if (truthy(hub(self))) get(hub(self), n().resume_source)(lease);
  set(self, n().airplay_active, py::bool_(true));
  start_poll(self);
  py::object lease_id = lease_session_id(self);
  std::string speakers = speaker_url(self, lease_id, true);
  std::string page = page_url(self, lease_id, true);
  make_call(self, Call::kPush,
            get(controller(self), n().play_url)(speakers, get(self, n().session_audio_id)),
            "resume push");
  try {
    broadcast(self, play_message(page, lease_id, metadata_copy(self)), "play_url broadcast");
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
  }
}

// A resume handed off to the loop with its place in the line; the place is given up when the
// hand-off is dropped unrun. The bridge is held weakly: the hand-off sits in callbacks that the
// garbage collector cannot look into.
class ResumeHandOff {
 public:
  ResumeHandOff(py::handle self, RoadTurn turn) : self_(self), turn_(std::move(turn)) {}
  ~ResumeHandOff() {
    if (bridge().is_none()) turn_.forget();  // the line went with the bridge
  }
  py::object bridge() const { return self_(); }
  RoadTurn& turn() { return turn_; }

 private:
  py::weakref self_;
  RoadTurn turn_;
};

// Ends a road's turn when it goes out of scope.
class EndTurn {
 public:
  explicit EndTurn(RoadTurn& turn) : turn_(turn) {}
  EndTurn(const EndTurn&) = delete;
  EndTurn& operator=(const EndTurn&) = delete;
  ~EndTurn() { turn_.end(); }

 private:
  RoadTurn& turn_;
};

void run_resume(const std::shared_ptr<ResumeHandOff>& resume) {
  py::object self = resume->bridge();
  if (self.is_none()) return;
  EndTurn end_turn_after(resume->turn());
  try {
    resume_group(self, resume->turn());
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    py::object failure = exception_of(e, "Corvath._on_play_resume.<locals>.resume",
                                      std::source_location::current());
    get(global("log"), n().error)("Group AirPlay %s failed: %r", "resume", failure,
                                  py::arg("exc_info") = failure);
  }
}

void arrive_resume(const std::shared_ptr<ResumeHandOff>& resume) {
  py::object self = resume->bridge();
  if (self.is_none()) return;
  py::object waiting = wait_turn(self, resume->turn());
  if (!waiting) {
    run_resume(resume);
    return;
  }
  get(waiting, n().add_done_callback)(
      py::cpp_function([resume](py::handle) { run_resume(resume); }));
}

// The watchdog goes on while the group plays, the bridge runs, and it is the bridge's current
// watchdog, not asked to cancel (a cancellation lost by wait_for must not leave a second one
// running).
bool watchdog_on(py::handle self) {
  if (!truthy(get(self, n().airplay_active)) || !truthy(get(self, n().stream_url))) {
    return false;
  }
  if (state(self).halted) return false;
  // A task asked to cancel ends even when wait_for lost that cancellation on its way.
  py::object task = get(asyncio(), n().current_task)();
  return task.is(get(self, n().poll_task)) && get(task, n().cancelling)().cast<long>() == 0;
}

bool airplay_stopped(py::handle self) {
  py::object server = get(self, n().airplay_server);
  return truthy(server) && !truthy(get(server, n().is_playing));
}

// A call the watchdog awaited was cancelled by a newer command, not the watchdog itself.
bool call_replaced(const py::error_already_set& e) {
  if (!is_cancellation(e)) return false;
  py::object task = get(asyncio(), n().current_task)();
  return !task.is_none() && get(task, n().cancelling)().cast<long>() == 0;
}

CoTask poll_body(py::handle self) {
  try {
    while (watchdog_on(self)) {
      co_await py_await(get(asyncio(), n().sleep)(kPollPeriod));
      if (!watchdog_on(self) || airplay_stopped(self)) break;
      if (wall_seconds() < get(self, n().play_grace_until).cast<double>()) continue;
      try {
        // Built before the await: a temporary of the awaiting statement would be held, out of
        // the garbage collector's sight, while the watchdog is suspended.
        py::object query = get(asyncio(), n().wait_for)(get(controller(self), n().get_status)(),
                                                        py::arg("timeout") = kStatusTimeout);
        py::object status = co_await py_await(std::move(query));
        if (!watchdog_on(self)) break;
        if (get(status, n().get)("status", 0).equal(py::int_(1))) continue;
        status = py::object();
        log(n().info, "[Group] 全屋播放检测到中断，等待后自动续播...");
        co_await py_await(get(asyncio(), n().sleep)(kRepushWait));
        if (!watchdog_on(self) || airplay_stopped(self)) break;
        std::string fresh = speaker_url(self, lease_session_id(self), true);
        set(self, n().play_grace_until, py::float_(wall_seconds() + kGraceSeconds));
        py::object push = make_call(
            self, Call::kPush,
            get(controller(self), n().play_url)(fresh, get(self, n().session_audio_id)),
            nullptr);
        co_await py_await(std::move(push));
      } catch (py::error_already_set& e) {
        if (!is_ordinary(e) && !call_replaced(e)) throw;
      }
    }
  } catch (py::error_already_set& e) {
    if (!is_cancellation(e)) throw;
  }
  co_return py::none();
}

py::dict snapshot(py::handle self) {
  py::list members = get(controller(self), n().get_member_controllers)();
  py::object server = get(self, n().airplay_server);
  bool has_server = truthy(server);
  py::object name = device_name(self);
  py::dict snap;
  snap["id"] = kTarget;
  snap["did"] = kTarget;
  snap["name"] = name;
  snap["airplay_name"] = name;
  snap["hardware"] = "GROUP";
  snap["active"] = py::bool_(has_server && truthy(get(server, n().is_playing)));
  snap["client_name"] = has_server ? get(server, n().client_name) : py::object(py::str(""));
  snap["metadata"] = has_server ? get(server, n().metadata) : py::object(py::dict());
  snap["artwork"] = has_server ? get(server, n().artwork) : py::object(py::none());
  snap["rtsp_port"] = has_server ? get(server, n().rtsp_port) : py::object(py::int_(0));
  snap["stream_url"] = get(self, n().stream_url);
  snap["use_music_api"] = false;
  snap["member_count"] = py::len(members);
  return snap;
}

py::object play_road(py::handle self, py::handle stream_url) {
  return make_coroutine("Corvath._play_on_target", {self, stream_url},
                        play_body(self, stream_url, hand_off(self, Road::kStart)));
}

py::object stop_road(py::handle self) {
  return make_coroutine("Corvath._stop_target", {self},
                        stop_road_body(self, hand_off(self, Road::kStop)));
}

py::object pause_road(py::handle self) {
  return make_coroutine("Corvath._pause_target", {self},
                        pause_road_body(self, hand_off(self, Road::kPause)));
}

}  // namespace

void register_bridge(py::module_& m) {
  py::class_<Corvath>(m, "Corvath", py::dynamic_attr(),
                      "全屋虚拟 AirPlay 桥接器，连接全屋组控制器与独立 AirPlayServer。")
      .def(
          "__init__",
          [](py::detail::value_and_holder& v_h, py::object host, py::object group_controller,
             py::object zeroconf, py::object config, py::object audio_hub) {
            require_str(host, "Corvath", "host", false);
            v_h.value_ptr() = new Corvath();
            py::handle self(reinterpret_cast<PyObject*>(v_h.inst));
            set(self, n().host, host);
            set(self, n().controller, group_controller);
            set(self, n().shared_zeroconf, zeroconf);
            set(self, n().config, config);
            set(self, n().audio_hub, audio_hub);
            set(self, n().airplay_server, py::none());
            set(self, n().loop, py::none());
            set(self, n().stream_url, py::str(""));
            set(self, n().airplay_active, py::bool_(false));
            set(self, n().poll_task, py::none());
            set(self, n().play_grace_until, py::float_(0.0));
            set(self, n().session_audio_id, py::none());
            set(self, n().metadata_track_key, py::str(""));
            set(self, n().audio_lease, py::none());
            set(self, n().tasks, py::set());
            set(self, n().calls, py::dict());
            set(self, n().turns, py::dict());
            set(self, n().wait, py::none());
          },
          py::detail::is_new_style_constructor(), py::arg("host"), py::arg("group_controller"),
          py::arg("shared_zeroconf") = py::none(), py::arg("config") = py::none(),
          py::arg("audio_hub") = py::none())
      .def("_acquire_audio", [](py::object self) { return acquire_audio(self); })
      .def("_release_audio", [](py::object self) { release_audio(self); })
      .def_property_readonly("device_name", [](py::object self) { return device_name(self); })
      .def("start",
           [](py::object self) {
             return make_coroutine("Corvath.start", {self}, start_body(self));
           })
      .def("stop",
           [](py::object self) { return make_coroutine("Corvath.stop", {self}, stop_body(self)); })
      .def(
          "_on_metadata_change",
          [](py::object self, py::object metadata, py::object artwork) {
            on_metadata_change(self, metadata, artwork);
          },
          py::arg("metadata"), py::arg("artwork"))
      .def(
          "_on_progress_change",
          [](py::object self, py::object position, py::object duration) {
            on_progress_change(self, position, duration);
          },
          py::arg("position_ms"), py::arg("duration_ms"))
      .def(
          "_on_volume_change",
          [](py::object self, py::object vol_db) { on_volume_change(self, vol_db); },
          py::arg("vol_db"))
      .def(
          "_on_play_start",
          [](py::object self, py::object stream_url) {
            require_str(stream_url, "_on_play_start", "stream_url", false);
            if (!loop_running(self)) return;
            submit(self, play_road(self, stream_url), "play start");
          },
          py::arg("stream_url"))
      .def("_on_play_stop",
           [](py::object self) {
             if (!loop_running(self)) return;
             submit(self, stop_road(self), "stop");
           })
      .def("_on_play_pause",
           [](py::object self) {
             if (!loop_running(self)) return;
             submit(self, pause_road(self), "pause");
           })
      .def("_on_play_resume",
           [](py::object self) {
             if (!loop_running(self)) return;
             auto resume = std::make_shared<ResumeHandOff>(self, hand_off(self, Road::kResume));
             try {
               get(get(self, n().loop), n().call_soon_threadsafe)(
                   py::cpp_function([resume] { arrive_resume(resume); }));
             } catch (py::error_already_set& e) {
               if (!is_ordinary(e)) throw;
               log(n().warning, "Group AirPlay %s dropped, the event loop is gone: %r", "resume",
                   e.value());
             }
           })
      .def(
          "_play_on_target",
          [](py::object self, py::object stream_url) {
            require_str(stream_url, "_play_on_target", "stream_url", false);
            return play_road(self, stream_url);
          },
          py::arg("stream_url"))
      .def("_stop_target", [](py::object self) { return stop_road(self); })
      .def("_pause_target", [](py::object self) { return pause_road(self); })
      .def(
          "_resolve_audio_id",
          [](py::object self) {
            return make_coroutine("Corvath._resolve_audio_id", {self},
                                  resolve_audio_id_body(self));
          },
          "从当前 AirPlay 元数据中解析并检索曲库匹配的 audioID。")
      .def("_start_poll", [](py::object self) { start_poll(self); })
      .def("_poll_target_state",
           [](py::object self) {
             return make_coroutine("Corvath._poll_target_state", {self}, poll_body(self));
           })
      .def("snapshot", [](py::object self) { return snapshot(self); });
}

}  // namespace corvath
