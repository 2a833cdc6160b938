#include "pyutil/exception_state.h"

#include <frameobject.h>

namespace pyutil {

CaughtException::CaughtException() noexcept {
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

void AddTracebackEntry(const char* function_name, const char* file_name, int line) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* globals = PyDict_New();
  PyCodeObject* code = PyCode_NewEmpty(file_name, function_name, line);
  PyFrameObject* frame = nullptr;
  if (globals != nullptr && code != nullptr) {
    frame = PyFrame_New(PyThreadState_GET(), code, globals, nullptr);
  }
  Py_XDECREF(code);
  Py_XDECREF(globals);
  PyErr_Clear();  // failing to describe the error must not replace it
  PyErr_Restore(type, value, traceback);
  if (frame == nullptr) return;
  frame->f_lineno = line;
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace pyutil
