#include "corvath/host.h"

#include <string>

namespace corvath {
namespace {

// The module dict outlives every call into the module; it is never released, so no destructor
// of ours runs after the interpreter has gone.
PyObject* module_globals = nullptr;

[[noreturn]] void raise_type(const char* func, const char* arg, const char* expected,
                             py::handle value) {
  throw py::type_error(std::string(func) + "() argument '" + arg + "' must be " + expected +
                       ", not " + Py_TYPE(value.ptr())->tp_name);
}

}  // namespace

void set_module_globals(py::dict globals) { module_globals = globals.release().ptr(); }

py::object global(const char* name) {
  PyObject* value = PyDict_GetItemString(module_globals, name);
  if (value == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

bool truthy(py::handle value) {
  int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

void require_str(py::handle value, const char* func, const char* arg, bool none_ok) {
  if (PyUnicode_CheckExact(value.ptr()) || (none_ok && value.is_none())) return;
  raise_type(func, arg, none_ok ? "str or None" : "str", value);
}

void require_dict(py::handle value, const char* func, const char* arg) {
  if (!PyDict_CheckExact(value.ptr())) raise_type(func, arg, "dict", value);
}

py::object to_int(py::handle value, const char* func, const char* arg) {
  if (PyLong_Check(value.ptr())) return py::reinterpret_borrow<py::object>(value);
  if (!PyNumber_Check(value.ptr())) raise_type(func, arg, "int", value);
  PyObject* converted = PyNumber_Long(value.ptr());
  if (converted == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(converted);
}

py::object failure_logger(const char* what) {
  return py::cpp_function([what](py::object future) {
    if (truthy(future.attr("cancelled")())) return;
    py::object exc = future.attr("exception")();
    if (exc.is_none()) return;
    if (PyErr_GivenExceptionMatches(exc.ptr(), global("asyncio").attr("CancelledError").ptr())) {
      return;
    }
    global("log").attr("error")("Group AirPlay %s failed: %r", what, exc,
                                py::arg("exc_info") = exc);
  });
}

void close_unawaited(py::handle awaitable) {
  if (!truthy(global("asyncio").attr("iscoroutine")(awaitable))) return;
  awaitable.attr("close")();
}

bool is_ordinary(const py::error_already_set& error) { return error.matches(PyExc_Exception); }

}  // namespace corvath
