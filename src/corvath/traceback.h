#pragma once
// Traceback entries for failures raised in this module's own code, which has no Python frames:
// without them a logged failure would say what went wrong but not where.

#include <pybind11/pybind11.h>

#include <source_location>
#include <string>

namespace corvath {

// Adds an entry "File <source file>, line <line>, in <function>" to the traceback of the pending
// Python error (there must be one). `function` defaults to the C++ function of `where`.
void add_traceback_entry(const char* function, const std::source_location& where);
void add_traceback_entry(const std::source_location& where);

// The exception of `error` with its traceback attached, as logging's exc_info takes it. The
// second form first adds an entry for `function` at `where`; `error` is spent by it.
pybind11::object exception_of(const pybind11::error_already_set& error);
pybind11::object exception_of(pybind11::error_already_set& error, const char* function,
                              const std::source_location& where);

// Raises `type(message)` from `where`, with its traceback entry.
[[noreturn]] void raise_error(PyObject* type, const std::string& message,
                              std::source_location where = std::source_location::current());

}  // namespace corvath
