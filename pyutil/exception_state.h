// Small guards over the interpreter's exception state.
#pragma once

#include <Python.h>

#include "pyutil/py_version.h"
#include "pyutil/traceback_entry.h"

namespace pyutil {

// Sets the pending exception aside for the guard's lifetime and restores it
// unchanged afterwards, so that cleanup code (closing a handle, releasing a
// buffer) runs with no error set and cannot disturb it.
class PendingErrorGuard {
 public:
  PendingErrorGuard() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PendingErrorGuard() { PyErr_Restore(type_, value_, traceback_); }
  PendingErrorGuard(const PendingErrorGuard&) = delete;
  PendingErrorGuard& operator=(const PendingErrorGuard&) = delete;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// The exception that was pending, taken out of the error indicator and
// normalised, as an `except` clause receives it. Its references are owned
// here until Restore() gives them back to the indicator.
class CaughtException {
 public:
  // `catching_function` is the function whose handler catches it: its entry
  // is added to the traceback first, as a Python function's frame would be.
  explicit CaughtException(const TracebackEntry& catching_function) noexcept;
  ~CaughtException();
  CaughtException(const CaughtException&) = delete;
  CaughtException& operator=(const CaughtException&) = delete;

  PyObject* type() const noexcept { return type_; }
  PyObject* value() const noexcept { return value_; }
  // The traceback, or None when the exception has none.
  PyObject* traceback() const noexcept { return traceback_ ? traceback_ : Py_None; }
  bool Matches(PyObject* exception_class) const noexcept {
    return PyErr_GivenExceptionMatches(type_, exception_class) != 0;
  }
  // Puts the exception back as the pending error (raise it again).
  void Restore() noexcept;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Makes an exception the one "being handled" (what sys.exc_info() returns)
// for the guard's lifetime, as inside an `except` block, so that
// logger.exception() records it with its traceback.
class HandledExceptionScope {
 public:
  explicit HandledExceptionScope(const CaughtException& exception) noexcept;
  ~HandledExceptionScope();
  HandledExceptionScope(const HandledExceptionScope&) = delete;
  HandledExceptionScope& operator=(const HandledExceptionScope&) = delete;

 private:
  HandledException saved_;
};

}  // namespace pyutil
