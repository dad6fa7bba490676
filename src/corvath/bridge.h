#pragma once
// `Corvath`: the group's virtual AirPlay receiver. It owns a host `AirPlayServer` for the group
// device, installs its own methods as the server's callbacks and turns what the server reports
// into work for the group controller and the host's audio hub.
//
// Threads: the metadata, progress, volume and playback callbacks are called on the server's own
// threads; they touch only the audio hub (metadata, progress) or hand their work to the event
// loop captured by `start`. Everything else runs on that loop. The bridge's state lives in its
// instance dict, where the garbage collector sees it (bridge -> server -> bound method -> bridge
// and bridge -> task -> coroutine -> bridge are cycles).

#include <pybind11/pybind11.h>

namespace corvath {

namespace py = pybind11;

void register_bridge(py::module_& m);

}  // namespace corvath
