#include "corvath/traceback.h"

#include <cstring>
#include <string>

namespace corvath {
namespace {

// The source file from the project's own folder on ("src/corvath/bridge.cpp").
const char* project_path(const char* file) {
  const char* inside = std::strstr(file, "src/corvath/");
  return inside != nullptr ? inside : file;
}

// "corvath::{anonymous}::CoTask corvath::{anonymous}::play_body(pybind11::handle, ...)" gives
// "play_body".
std::string function_name(const char* signature) {
  std::string name(signature);
  name = name.substr(0, name.find('('));
  std::size_t space = name.rfind(' ');
  if (space != std::string::npos) name = name.substr(space + 1);
  std::size_t scope = name.rfind("::");
  if (scope != std::string::npos) name = name.substr(scope + 2);
  return name;
}

}  // namespace

void add_traceback_entry(const char* function, const std::source_location& where) {
  _PyTraceback_Add(function, project_path(where.file_name()), static_cast<int>(where.line()));
}

void add_traceback_entry(const std::source_location& where) {
  add_traceback_entry(function_name(where.function_name()).c_str(), where);
}

pybind11::object exception_of(const pybind11::error_already_set& error) {
  pybind11::object exc = error.value();
  if (error.trace()) PyException_SetTraceback(exc.ptr(), error.trace().ptr());
  return exc;
}

pybind11::object exception_of(pybind11::error_already_set& error, const char* function,
                              const std::source_location& where) {
  error.restore();
  add_traceback_entry(function, where);
  return exception_of(pybind11::error_already_set());
}

void raise_error(PyObject* type, const std::string& message, std::source_location where) {
  PyErr_SetString(type, message.c_str());
  add_traceback_entry(where);
  throw pybind11::error_already_set();
}

}  // namespace corvath
