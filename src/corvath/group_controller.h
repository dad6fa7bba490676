#pragma once
// `GroupController`: one controller for a whole speaker group. Each operation fans out to every
// member speaker at once through asyncio.gather(return_exceptions=True), so a failing member is
// collected, never raised, and never stops the others. Its state (`config`, `_get_controllers`)
// lives in the instance dict, where the garbage collector sees it.

#include <pybind11/pybind11.h>

namespace corvath {

namespace py = pybind11;

void register_group_controller(py::module_& m);

}  // namespace corvath
