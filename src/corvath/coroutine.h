#pragma once
// Python coroutines whose bodies are C++20 coroutines.
//
// A `CoTask` body runs only inside the `send`/`throw` calls of the Python object that wraps it
// (`make_coroutine`), always with the GIL held. `co_await py_await(obj)` drives obj's
// `__await__()` iterator: what it yields goes straight up to the caller of `send` (asyncio's
// Task), `send`/`throw` are forwarded into it, and its return value or exception resumes the
// body. A Python exception reaches the body as `pybind11::error_already_set`.
//
// The wrapper takes part in garbage collection: it owns the references that the body was given
// (as borrowed handles), the iterator being awaited and an object parked across the await, and
// reports them to the collector. The body's own locals are out of the collector's sight: bodies
// keep no other references across a suspension that could lead back to themselves (they park
// one, or read attributes afresh after the await).

#include <pybind11/pybind11.h>

#include <coroutine>
#include <initializer_list>
#include <source_location>

namespace corvath {

namespace py = pybind11;

struct CoroState;

class CoTask {
 public:
  struct promise_type {
    CoroState* state = nullptr;
    CoTask get_return_object() {
      return CoTask{std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(py::object value);
    void unhandled_exception();
  };
  using Handle = std::coroutine_handle<promise_type>;

  explicit CoTask(Handle h) : handle_(h) {}
  CoTask(CoTask&& other) noexcept : handle_(other.handle_) { other.handle_ = {}; }
  CoTask(const CoTask&) = delete;
  CoTask& operator=(const CoTask&) = delete;
  CoTask& operator=(CoTask&&) = delete;
  ~CoTask() {
    if (handle_) handle_.destroy();
  }
  Handle release() {
    Handle h = handle_;
    handle_ = {};
    return h;
  }

 private:
  Handle handle_;
};

// Awaiter of one Python awaitable inside a CoTask body. `where` is the await's place in the
// source: a failure of the body after it names it in its traceback. `parked`, when given, is an
// object of the body that it needs after the await: it is kept by the coroutine object, where
// the garbage collector sees it, while the body is suspended, and handed back on resumption.
class PyAwait {
 public:
  PyAwait(py::object awaitable, py::object* parked, std::source_location where)
      : awaitable_(std::move(awaitable)), parked_(parked), where_(where) {}
  bool await_ready() const noexcept { return false; }
  bool await_suspend(CoTask::Handle h);
  py::object await_resume();

 private:
  py::object awaitable_;
  py::object* parked_;
  std::source_location where_;
  CoroState* state_ = nullptr;
};

inline PyAwait py_await(py::object awaitable,
                        std::source_location where = std::source_location::current()) {
  return PyAwait(std::move(awaitable), nullptr, where);
}

inline PyAwait py_await(py::object awaitable, py::object& parked,
                        std::source_location where = std::source_location::current()) {
  return PyAwait(std::move(awaitable), &parked, where);
}

// Wraps `task` in a new Python coroutine object named `qualname`. `keep` are the objects whose
// handles the body was given; the coroutine owns them until it ends. A failure that ends the
// body gets an entry for `qualname` in its traceback, at the last await the body passed (at
// `where` before the first one).
py::object make_coroutine(const char* qualname, std::initializer_list<py::handle> keep,
                          CoTask task,
                          std::source_location where = std::source_location::current());

// Registers the coroutine type; called once by the module's initialisation.
void register_coroutine_type(py::module_& m);

}  // namespace corvath
