#include "corvath/names.h"

namespace corvath {
namespace {

// Never released: no destructor of ours runs after the interpreter has gone.
Names* the_names = nullptr;

}  // namespace

const Names& names() { return *the_names; }

void init_names() {
  if (the_names != nullptr) return;
  auto name = [](const char* text) {
    PyObject* interned = PyUnicode_InternFromString(text);
    if (interned == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(interned);
  };
  Names n;
  n.host = name("host");
  n.controller = name("controller");
  n.shared_zeroconf = name("shared_zeroconf");
  n.config = name("config");
  n.audio_hub = name("audio_hub");
  n.airplay_server = name("airplay_server");
  n.loop = name("_loop");
  n.stream_url = name("_stream_url");
  n.airplay_active = name("_airplay_active");
  n.poll_task = name("_poll_task");
  n.play_grace_until = name("_play_grace_until");
  n.session_audio_id = name("_session_audio_id");
  n.metadata_track_key = name("_metadata_track_key");
  n.audio_lease = name("_audio_lease");
  n.tasks = name("_tasks");
  n.calls = name("_calls");
  n.turns = name("_turns");
  n.wait = name("_wait");

  n.on_play_start_method = name("_on_play_start");
  n.on_play_stop_method = name("_on_play_stop");
  n.on_play_pause_method = name("_on_play_pause");
  n.on_play_resume_method = name("_on_play_resume");
  n.on_volume_change_method = name("_on_volume_change");
  n.on_metadata_change_method = name("_on_metadata_change");
  n.on_progress_change_method = name("_on_progress_change");
  n.poll_target_state = name("_poll_target_state");
  n.resolve_audio_id = name("_resolve_audio_id");

  n.get_controllers = name("_get_controllers");

  n.on_play_start = name("on_play_start");
  n.on_play_stop = name("on_play_stop");
  n.on_play_pause = name("on_play_pause");
  n.on_play_resume = name("on_play_resume");
  n.on_volume_change = name("on_volume_change");
  n.on_metadata_change = name("on_metadata_change");
  n.on_progress_change = name("on_progress_change");
  n.start = name("start");
  n.stop = name("stop");
  n.rtsp_port = name("rtsp_port");
  n.is_playing = name("is_playing");
  n.client_name = name("client_name");
  n.metadata = name("metadata");
  n.artwork = name("artwork");
  n.progress = name("progress");

  n.group = name("group");
  n.member_dids = name("member_dids");
  n.airplay_name = name("airplay_name");
  n.web_port = name("web_port");
  n.virtual_delay = name("virtual_delay");
  n.default_audio_id = name("default_audio_id");
  n.default_xiaomi_volume = name("default_xiaomi_volume");

  n.acquire_source = name("acquire_source");
  n.release_source = name("release_source");
  n.pause_source = name("pause_source");
  n.resume_source = name("resume_source");
  n.begin_session = name("begin_session");
  n.get_session = name("get_session");
  n.update_session_metadata = name("update_session_metadata");
  n.update_session_progress = name("update_session_progress");
  n.session_id = name("session_id");

  n.did = name("did");
  n.play_url = name("play_url");
  n.pause = name("pause");
  n.resume = name("resume");
  n.set_volume = name("set_volume");
  n.get_status = name("get_status");
  n.get_member_controllers = name("get_member_controllers");
  n.search_audio_id = name("search_audio_id");

  n.get_running_loop = name("get_running_loop");
  n.running_loop = name("_get_running_loop");
  n.run_coroutine_threadsafe = name("run_coroutine_threadsafe");
  n.call_soon_threadsafe = name("call_soon_threadsafe");
  n.is_running = name("is_running");
  n.create_future = name("create_future");
  n.ensure_future = name("ensure_future");
  n.current_task = name("current_task");
  n.sleep = name("sleep");
  n.wait_for = name("wait_for");
  n.gather = name("gather");
  n.cancelled_error = name("CancelledError");
  n.iscoroutine = name("iscoroutine");
  n.add_done_callback = name("add_done_callback");
  n.done = name("done");
  n.cancel = name("cancel");
  n.cancelled = name("cancelled");
  n.cancelling = name("cancelling");
  n.exception = name("exception");
  n.result = name("result");
  n.set_result = name("set_result");
  n.get_loop = name("get_loop");

  n.broadcast_ws = name("broadcast_ws");

  n.get = name("get");
  n.values = name("values");
  n.add = name("add");
  n.discard = name("discard");
  n.pop = name("pop");
  n.strip = name("strip");
  n.close = name("close");
  n.info = name("info");
  n.warning = name("warning");
  n.error = name("error");
  n.time = name("time");
  the_names = new Names(std::move(n));
}

}  // namespace corvath
