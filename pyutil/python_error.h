// One C++ exception that means "a Python error is set".
//
// Code below the entry points throws PythonErrorSet right after a C API call
// failed (so the interpreter's error indicator is set) and never returns an
// error code. Each entry point catches it once, through GuardEntry, and
// returns NULL to the interpreter; no C++ exception crosses into it.
#pragma once

#include <Python.h>

#include <new>

#include "pyutil/owned_ref.h"

namespace pyutil {

struct PythonErrorSet {};

[[noreturn]] inline void ThrowPythonError() { throw PythonErrorSet(); }

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
// being handled stands for: none for PythonErrorSet (it is set already),
// MemoryError for std::bad_alloc, SystemError for anything else.
inline void SetErrorOfCurrentException() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
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
