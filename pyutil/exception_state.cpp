#include "pyutil/exception_state.h"

namespace pyutil {

CaughtException::CaughtException(const TracebackEntry& catching_function) noexcept {
  catching_function.AddToPendingException();
  PyErr_Fetch(&type_, &value_, &traceback_);
  PyErr_NormalizeException(&type_, &value_, &traceback_);
  if (value_ == nullptr) {
    Py_INCREF(Py_None);
    value_ = Py_None;
  }
}

CaughtException::~CaughtException() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(traceback_);
}

void CaughtException::Restore() noexcept {
  PyErr_Restore(type_, value_, traceback_);
  type_ = value_ = traceback_ = nullptr;
}

HandledExceptionScope::HandledExceptionScope(const CaughtException& exception) noexcept {
  PyThreadState* state = PyThreadState_GET();
  saved_type_ = state->exc_type;
  saved_value_ = state->exc_value;
  saved_traceback_ = state->exc_traceback;
  Py_XINCREF(exception.type());
  Py_XINCREF(exception.value());
  PyObject* traceback = exception.traceback();
  Py_INCREF(traceback);
  state->exc_type = exception.type();
  state->exc_value = exception.value();
  state->exc_traceback = traceback;
}

HandledExceptionScope::~HandledExceptionScope() {
  PyThreadState* state = PyThreadState_GET();
  PyObject* type = state->exc_type;
  PyObject* value = state->exc_value;
  PyObject* traceback = state->exc_traceback;
  state->exc_type = saved_type_;
  state->exc_value = saved_value_;
  state->exc_traceback = saved_traceback_;
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
}

}  // namespace pyutil
