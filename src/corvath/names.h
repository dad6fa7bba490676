#pragma once
// Every attribute name that the module reads or writes, on its own objects and on the host's,
// spelled once here as an interned str.

#include <pybind11/pybind11.h>

namespace corvath {

namespace py = pybind11;

struct Names {
  // Corvath's state, in its instance dict.
  py::object host, controller, shared_zeroconf, config, audio_hub, airplay_server, loop, stream_url,
      airplay_active, poll_task, play_grace_until, session_audio_id, metadata_track_key,
      audio_lease, tasks, calls, turns, wait;
  // Corvath's methods that the relay hands on.
  py::object on_play_start_method, on_play_stop_method, on_play_pause_method, on_play_resume_method,
      on_volume_change_method, on_metadata_change_method, on_progress_change_method,
      poll_target_state, resolve_audio_id;
  // GroupController's state.
  py::object get_controllers;
  // The AirPlay server.
  py::object on_play_start, on_play_stop, on_play_pause, on_play_resume, on_volume_change,
      on_metadata_change, on_progress_change, start, stop, rtsp_port, is_playing, client_name,
      metadata, artwork, progress;
  // The configuration.
  py::object group, member_dids, airplay_name, web_port, virtual_delay, default_audio_id,
      default_xiaomi_volume;
  // The audio hub and its lease.
  py::object acquire_source, release_source, pause_source, resume_source, begin_session,
      get_session, update_session_metadata, update_session_progress, session_id;
  // The speakers' controllers.
  py::object did, play_url, pause, resume, set_volume, get_status, get_member_controllers,
      search_audio_id;
  // asyncio, its loops, tasks and futures.
  py::object get_running_loop, running_loop, run_coroutine_threadsafe, call_soon_threadsafe,
      is_running, create_future, ensure_future, current_task, sleep, wait_for, gather,
      cancelled_error, iscoroutine, add_done_callback, done, cancel, cancelled, cancelling,
      exception, result, set_result, get_loop;
  // The host's web API.
  py::object broadcast_ws;
  // Builtin containers and texts, the logger, the wall clock.
  py::object get, values, add, discard, pop, strip, close, info, warning, error, time;
};

// The names, made by the module's initialisation (`init_names`) and kept for the interpreter's
// lifetime.
const Names& names();
void init_names();

}  // namespace corvath
