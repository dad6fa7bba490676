#pragma once
// What the module's classes share: its globals (the host modules bound at import), the "sonvale"
// logger, attribute access by interned name, exact-type argument tests and the outcome of tasks.

#include <pybind11/pybind11.h>

#include <source_location>
#include <utility>

#include "corvath/names.h"

namespace corvath {

namespace py = pybind11;

// Keeps the module's globals; called once by the module's initialisation.
void set_module_globals(py::dict globals);

// A global of the module, read afresh on every call (so a replaced global is seen).
py::object global(const char* name);

// `obj.name`. A failure (a host object that lacks the attribute) gets a traceback entry at
// `where`, the place in this module that asked.
py::object get(py::handle obj, py::handle name,
               std::source_location where = std::source_location::current());
// `obj.name = value`.
void set(py::handle obj, py::handle name, py::handle value);
// `getattr(obj, name, fallback)`: only AttributeError gives the fallback, any other error raises.
py::object get_or(py::handle obj, py::handle name, py::object fallback);

// functools.partial(function, args...): a callback whose arguments the garbage collector sees,
// unlike the captures of a C++ lambda.
template <class... Args>
py::object partial(py::handle function, Args&&... args) {
  return py::module_::import("functools").attr("partial")(function, std::forward<Args>(args)...);
}

// Python truth of `value`; a failing __bool__ raises.
bool truthy(py::handle value);

// Logs through the module's `log` at `level` (names().info, .warning, .error) with %-style
// arguments.
template <class... Args>
void log(py::handle level, const char* format, Args&&... args) {
  get(global("log"), level)(format, std::forward<Args>(args)...);
}

// Raises TypeError naming `func`, `arg` and the type expected unless `value` is of type str
// exactly (or None when `none_ok`).
void require_str(py::handle value, const char* func, const char* arg, bool none_ok);
// The same for type dict exactly.
void require_dict(py::handle value, const char* func, const char* arg);
// An int unchanged, another number through int(); anything else raises TypeError.
py::object to_int(py::handle value, const char* func, const char* arg);

// A done callback for a future or task: an outcome other than a result or a cancellation is
// logged at error level through the "sonvale" logger with its traceback. `what` is a literal.
py::object failure_logger(const char* what);
// A done callback that only takes note of a failure, so that a failure swallowed on purpose is
// not reported as never retrieved.
py::object failure_swallower();

// Closes `awaitable` when it is a coroutine that will never be awaited.
void close_unawaited(py::handle awaitable);

// True when `error` is an exception of the ordinary Exception family.
bool is_ordinary(const py::error_already_set& error);
// True when `error` is asyncio's CancelledError.
bool is_cancellation(const py::error_already_set& error);

}  // namespace corvath
