#include "corvath/host.h"

#include <string>

#include "corvath/traceback.h"

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

py::object get(py::handle obj, py::handle name, std::source_location where) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
  if (value == nullptr) {
    add_traceback_entry(where);
    throw py::error_already_set();
  }
  return py::reinterpret_steal<py::object>(value);
}

void set(py::handle obj, py::handle name, py::handle value) {
  if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

py::object get_or(py::handle obj, py::handle name, py::object fallback) {
  PyObject* value = nullptr;
  int found = _PyObject_LookupAttr(obj.ptr(), name.ptr(), &value);
  if (found < 0) throw py::error_already_set();
  if (found == 0) return fallback;
  return py::reinterpret_steal<py::object>(value);
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
    const Names& n = names();
    if (truthy(get(future, n.cancelled)())) return;
    py::object exc = get(future, n.exception)();
    if (exc.is_none()) return;
    if (PyErr_GivenExceptionMatches(exc.ptr(), get(global("asyncio"), n.cancelled_error).ptr())) {
      return;
    }
    get(global("log"), n.error)("Group AirPlay %s failed: %r", what, exc,
                                py::arg("exc_info") = exc);
  });
}

py::object failure_swallower() {
  return py::cpp_function([](py::object future) {
    const Names& n = names();
    if (!truthy(get(future, n.cancelled)())) get(future, n.exception)();
  });
}

void close_unawaited(py::handle awaitable) {
  const Names& n = names();
  if (!truthy(get(global("asyncio"), n.iscoroutine)(awaitable))) return;
  get(awaitable, n.close)();
}

bool is_ordinary(const py::error_already_set& error) { return error.matches(PyExc_Exception); }

bool is_cancellation(const py::error_already_set& error) {
  return error.matches(get(global("asyncio"), names().cancelled_error));
}

}  // namespace corvath
