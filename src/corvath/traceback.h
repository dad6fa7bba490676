#pragma once
// Traceback entries for failures raised in this module's own code, which has no Python frames:
// without them a logged failure would say what went wrong but not where.

#include <pybind11/pybind11.h>

#include <source_location>

namespace corvath {

// Adds an entry "File <source file>, line <line>, in <function>" to the traceback of the pending
// Python error (there must be one). `function` defaults to the C++ function of `where`.
void add_traceback_entry(const char* function, const std::source_location& where);
void add_traceback_entry(const std::source_location& where);

// Raises `type(message)` from `where`, with its traceback entry.
[[noreturn]] void raise_error(PyObject* type, const std::string& message,
                              std::source_location where = std::source_location::current());

}  // namespace corvath
