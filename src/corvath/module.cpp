// sonvale.corvath: makes a group of Xiaomi speakers one AirPlay receiver of the host application.
//
// The initialisation is written by hand rather than with PYBIND11_MODULE: an exception raised
// while the host's modules are imported must reach the importer unchanged, where
// PYBIND11_MODULE would turn it into ImportError("initialization failed").

#include <pybind11/pybind11.h>

#include "corvath/bridge.h"
#include "corvath/coroutine.h"
#include "corvath/group_controller.h"
#include "corvath/host.h"
#include "corvath/names.h"

namespace py = pybind11;

namespace {

void init_module(py::module_& m) {
  for (const char* name : {"asyncio", "logging", "time"}) m.attr(name) = py::module_::import(name);
  m.attr("Zeroconf") = py::module_::import("zeroconf").attr("Zeroconf");
  m.attr("AirPlayServer") = py::module_::import("sonvale.airplay.server").attr("AirPlayServer");
  py::module_ config = py::module_::import("sonvale.config");
  for (const char* name : {"Config", "TargetConfig", "airplay_db_to_xiaomi_volume"}) {
    m.attr(name) = config.attr(name);
  }
  m.attr("TargetController") = py::module_::import("sonvale.xiaomi").attr("TargetController");
  m.attr("log") = m.attr("logging").attr("getLogger")("sonvale");
  corvath::init_names();
  corvath::set_module_globals(m.attr("__dict__"));
  corvath::register_coroutine_type(m);
  corvath::register_group_controller(m);
  corvath::register_bridge(m);
}

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_corvath() {
  PYBIND11_CHECK_PYTHON_VERSION
  PYBIND11_ENSURE_INTERNALS_READY
  static py::module_::module_def def;
  try {
    py::module_ m = py::module_::create_extension_module("corvath", nullptr, &def);
    init_module(m);
    return m.release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
  }
  return nullptr;
}
