// One C++ exception that means "a Python error is set".
//
// Code below the entry points throws PythonErrorSet right after a C API call
// failed (so the interpreter's error indicator is set) and never returns an
// error code. The exception takes the error out of the indicator and carries
// it while the stack unwinds, so the destructors on the way run with no error
// pending and may call the C API without setting one aside. Each entry point
// catches it once, through GuardEntry, gives the error back to the indicator
// and returns NULL to the interpreter; no C++ exception crosses into it.
#pragma once

#include <Python.h>

#include <new>

#include "pyutil/exception_state.h"
#include "pyutil/owned_ref.h"

namespace pyutil {

class PythonErrorSet {
 public:
  // Takes the pending error.
  PythonErrorSet() noexcept : error_(ErrorParts::FetchPending()) {}

  // Gives the error back to the indicator as the pending error and leaves
  // the exception empty: a second Restore() sets nothing. A copy of the
  // exception (the language may make one of a thrown object) holds
  // references of its own to the same error.
  void Restore() noexcept { error_.RestorePending(); }

 private:
  ErrorParts error_;
};

// Throws the pending error as PythonErrorSet.
[[noreturn]] void ThrowPythonError();

// A C API result that is NULL on failure, kept as a new reference.
inline OwnedRef RequireNew(PyObject* result) {
  if (result == nullptr) ThrowPythonError();
  return OwnedRef::Steal(result);
}

// A C API result that is NULL on failure, borrowed.
inline PyObject* RequireBorrowed(PyObject* result) {
  if (result == nullptr) ThrowPythonError();
  return result;
}

// A C API status that is negative on failure.
inline int RequireStatus(int status) {
  if (status < 0) ThrowPythonError();
  return status;
}

// Sets the error with PyErr_Format and throws.
[[noreturn]] void RaiseFormatted(PyObject* exception_type, const char* format, ...);

// Inside a catch-all handler: sets the Python error that the C++ exception
// being handled stands for: the one PythonErrorSet carries (given back to
// the indicator), MemoryError for std::bad_alloc, SystemError for anything
// else.
inline void SetErrorOfCurrentException() noexcept {
  try {
    throw;
  } catch (PythonErrorSet& error) {
    error.Restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in windows.volumes");
  }
}

// Runs the body of an entry point and turns a thrown error into NULL.
template <typename Body>
PyObject* GuardEntry(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    SetErrorOfCurrentException();
    return nullptr;
  }
}

}  // namespace pyutil
