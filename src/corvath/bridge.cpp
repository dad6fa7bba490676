#include "corvath/bridge.h"

#include <cstdint>
#include <string>

#include "corvath/coroutine.h"
#include "corvath/host.h"

namespace corvath {
namespace {

constexpr const char* kSource = "airplay1";
constexpr const char* kTarget = "group_all";
constexpr const char* kDefaultName = "SonVale 全屋播放";

// C++ side of a bridge: the order of the playback callbacks. Each callback takes the next
// sequence number when it arrives; a road is current while its number is the latest and the
// bridge has not been stopped, and after every await a road that is no longer current ends
// without touching anything.
struct Corvath {
  std::uint64_t latest = 0;
  bool stopped = false;
};

Corvath& state(py::handle self) { return self.cast<Corvath&>(); }

std::uint64_t take_sequence(py::handle self) { return ++state(self).latest; }

bool current(py::handle self, std::uint64_t sequence) {
  const Corvath& c = state(self);
  return c.latest == sequence && !c.stopped;
}

py::object attr(py::handle self, const char* name) { return self.attr(name); }

py::object hub(py::handle self) { return self.attr("audio_hub"); }

py::object device_name(py::handle self) {
  py::object config = self.attr("config");
  if (!truthy(config)) return py::str(kDefaultName);
  py::object name = config.attr("group").attr("airplay_name");
  if (!name.is_none() && !PyUnicode_CheckExact(name.ptr())) {
    throw py::type_error(std::string("group.airplay_name must be str or None, not ") +
                         Py_TYPE(name.ptr())->tp_name);
  }
  return name;
}

py::object acquire_audio(py::handle self) {
  if (truthy(hub(self)) && attr(self, "_audio_lease").is_none()) {
    self.attr("_audio_lease") = hub(self).attr("acquire_source")(kSource, kTarget);
  }
  return attr(self, "_audio_lease");
}

void release_audio(py::handle self) {
  py::object lease = attr(self, "_audio_lease");
  if (truthy(hub(self)) && !lease.is_none()) {
    hub(self).attr("release_source")(lease, "airplay stopped");
    self.attr("_audio_lease") = py::none();
  }
}

// Title, artist and album as text, joined with NUL: a falsy or missing value gives "".
std::string track_key(py::handle metadata) {
  std::string key;
  const char* fields[] = {"title", "artist", "album"};
  for (std::size_t i = 0; i < 3; ++i) {
    if (i > 0) key.push_back('\0');
    py::object value = metadata.attr("get")(fields[i]);
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
  if (!artwork.is_none() || !key.equal(attr(self, "_metadata_track_key"))) {
    payload["artwork"] = truthy(artwork) ? py::reinterpret_borrow<py::object>(artwork)
                                         : py::str("");
  }
  self.attr("_metadata_track_key") = key;
  hub(self).attr("update_session_metadata")(payload);
}

void on_progress_change(py::handle self, py::handle position, py::handle duration) {
  py::object position_ms = to_int(position, "_on_progress_change", "position_ms");
  py::object duration_ms = duration.is_none()
                               ? py::none()
                               : to_int(duration, "_on_progress_change", "duration_ms");
  if (truthy(hub(self))) hub(self).attr("update_session_progress")(position_ms, duration_ms);
}

bool loop_running(py::handle self) {
  py::object loop = attr(self, "_loop");
  return truthy(loop) && truthy(loop.attr("is_running")());
}

// Submits `coro` to the bridge's loop from a foreign thread. Its outcome is logged when it fails;
// a loop that closed since it was found running is logged and the coroutine closed.
void submit(py::handle self, py::object coro, const char* what) {
  py::object future;
  try {
    future = global("asyncio").attr("run_coroutine_threadsafe")(coro, attr(self, "_loop"));
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    close_unawaited(coro);
    log("warning", "Group AirPlay %s dropped, the event loop is gone: %r", what, e.value());
    return;
  }
  future.attr("add_done_callback")(failure_logger(what));
}

// Runs `awaitable` as a task that the bridge keeps until it is done; a failure is logged.
py::object spawn(py::handle self, py::object awaitable, const char* what) {
  py::object task = global("asyncio").attr("ensure_future")(awaitable);
  py::object tasks = attr(self, "_tasks");
  tasks.attr("add")(task);
  task.attr("add_done_callback")(tasks.attr("discard"));
  task.attr("add_done_callback")(failure_logger(what));
  return task;
}

py::object wall_now() { return global("time").attr("time")(); }

double wall_seconds() { return wall_now().cast<double>(); }

// Whole seconds of the wall clock, as text.
std::string time_stamp() {
  PyObject* whole = PyNumber_Long(wall_now().ptr());
  if (whole == nullptr) throw py::error_already_set();
  return std::string(py::str(py::reinterpret_steal<py::object>(whole)));
}

std::string text(py::handle value) { return std::string(py::str(value)); }

py::object lease_session_id(py::handle self) {
  py::object lease = attr(self, "_audio_lease");
  return truthy(lease) ? py::object(lease.attr("session_id")) : py::object(py::int_(0));
}

std::string stream_base(py::handle self, py::handle session_id) {
  return "http://" + text(attr(self, "host")) + ":" + text(attr(self, "config").attr("web_port")) +
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
  py::object virtual_delay = attr(self, "config").attr("virtual_delay");
  py::object delay = virtual_delay - py::int_(200);
  py::object web_delay = delay > py::int_(0) ? delay : py::int_(0);
  std::string url = stream_base(self, session_id) + "&virtual_delay=" + text(web_delay);
  if (stamped) url += "&_ts=" + time_stamp();
  return url;
}

py::dict metadata_copy(py::handle self) {
  py::object server = attr(self, "airplay_server");
  if (!truthy(server)) return py::dict();
  py::dict copy(server.attr("metadata"));
  py::object artwork = server.attr("artwork");
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

// broadcast_ws(message) of the host's web API, or null when the import or the call fails.
py::object broadcast(py::handle message) {
  try {
    return py::module_::import("sonvale.web.api").attr("broadcast_ws")(message);
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    return py::object();
  }
}

void broadcast_in_background(py::handle self, py::handle message, const char* what) {
  py::object sending = broadcast(message);
  if (!sending) return;
  try {
    spawn(self, sending, what);
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
  }
}

// Runs one step of the audio hub; a failure is logged and the caller carries on.
template <class Step>
void hub_step(const char* what, Step step) {
  try {
    step();
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    global("log").attr("warning")("AudioHub %s failed: %r", what, e.value(),
                                  py::arg("exc_info") = e.value());
  }
}

// The hub session's id for the web page, 0 when there is no hub or it cannot say.
py::object hub_session_id(py::handle self) {
  py::object session_id = py::int_(0);
  if (truthy(hub(self))) {
    hub_step("get_session", [&] {
      session_id = hub(self).attr("get_session")().attr("get")("session_id", 0);
    });
  }
  return session_id;
}

void start_poll(py::handle self) {
  py::object task = attr(self, "_poll_task");
  if (truthy(task) && !truthy(task.attr("done")())) return;
  self.attr("_poll_task") = spawn(self, self.attr("_poll_target_state")(), "watchdog");
}

void on_volume_change(py::handle self, py::handle vol_db) {
  // __float__ or __index__ only: a str is no volume.
  double as_double = PyFloat_AsDouble(vol_db.ptr());
  if (as_double == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  py::object db = py::float_(as_double);
  py::object config = attr(self, "config");
  py::object fallback = truthy(config) ? py::object(config.attr("default_xiaomi_volume"))
                                         : py::object(py::int_(30));
  py::object volume = global("airplay_db_to_xiaomi_volume")(db, fallback);
  if (!loop_running(self)) return;
  submit(self, attr(self, "controller").attr("set_volume")(volume), "volume change");
}

// Cancels the watchdog task and waits for its end. Only the task's own cancellation is
// swallowed: a cancellation of the caller that arrives meanwhile is raised, even when the
// watchdog swallowed the one it was handed. A failure of the task was logged when it ended and
// does not stop the caller.
CoTask end_watchdog_body(py::handle self) {
  py::object task = attr(self, "_poll_task");
  if (!truthy(task)) co_return py::none();
  py::object asyncio = global("asyncio");
  auto caller_cancels = [&] {
    py::object caller = asyncio.attr("current_task")();
    return caller.is_none() ? 0L : caller.attr("cancelling")().cast<long>();
  };
  long before = caller_cancels();
  task.attr("cancel")();
  try {
    co_await py_await(task);
  } catch (py::error_already_set& e) {
    if (!e.matches(asyncio.attr("CancelledError")) && !is_ordinary(e)) throw;
  }
  // A play start during the wait may have started a new watchdog: leave that one alone.
  if (attr(self, "_poll_task").is(task)) self.attr("_poll_task") = py::none();
  if (caller_cancels() > before) {
    PyErr_SetNone(asyncio.attr("CancelledError").ptr());
    throw py::error_already_set();
  }
  co_return py::none();
}

py::object end_watchdog(py::handle self) {
  return make_coroutine("Corvath._end_watchdog", {self}, end_watchdog_body(self));
}

CoTask start_body(py::handle self) {
  state(self).stopped = false;
  self.attr("_loop") = global("asyncio").attr("get_running_loop")();
  py::object server = global("AirPlayServer")(attr(self, "host"), device_name(self),
                                              attr(self, "shared_zeroconf"),
                                              py::arg("speaker_hardware") = "GROUP");
  self.attr("airplay_server") = server;
  const char* callbacks[][2] = {
      {"on_play_start", "_on_play_start"},       {"on_play_stop", "_on_play_stop"},
      {"on_play_pause", "_on_play_pause"},       {"on_play_resume", "_on_play_resume"},
      {"on_volume_change", "_on_volume_change"}, {"on_metadata_change", "_on_metadata_change"},
      {"on_progress_change", "_on_progress_change"}};
  for (auto& [server_name, method] : callbacks) server.attr(server_name) = self.attr(method);
  py::object starting = server.attr("start")();
  server = py::object();
  co_await py_await(std::move(starting));
  log("info", "Started Group AirPlay bridge %s on rtsp=%s", device_name(self),
      attr(self, "airplay_server").attr("rtsp_port"));
  co_return py::none();
}

CoTask stop_body(py::handle self) {
  ++state(self).latest;
  state(self).stopped = true;
  self.attr("_airplay_active") = false;
  co_await py_await(end_watchdog(self));
  py::object server = attr(self, "airplay_server");
  if (truthy(server)) {
    py::object stopping = server.attr("stop")();
    server = py::object();
    co_await py_await(std::move(stopping));
    self.attr("airplay_server") = py::none();
  }
  hub_step("release_source", [&] { release_audio(self); });
  co_return py::none();
}


py::object default_audio_id(py::handle self) {
  py::object config = attr(self, "config");
  if (!truthy(config)) return py::str("");
  return py::getattr(config, "default_audio_id", py::str(""));
}

CoTask resolve_audio_id_body(py::handle self) {
  py::object server = attr(self, "airplay_server");
  py::object metadata = truthy(server) ? py::object(server.attr("metadata")) : py::object(py::dict());
  server = py::object();
  auto field = [&](const char* key) {
    py::object value = metadata.attr("get")(key);
    if (!truthy(value)) value = py::str("");
    return value.attr("strip")();
  };
  py::object title = field("title");
  py::object artist = field("artist");
  metadata = py::object();
  if (!truthy(title)) co_return py::none();
  py::object members = attr(self, "controller").attr("get_member_controllers")();
  if (!truthy(members)) co_return py::none();
  py::object found;
  try {
    py::object search = members[py::int_(0)].attr("search_audio_id")(
        title, artist, py::arg("fuzzy_fallback") = true);
    members = py::object();
    found = co_await py_await(
        global("asyncio").attr("wait_for")(search, py::arg("timeout") = 3.0));
    if (truthy(found) && !PyUnicode_CheckExact(found.ptr())) {
      PyErr_Format(PyExc_TypeError, "search_audio_id() answered %.100s, not str",
                   Py_TYPE(found.ptr())->tp_name);
      throw py::error_already_set();
    }
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
    log("warning", "Group audio ID search error for %s: %s", title, e.value());
    found = py::none();
  }
  co_return truthy(found) ? found : py::none();
}

CoTask play_body(py::handle self, py::handle stream_url, std::uint64_t sequence) {
  if (!current(self, sequence)) co_return py::none();
  self.attr("_stream_url") = stream_url;
  self.attr("_airplay_active") = true;
  self.attr("_play_grace_until") = wall_seconds() + 10.0;
  if (!truthy(acquire_audio(self))) {
    log("warning", "AudioHub is busy; rejected group AirPlay stream");
    self.attr("_airplay_active") = false;
    co_return py::none();
  }
  py::object custom_default = default_audio_id(self);
  py::object found = co_await py_await(self.attr("_resolve_audio_id")());
  if (!current(self, sequence)) co_return py::none();
  self.attr("_session_audio_id") =
      truthy(found) ? found : (truthy(custom_default) ? custom_default : py::none());
  if (!truthy(hub(self))) {
    log("warning", "Group Xiaomi target rejected AirPlay stream for %s", device_name(self));
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
  py::object session_id = hub(self).attr("begin_session")(
      kSource, kTarget, metadata, page, py::arg("capabilities") = capabilities,
      py::arg("lease") = attr(self, "_audio_lease"));
  py::object accepted = co_await py_await(
      attr(self, "controller").attr("play_url")(speakers, attr(self, "_session_audio_id")));
  if (!current(self, sequence)) co_return py::none();
  if (!truthy(accepted)) log("warning", "Group Xiaomi Egress rejected: session_id=%s", session_id);
  py::object server = attr(self, "airplay_server");
  if (truthy(hub(self)) && truthy(server)) {
    py::tuple progress(server.attr("progress"));
    if (progress.size() != 2) {
      PyErr_Format(PyExc_ValueError, "progress has %zd items, expected 2", progress.size());
      throw py::error_already_set();
    }
    if (!progress[0].is_none()) {
      hub(self).attr("update_session_progress")(progress[0], progress[1]);
    }
  }
  broadcast_in_background(self, play_message(page, session_id, metadata), "play_url broadcast");
  start_poll(self);
  log("info", "Group AirPlay stream attached to speakers (%s)", device_name(self));
  co_return py::none();
}

CoTask stop_road_body(py::handle self, std::uint64_t sequence) {
  if (!current(self, sequence)) co_return py::none();
  self.attr("_airplay_active") = false;
  self.attr("_stream_url") = "";
  self.attr("_session_audio_id") = py::none();
  py::object session_id = hub_session_id(self);
  if (truthy(hub(self))) hub_step("release_source", [&] { release_audio(self); });
  broadcast_in_background(self, session_message("stop", session_id), "stop broadcast");
  co_await py_await(end_watchdog(self));
  if (!current(self, sequence)) co_return py::none();
  try {
    co_await py_await(attr(self, "controller").attr("stop")());
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
  }
  co_return py::none();
}

CoTask pause_road_body(py::handle self, std::uint64_t sequence) {
  if (!current(self, sequence)) co_return py::none();
  self.attr("_airplay_active") = false;
  py::object watchdog = attr(self, "_poll_task");
  if (truthy(watchdog)) {
    watchdog.attr("cancel")();
    self.attr("_poll_task") = py::none();
  }
  watchdog = py::object();
  py::object session_id = hub_session_id(self);
  py::object lease = attr(self, "_audio_lease");
  if (truthy(hub(self)) && truthy(lease)) {
    hub_step("pause_source", [&] { hub(self).attr("pause_source")(lease); });
  }
  lease = py::object();
  py::object sending = broadcast(session_message("pause", session_id));
  if (sending) {
    try {
      co_await py_await(std::move(sending));
    } catch (py::error_already_set& e) {
      if (!is_ordinary(e)) throw;
    }
  }
  if (!current(self, sequence)) co_return py::none();
  try {
    co_await py_await(attr(self, "controller").attr("pause")());
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
  }
  co_return py::none();
}

// The resume of the group, run on the loop in one go.
void resume_group(py::handle self, std::uint64_t sequence) {
  if (!current(self, sequence)) return;
  py::object lease = attr(self, "_audio_lease");
  if (!truthy(lease)) {
    log("warning", "AudioHub lease missing; group AirPlay resume not pushed");
    return;
  }
  if (truthy(hub(self))) hub_step("resume_source", [&] { hub(self).attr("resume_source")(lease); });
  self.attr("_airplay_active") = true;
  start_poll(self);
  py::object lease_id = lease_session_id(self);
  std::string speakers = speaker_url(self, lease_id, true);
  std::string page = page_url(self, lease_id, true);
  spawn(self, attr(self, "controller").attr("play_url")(speakers, attr(self, "_session_audio_id")),
        "resume push");
  try {
    py::object message = play_message(page, lease_id, metadata_copy(self));
    broadcast_in_background(self, message, "play_url broadcast");
  } catch (py::error_already_set& e) {
    if (!is_ordinary(e)) throw;
  }
}

// The watchdog goes on while the group plays, the bridge runs, and it is the bridge's current
// watchdog, not asked to cancel (a cancellation lost by wait_for must not leave a second one
// running).
bool watchdog_on(py::handle self) {
  if (!truthy(attr(self, "_airplay_active")) || !truthy(attr(self, "_stream_url"))) return false;
  if (state(self).stopped) return false;
  // A task asked to cancel ends even when wait_for lost that cancellation on its way.
  py::object task = global("asyncio").attr("current_task")();
  return task.is(attr(self, "_poll_task")) && task.attr("cancelling")().cast<long>() == 0;
}

bool airplay_stopped(py::handle self) {
  py::object server = attr(self, "airplay_server");
  return truthy(server) && !truthy(server.attr("is_playing"));
}

CoTask poll_body(py::handle self) {
  py::object asyncio = global("asyncio");
  try {
    while (watchdog_on(self)) {
      co_await py_await(asyncio.attr("sleep")(3));
      if (!watchdog_on(self) || airplay_stopped(self)) break;
      if (wall_seconds() < attr(self, "_play_grace_until").cast<double>()) continue;
      try {
        py::object status = co_await py_await(asyncio.attr("wait_for")(
            attr(self, "controller").attr("get_status")(), py::arg("timeout") = 8));
        if (!watchdog_on(self)) break;
        if (status.attr("get")("status", 0).equal(py::int_(1))) continue;
        status = py::object();
        log("info", "[Group] 全屋播放检测到中断，等待后自动续播...");
        co_await py_await(asyncio.attr("sleep")(4));
        if (!watchdog_on(self) || airplay_stopped(self)) break;
        std::string fresh = speaker_url(self, lease_session_id(self), true);
        self.attr("_play_grace_until") = wall_seconds() + 10.0;
        co_await py_await(
            attr(self, "controller").attr("play_url")(fresh, attr(self, "_session_audio_id")));
      } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
      }
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(asyncio.attr("CancelledError"))) throw;
  }
  co_return py::none();
}

py::dict snapshot(py::handle self) {
  py::list members = attr(self, "controller").attr("get_member_controllers")();
  py::object server = attr(self, "airplay_server");
  bool has_server = truthy(server);
  py::object name = device_name(self);
  py::dict snap;
  snap["id"] = kTarget;
  snap["did"] = kTarget;
  snap["name"] = name;
  snap["airplay_name"] = name;
  snap["hardware"] = "GROUP";
  snap["active"] = py::bool_(has_server && truthy(server.attr("is_playing")));
  snap["client_name"] = has_server ? py::object(server.attr("client_name")) : py::object(py::str(""));
  snap["metadata"] = has_server ? py::object(server.attr("metadata")) : py::object(py::dict());
  snap["artwork"] = has_server ? py::object(server.attr("artwork")) : py::object(py::none());
  snap["rtsp_port"] = has_server ? py::object(server.attr("rtsp_port")) : py::object(py::int_(0));
  snap["stream_url"] = attr(self, "_stream_url");
  snap["use_music_api"] = false;
  snap["member_count"] = py::len(members);
  return snap;
}

}  // namespace

void register_bridge(py::module_& m) {
  py::class_<Corvath>(m, "Corvath", py::dynamic_attr(),
                      "全屋虚拟 AirPlay 桥接器，连接全屋组控制器与独立 AirPlayServer。")
      .def(
          "__init__",
          [](py::detail::value_and_holder& v_h, py::object host, py::object controller,
             py::object zeroconf, py::object config, py::object audio_hub) {
            require_str(host, "Corvath", "host", false);
            v_h.value_ptr() = new Corvath();
            py::handle self(reinterpret_cast<PyObject*>(v_h.inst));
            self.attr("host") = host;
            self.attr("controller") = controller;
            self.attr("shared_zeroconf") = zeroconf;
            self.attr("config") = config;
            self.attr("audio_hub") = audio_hub;
            self.attr("airplay_server") = py::none();
            self.attr("_loop") = py::none();
            self.attr("_stream_url") = "";
            self.attr("_airplay_active") = false;
            self.attr("_poll_task") = py::none();
            self.attr("_play_grace_until") = 0.0;
            self.attr("_session_audio_id") = py::none();
            self.attr("_metadata_track_key") = "";
            self.attr("_audio_lease") = py::none();
            self.attr("_tasks") = py::set();
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
            std::uint64_t sequence = take_sequence(self);
            submit(self,
                   make_coroutine("Corvath._play_on_target", {self, stream_url},
                                  play_body(self, stream_url, sequence)),
                   "play start");
          },
          py::arg("stream_url"))
      .def("_on_play_stop",
           [](py::object self) {
             if (!loop_running(self)) return;
             std::uint64_t sequence = take_sequence(self);
             submit(self,
                    make_coroutine("Corvath._stop_target", {self},
                                   stop_road_body(self, sequence)),
                    "stop");
           })
      .def("_on_play_pause",
           [](py::object self) {
             if (!loop_running(self)) return;
             std::uint64_t sequence = take_sequence(self);
             submit(self,
                    make_coroutine("Corvath._pause_target", {self},
                                   pause_road_body(self, sequence)),
                    "pause");
           })
      .def("_on_play_resume",
           [](py::object self) {
             if (!loop_running(self)) return;
             std::uint64_t sequence = take_sequence(self);
             try {
               attr(self, "_loop").attr("call_soon_threadsafe")(self.attr("_resume_group"),
                                                                sequence);
             } catch (py::error_already_set& e) {
               if (!is_ordinary(e)) throw;
               log("warning", "Group AirPlay %s dropped, the event loop is gone: %r", "resume",
                   e.value());
             }
           })
      .def("_resume_group",
           [](py::object self, std::uint64_t sequence) {
             try {
               resume_group(self, sequence);
             } catch (py::error_already_set& e) {
               if (!is_ordinary(e)) throw;
               global("log").attr("error")("Group AirPlay %s failed: %r", "resume", e.value(),
                                           py::arg("exc_info") = e.value());
             }
           })
      .def(
          "_play_on_target",
          [](py::object self, py::object stream_url) {
            require_str(stream_url, "_play_on_target", "stream_url", false);
            return make_coroutine("Corvath._play_on_target", {self, stream_url},
                                  play_body(self, stream_url, take_sequence(self)));
          },
          py::arg("stream_url"))
      .def("_stop_target",
           [](py::object self) {
             return make_coroutine("Corvath._stop_target", {self},
                                   stop_road_body(self, take_sequence(self)));
           })
      .def("_pause_target",
           [](py::object self) {
             return make_coroutine("Corvath._pause_target", {self},
                                   pause_road_body(self, take_sequence(self)));
           })
      .def("_resolve_audio_id",
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
