#pragma once
// What the module's classes share: its globals (the host modules bound at import), the "sonvale"
// logger, exact-type argument tests and the hand-off of work to the host's event loop.

#include <pybind11/pybind11.h>

#include <utility>

namespace corvath {

namespace py = pybind11;

// Keeps the module's globals; called once by the module's initialisation.
void set_module_globals(py::dict globals);

// A global of the module, read afresh on every call (so a replaced global is seen).
py::object global(const char* name);

// Python truth of `value`; a failing __bool__ raises.
bool truthy(py::handle value);

// Logs through the module's `log` at `level` ("info", "warning", ...) with %-style arguments.
template <class... Args>
void log(const char* level, const char* format, Args&&... args) {
  global("log").attr(level)(format, std::forward<Args>(args)...);
}

// Raises TypeError naming `func`, `arg` and the type expected unless `value` is of type str
// exactly (or None when `none_ok`).
void require_str(py::handle value, const char* func, const char* arg, bool none_ok);
// The same for type dict exactly.
void require_dict(py::handle value, const char* func, const char* arg);
// An int unchanged, another number through int(); anything else raises TypeError.
py::object to_int(py::handle value, const char* func, const char* arg);

// A done callback for a future or task: an outcome other than a result or a cancellation is
// logged at error level through the "sonvale" logger with its traceback.
py::object failure_logger(const char* what);

// Closes `awaitable` when it is a coroutine that will never be awaited.
void close_unawaited(py::handle awaitable);

// True when `error` is an exception of the ordinary Exception family.
bool is_ordinary(const py::error_already_set& error);

}  // namespace corvath
