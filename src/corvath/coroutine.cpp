#include "corvath/coroutine.h"

#include <string>
#include <utility>
#include <vector>

#include "corvath/traceback.h"

namespace corvath {
namespace {

// Takes the pending Python error as one normalised exception instance carrying its traceback
// (a new reference), or null when no error is pending.
PyObject* fetch_error() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &trace);
  if (trace != nullptr && value != nullptr) PyException_SetTraceback(value, trace);
  Py_XDECREF(type);
  Py_XDECREF(trace);
  return value;
#endif
}

// Raises `exc` (reference stolen) as the pending error, traceback included.
void restore_error(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyObject* trace = PyException_GetTraceback(exc);
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, trace);
#endif
}

// The iterator that `await obj` drives, as CPython's own await does (a new reference).
PyObject* await_iterator(PyObject* obj) {
  if (PyCoro_CheckExact(obj)) return Py_NewRef(obj);
  PyAsyncMethods* am = Py_TYPE(obj)->tp_as_async;
  if (am == nullptr || am->am_await == nullptr) {
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  PyObject* it = am->am_await(obj);
  if (it == nullptr) return nullptr;
  if (PyCoro_CheckExact(it)) {
    Py_DECREF(it);
    PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
    return nullptr;
  }
  if (!PyIter_Check(it)) {
    PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                 Py_TYPE(it)->tp_name);
    Py_DECREF(it);
    return nullptr;
  }
  return it;
}

}  // namespace

// Everything a coroutine object owns. Every PyObject* here is a strong reference or null.
struct CoroState {
  CoTask::Handle handle;         // null once the body has ended or was closed
  std::vector<PyObject*> keep;   // objects whose handles the body uses
  PyObject* awaiting = nullptr;  // iterator of the awaitable the body is suspended on
  PyObject* resume_value = nullptr;
  PyObject* resume_error = nullptr;
  PyObject* parked = nullptr;  // an object of the body's, kept while it is suspended
  PyObject* result = nullptr;  // set by co_return
  PyObject* error = nullptr;   // set when the body ends with an exception
  std::string qualname;
  std::source_location where;  // the last await the body passed (its creation before the first one)
  bool started = false;
  // True for the whole of a step, the hand-on to the awaited object included: send, throw and
  // close from the awaited object itself or from another thread are refused meanwhile.
  bool running = false;

  // Destroys the body (its locals are released) and then what it was given.
  void finish() {
    if (handle) std::exchange(handle, {}).destroy();
    Py_CLEAR(awaiting);
    Py_CLEAR(parked);
    for (PyObject*& ref : keep) Py_CLEAR(ref);
    keep.clear();
  }
  void clear_all() {
    finish();
    Py_CLEAR(resume_value);
    Py_CLEAR(resume_error);
    Py_CLEAR(result);
    Py_CLEAR(error);
  }
};

void CoTask::promise_type::return_value(py::object value) {
  Py_XSETREF(state->result, value.release().ptr());
}

void CoTask::promise_type::unhandled_exception() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a corvath coroutine");
  }
  // The coroutine itself becomes the outermost entry of the traceback, so that a failure in
  // this module's own code carries one and a host's failure shows which coroutine it ended.
  add_traceback_entry(state->qualname.c_str(), state->where);
  PyObject* exc = fetch_error();
  if (exc != nullptr && PyErr_GivenExceptionMatches(exc, PyExc_StopIteration)) {
    // As in a native coroutine, StopIteration must not leak out as the coroutine's own end.
    PyObject* wrapped = PyObject_CallOneArg(PyExc_RuntimeError,
                                            py::str("coroutine raised StopIteration").ptr());
    if (wrapped != nullptr) {
      PyException_SetCause(wrapped, Py_NewRef(exc));
      Py_SETREF(exc, wrapped);
    }
  }
  Py_XSETREF(state->error, exc);
}

bool PyAwait::await_suspend(CoTask::Handle h) {
  state_ = h.promise().state;
  state_->where = where_;
  if (parked_ != nullptr) Py_XSETREF(state_->parked, parked_->release().ptr());
  PyObject* it = await_iterator(awaitable_.ptr());
  awaitable_ = py::object();
  if (it == nullptr) {
    Py_XSETREF(state_->resume_error, fetch_error());
    return false;
  }
  Py_XSETREF(state_->awaiting, it);
  return true;
}

py::object PyAwait::await_resume() {
  if (parked_ != nullptr) {
    *parked_ = py::reinterpret_steal<py::object>(std::exchange(state_->parked, nullptr));
  }
  if (PyObject* exc = std::exchange(state_->resume_error, nullptr)) {
    restore_error(exc);
    throw py::error_already_set();
  }
  PyObject* value = std::exchange(state_->resume_value, nullptr);
  if (value == nullptr) return py::none();
  return py::reinterpret_steal<py::object>(value);
}

namespace {

struct CoroObject {
  PyObject_HEAD
  CoroState* state;
};

PyTypeObject coro_type{};  // filled in by register_coroutine_type

CoroState* state_of(PyObject* self) { return reinterpret_cast<CoroObject*>(self)->state; }

enum class Inner { kYielded, kResume };

// One step of the awaited iterator: it yields (out is set) or it has ended, and the body is to
// be resumed with its value or exception.
Inner step_awaited(CoroState* s, PyObject* value, PyObject* exc, PyObject** out) {
  PyObject* it = s->awaiting;
  if (exc != nullptr) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
      // As `yield from` does: close the delegate, then raise GeneratorExit in the body.
      PyObject* closed = PyObject_CallMethod(it, "close", nullptr);
      if (closed == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
          PyErr_Clear();
          Py_XSETREF(s->resume_error, Py_NewRef(exc));
        } else {
          Py_XSETREF(s->resume_error, fetch_error());
        }
      } else {
        Py_DECREF(closed);
        Py_XSETREF(s->resume_error, Py_NewRef(exc));
      }
      Py_CLEAR(s->awaiting);
      return Inner::kResume;
    }
    PyObject* thrower = PyObject_GetAttrString(it, "throw");
    if (thrower == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        Py_XSETREF(s->resume_error, fetch_error());
      } else {
        PyErr_Clear();
        Py_XSETREF(s->resume_error, Py_NewRef(exc));
      }
      Py_CLEAR(s->awaiting);
      return Inner::kResume;
    }
    PyObject* r = PyObject_CallOneArg(thrower, exc);
    Py_DECREF(thrower);
    if (r != nullptr) {
      *out = r;
      return Inner::kYielded;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
      PyObject* stop = fetch_error();
      PyObject* v = PyObject_GetAttrString(stop, "value");
      Py_DECREF(stop);
      if (v == nullptr) {
        Py_XSETREF(s->resume_error, fetch_error());
      } else {
        Py_XSETREF(s->resume_value, v);
      }
    } else {
      Py_XSETREF(s->resume_error, fetch_error());
    }
  } else {
    PyObject* r = nullptr;
    PySendResult res = PyIter_Send(it, value, &r);
    if (res == PYGEN_NEXT) {
      *out = r;
      return Inner::kYielded;
    }
    if (res == PYGEN_RETURN) {
      Py_XSETREF(s->resume_value, r);
    } else {
      Py_XSETREF(s->resume_error, fetch_error());
    }
  }
  Py_CLEAR(s->awaiting);
  return Inner::kResume;
}

// Drives the coroutine with a sent value or a thrown exception (borrowed). On PYGEN_NEXT and
// PYGEN_RETURN *out is a new reference; on PYGEN_ERROR the error is pending.
PySendResult drive(CoroState* s, PyObject* value, PyObject* exc, PyObject** out) {
  if (!s->started) {
    if (exc != nullptr) {
      // Thrown in before the first step: the body never runs, the exception comes back out.
      s->finish();
      restore_error(Py_NewRef(exc));
      return PYGEN_ERROR;
    }
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
      return PYGEN_ERROR;
    }
    s->started = true;
  } else if (step_awaited(s, value, exc, out) == Inner::kYielded) {
    return PYGEN_NEXT;
  }
  for (;;) {
    s->handle.resume();
    if (s->handle.done()) {
      PyObject* result = std::exchange(s->result, nullptr);
      PyObject* error = std::exchange(s->error, nullptr);
      s->finish();
      if (error != nullptr) {
        Py_XDECREF(result);
        restore_error(error);
        return PYGEN_ERROR;
      }
      *out = result != nullptr ? result : Py_NewRef(Py_None);
      return PYGEN_RETURN;
    }
    if (step_awaited(s, Py_None, nullptr, out) == Inner::kYielded) return PYGEN_NEXT;
  }
}

// Marks the coroutine running for one step and keeps it alive meanwhile (`self` may be null in
// its deallocation), whatever the awaited object or the body does with the references to it.
class RunningStep {
 public:
  RunningStep(CoroState* state, PyObject* self) : self_(Py_XNewRef(self)), state_(state) {
    state_->running = true;
  }
  RunningStep(const RunningStep&) = delete;
  RunningStep& operator=(const RunningStep&) = delete;
  ~RunningStep() {
    state_->running = false;
    Py_XDECREF(self_);
  }

 private:
  PyObject* self_;
  CoroState* state_;
};

bool refuse_if_running(CoroState* s) {
  if (!s->running) return false;
  PyErr_SetString(PyExc_ValueError, "coroutine already executing");
  return true;
}

PySendResult step(PyObject* self, PyObject* value, PyObject* exc, PyObject** out) {
  CoroState* s = state_of(self);
  if (refuse_if_running(s)) return PYGEN_ERROR;
  if (!s->handle) {
    if (exc != nullptr) {
      restore_error(Py_NewRef(exc));
    } else {
      PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }
    return PYGEN_ERROR;
  }
  RunningStep running(s, self);
  return drive(s, value, exc, out);
}

// Ends the iteration with `result` (stolen) the way a generator does.
PyObject* raise_stop(PyObject* result) {
  if (result == Py_None) {
    Py_DECREF(result);
    PyErr_SetNone(PyExc_StopIteration);
    return nullptr;
  }
  PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, result);
  Py_DECREF(result);
  if (stop != nullptr) restore_error(stop);
  return nullptr;
}

// What send() and throw() hand back for one step: the yielded value, StopIteration carrying the
// result, or the error already set.
PyObject* step_outcome(PySendResult res, PyObject* out) {
  switch (res) {
    case PYGEN_NEXT:
      return out;
    case PYGEN_RETURN:
      return raise_stop(out);
    default:
      return nullptr;
  }
}

PyObject* coro_send(PyObject* self, PyObject* value) {
  PyObject* out = nullptr;
  const PySendResult res = step(self, value, nullptr, &out);
  return step_outcome(res, out);
}

PyObject* coro_iternext(PyObject* self) {
  PyObject* out = nullptr;
  switch (step(self, Py_None, nullptr, &out)) {
    case PYGEN_NEXT:
      return out;
    case PYGEN_RETURN:
      if (out == Py_None) {
        Py_DECREF(out);
        return nullptr;
      }
      return raise_stop(out);
    default:
      return nullptr;
  }
}

PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** out) {
  return step(self, value, nullptr, out);
}

// throw(exc) as asyncio's Task calls it, or throw(type[, value[, traceback]]).
PyObject* coro_throw(PyObject* self, PyObject* args) {
  PyObject* type = nullptr;
  PyObject* value = Py_None;
  PyObject* trace = Py_None;
  if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &trace)) return nullptr;
  if (trace != Py_None && !PyTraceBack_Check(trace)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  PyObject* exc = nullptr;
  if (PyExceptionInstance_Check(type)) {
    if (value != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return nullptr;
    }
    exc = Py_NewRef(type);
  } else if (PyExceptionClass_Check(type)) {
    if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
      exc = Py_NewRef(value);
    } else if (value == Py_None) {
      exc = PyObject_CallNoArgs(type);
    } else if (PyTuple_Check(value)) {
      exc = PyObject_Call(type, value, nullptr);
    } else {
      exc = PyObject_CallOneArg(type, value);
    }
    if (exc == nullptr) return nullptr;
    if (!PyExceptionInstance_Check(exc)) {
      PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException",
                   type);
      Py_DECREF(exc);
      return nullptr;
    }
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(type)->tp_name);
    return nullptr;
  }
  if (trace != Py_None) PyException_SetTraceback(exc, trace);
  PyObject* out = nullptr;
  PySendResult res = step(self, Py_None, exc, &out);
  Py_DECREF(exc);
  return step_outcome(res, out);
}

// Closes what the body awaits, then destroys the body: its destructors run, no handler of the
// body sees GeneratorExit. `self` is null when called from the deallocation.
PyObject* close_coroutine(CoroState* s, PyObject* self) {
  if (refuse_if_running(s)) return nullptr;
  PyObject* error = nullptr;
  {
    RunningStep running(s, self);
    if (s->awaiting != nullptr) {
      PyObject* awaiting = Py_NewRef(s->awaiting);
      PyObject* closed = PyObject_CallMethod(awaiting, "close", nullptr);
      Py_DECREF(awaiting);
      if (closed == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
          PyErr_Clear();
        } else {
          error = fetch_error();
        }
      }
      Py_XDECREF(closed);
    }
    s->finish();
  }
  if (error != nullptr) {
    restore_error(error);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* coro_close(PyObject* self, PyObject*) { return close_coroutine(state_of(self), self); }

PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
  CoroState* s = state_of(self);
  if (s == nullptr) return 0;
  for (PyObject* ref : s->keep) Py_VISIT(ref);
  Py_VISIT(s->awaiting);
  Py_VISIT(s->parked);
  Py_VISIT(s->resume_value);
  Py_VISIT(s->resume_error);
  Py_VISIT(s->result);
  Py_VISIT(s->error);
  return 0;
}

int coro_clear(PyObject* self) {
  CoroState* s = state_of(self);
  if (s != nullptr && !s->running) s->clear_all();
  return 0;
}

// A coroutine dropped while suspended closes what it awaits, as a native coroutine does. This
// runs as the finaliser, on a live object, so that the awaited object's close() and the report
// of its failure may hold references to the coroutine.
void coro_finalize(PyObject* self) {
  CoroState* s = state_of(self);
  if (s == nullptr || !s->started || !s->handle) return;
  PyObject* pending = fetch_error();
  PyObject* closed = close_coroutine(s, self);
  if (closed == nullptr) PyErr_WriteUnraisable(self);
  Py_XDECREF(closed);
  if (pending != nullptr) restore_error(pending);
}

void coro_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // the finaliser resurrected it
  PyObject_GC_UnTrack(self);
  if (CoroState* s = state_of(self)) {
    PyObject* pending = fetch_error();
    s->clear_all();
    delete s;
    reinterpret_cast<CoroObject*>(self)->state = nullptr;
    if (pending != nullptr) restore_error(pending);
  }
  Py_TYPE(self)->tp_free(self);
}

PyObject* coro_repr(PyObject* self) {
  return PyUnicode_FromFormat("<coroutine object %s at %p>", state_of(self)->qualname.c_str(),
                              self);
}

PyObject* get_qualname(PyObject* self, void*) {
  return PyUnicode_FromString(state_of(self)->qualname.c_str());
}

PyObject* get_name(PyObject* self, void*) {
  const std::string& q = state_of(self)->qualname;
  std::size_t dot = q.rfind('.');
  return PyUnicode_FromString(dot == std::string::npos ? q.c_str() : q.c_str() + dot + 1);
}

PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(state_of(self)->running); }

PyObject* get_awaiting(PyObject* self, void*) {
  PyObject* a = state_of(self)->awaiting;
  return Py_NewRef(a != nullptr ? a : Py_None);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> next yielded value or raise StopIteration."},
    {"throw", coro_throw, METH_VARARGS,
     "throw(value) or throw(type[, value[, traceback]]): raise it inside the coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> end the coroutine."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_awaiting, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyAsyncMethods coro_async{coro_await, nullptr, nullptr, coro_am_send};

}  // namespace

void register_coroutine_type(py::module_&) {
  if (coro_type.tp_flags & Py_TPFLAGS_READY) return;
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&coro_type), 1);  // static: never deallocated
  coro_type.tp_name = "sonvale.corvath.coroutine";
  coro_type.tp_basicsize = sizeof(CoroObject);
  coro_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  coro_type.tp_doc = "A coroutine of sonvale.corvath.";
  coro_type.tp_dealloc = coro_dealloc;
  coro_type.tp_finalize = coro_finalize;
  coro_type.tp_repr = coro_repr;
  coro_type.tp_traverse = coro_traverse;
  coro_type.tp_clear = coro_clear;
  coro_type.tp_iternext = coro_iternext;
  coro_type.tp_methods = coro_methods;
  coro_type.tp_getset = coro_getset;
  coro_type.tp_as_async = &coro_async;
  if (PyType_Ready(&coro_type) < 0) throw py::error_already_set();
}

py::object make_coroutine(const char* qualname, std::initializer_list<py::handle> keep,
                          CoTask task, std::source_location where) {
  CoroObject* obj = PyObject_GC_New(CoroObject, &coro_type);
  if (obj == nullptr) throw py::error_already_set();
  auto* s = new CoroState;
  obj->state = s;
  s->qualname = qualname;
  s->where = where;
  s->handle = task.release();
  s->handle.promise().state = s;
  s->keep.reserve(keep.size());
  for (py::handle h : keep) s->keep.push_back(Py_NewRef(h.ptr()));
  PyObject_GC_Track(obj);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(obj));
}

}  // namespace corvath
