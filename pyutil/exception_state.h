// An exception's three parts, and the guards over the interpreter's
// exception state built on them.
//
// The interpreter keeps an exception in two places: the error indicator (the
// pending error, which a failed C API call sets) and, while an `except`
// block runs, the exception being handled (sys.exc_info()). ErrorParts is the
// one owner of a (type, value, traceback) taken out of either place; the
// classes below and the C++ exception PythonErrorSet keep theirs in it.
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"

namespace pyutil {

class TracebackEntry;

// Type, value and traceback of one exception, each an owned reference or
// empty (an empty type: no exception). Fetched from the error indicator the
// value may still be unnormalised (not an instance, or nullptr) and the
// traceback nullptr, exactly as the indicator held them. A copy holds
// references of its own to the same objects.
class ErrorParts {
 public:
  ErrorParts() noexcept = default;

  // Takes the pending error out of the error indicator, which is left clear;
  // empty when none was pending.
  static ErrorParts FetchPending() noexcept;
  // The exception being handled (sys.exc_info()), taken out of the thread
  // state: empty when none is.
  static ErrorParts TakeHandled() noexcept;

  explicit operator bool() const noexcept { return static_cast<bool>(type_); }
  PyObject* type() const noexcept { return type_.get(); }
  PyObject* value() const noexcept { return value_.get(); }
  PyObject* traceback() const noexcept { return traceback_.get(); }

  // Makes the value an instance of the type (PyErr_NormalizeException).
  void Normalize() noexcept;

  // Gives the parts back to the error indicator as the pending error, which
  // they replace, and leaves this empty. Empty parts restore nothing: the
  // indicator is left as it is.
  void RestorePending() noexcept;
  // Makes the parts the exception being handled (sys.exc_info()); they stay
  // owned here as well.
  void SetHandled() const noexcept;

 private:
  // Takes over three new references (or nullptr) as the C API hands them out.
  static ErrorParts Steal(PyObject* type, PyObject* value, PyObject* traceback) noexcept;

  OwnedRef type_;
  OwnedRef value_;
  OwnedRef traceback_;
};

// The exception that was pending, taken out of the error indicator and
// normalised, as an `except` clause receives it (in Python 3 the value then
// holds the traceback as its `__traceback__`). Its parts are owned here
// until Restore() gives them back to the indicator.
class CaughtException {
 public:
  // `catching_function` is the function whose handler catches it: its entry
  // is added to the traceback first, as a Python function's frame would be.
  explicit CaughtException(const TracebackEntry& catching_function) noexcept;
  CaughtException(const CaughtException&) = delete;
  CaughtException& operator=(const CaughtException&) = delete;

  const ErrorParts& parts() const noexcept { return parts_; }
  PyObject* type() const noexcept { return parts_.type(); }
  // The value, or None when there is none (nothing was pending).
  PyObject* value() const noexcept {
    return parts_.value() != nullptr ? parts_.value() : Py_None;
  }
  // The traceback, or None when the exception has none.
  PyObject* traceback() const noexcept {
    return parts_.traceback() != nullptr ? parts_.traceback() : Py_None;
  }
  bool Matches(PyObject* exception_class) const noexcept {
    return PyErr_GivenExceptionMatches(parts_.type(), exception_class) != 0;
  }
  // Puts the exception back as the pending error (raise it again).
  void Restore() noexcept { parts_.RestorePending(); }

 private:
  ErrorParts parts_;
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
  ErrorParts saved_;
};

}  // namespace pyutil
