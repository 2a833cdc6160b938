// Traceback entries for native functions.
//
// A Python function that an exception leaves, or that catches one, shows in
// the exception's traceback; a function of a compiled module adds an entry
// naming itself. Ours do the same through TracebackEntry: GuardEntry below
// adds it when an exception leaves an entry point, WithTracebackEntry when
// one leaves an internal entry that other native code calls directly, and a
// function that catches an exception itself calls AddToPendingException()
// before its handler runs, so that the handler (a log record, a lock's
// __exit__) sees where the exception passed.
//
// A function adds at most one entry per exception: an exception whose newest
// entry is already this function's is left as it is, so an internal entry
// called by its own module function, or an exception caught and then raised
// again, shows the function once.
#pragma once

#include <Python.h>

#include <utility>

#include "pyutil/python_error.h"

namespace pyutil {

class TracebackEntry {
 public:
  // `function_name` as the traceback shows it ("windows.volumes.IsFAT"),
  // `file_name` the source file, relative to the project, and `line` the
  // line where the function begins. Constant-initialised, so it can be used
  // from any static initialiser.
  constexpr TracebackEntry(const char* function_name, const char* file_name, int line) noexcept
      : function_name_(function_name), file_name_(file_name), line_(line) {}
  TracebackEntry(const TracebackEntry&) = delete;
  TracebackEntry& operator=(const TracebackEntry&) = delete;

  // Adds this function's entry to the pending exception. Failing to build
  // the entry (no memory) leaves the exception as it was.
  void AddToPendingException() const noexcept;

 private:
  const char* function_name_;
  const char* file_name_;
  int line_;
  // The code object the entries' frames run, made on first use and kept for
  // the life of the process; also how an entry of this function is known.
  mutable PyCodeObject* code_ = nullptr;
};

// GuardEntry for an entry point named by `function`: an exception that
// leaves it carries the function's entry.
template <typename Body>
PyObject* GuardEntry(const TracebackEntry& function, Body&& body) noexcept {
  PyObject* result = GuardEntry(std::forward<Body>(body));
  if (result == nullptr && PyErr_Occurred()) function.AddToPendingException();
  return result;
}

// Runs an internal entry, which returns a value or throws: an exception that
// leaves it is set as a Python error, given the function's entry and thrown
// on as PythonErrorSet.
template <typename Body>
auto WithTracebackEntry(const TracebackEntry& function, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    SetErrorOfCurrentException();
    function.AddToPendingException();
    ThrowPythonError();
  }
}

}  // namespace pyutil
