#include "pyutil/py_version.h"

namespace pyutil {

HandledException HandledException::Take() noexcept {
  HandledException saved;
#if PY_MAJOR_VERSION >= 3
  PyErr_GetExcInfo(&saved.type_, &saved.value_, &saved.traceback_);
#else
  PyThreadState* state = PyThreadState_GET();
  saved.type_ = state->exc_type;
  saved.value_ = state->exc_value;
  saved.traceback_ = state->exc_traceback;
  state->exc_type = state->exc_value = state->exc_traceback = nullptr;
#endif
  return saved;
}

void HandledException::Set(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
  Py_XINCREF(type);
  Py_XINCREF(value);
  Py_XINCREF(traceback);
#if PY_MAJOR_VERSION >= 3
  PyErr_SetExcInfo(type, value, traceback);
#else
  PyThreadState* state = PyThreadState_GET();
  PyObject* old_type = state->exc_type;
  PyObject* old_value = state->exc_value;
  PyObject* old_traceback = state->exc_traceback;
  state->exc_type = type;
  state->exc_value = value;
  state->exc_traceback = traceback;
  Py_XDECREF(old_type);
  Py_XDECREF(old_value);
  Py_XDECREF(old_traceback);
#endif
}

HandledException::HandledException(HandledException&& other) noexcept
    : type_(other.type_), value_(other.value_), traceback_(other.traceback_) {
  other.type_ = other.value_ = other.traceback_ = nullptr;
}

HandledException::~HandledException() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

void HandledException::Restore() noexcept {
  Set(type_, value_, traceback_);
}

void AttachTraceback(PyObject* value, PyObject* traceback) noexcept {
#if PY_MAJOR_VERSION >= 3
  if (traceback != nullptr && traceback != Py_None && PyExceptionInstance_Check(value)) {
    PyException_SetTraceback(value, traceback);
  }
#else
  static_cast<void>(value);
  static_cast<void>(traceback);
#endif
}

}  // namespace pyutil
