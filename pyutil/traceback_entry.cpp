#include "pyutil/traceback_entry.h"

#include <frameobject.h>

#include "pyutil/exception_state.h"
#include "pyutil/py_version.h"

namespace pyutil {
namespace {

// Whether `frame` runs `code`: Python 3 hides a frame's code behind a call.
bool FrameRunsCode(PyFrameObject* frame, PyCodeObject* code) noexcept {
#if PY_MAJOR_VERSION >= 3
  PyCodeObject* frame_code = PyFrame_GetCode(frame);
  const bool same = frame_code == code;
  Py_XDECREF(frame_code);
  return same;
#else
  return frame->f_code == code;
#endif
}

// A new frame for the entry: `code` run with empty globals, at `line`.
// nullptr with an error set on failure. The file, function and line that
// a traceback shows for it are pinned by
// TracebackTest.testEntriesPointAtTheirDeclarationInTheSources, the entry
// shown once by testEveryFunctionAnExceptionLeavesShowsOnce
// (tests/python/test_tracebacks.py).
PyFrameObject* NewTracebackFrame(PyCodeObject* code, int line) noexcept {
  PyObject* globals = PyDict_New();
  if (globals == nullptr) return nullptr;
  PyFrameObject* frame = PyFrame_New(PyThreadState_GET(), code, globals, nullptr);
  Py_DECREF(globals);
#if PY_MAJOR_VERSION >= 3
  // A frame that has not run reports its code's first line, which is `line`.
  static_cast<void>(line);
#else
  if (frame != nullptr) frame->f_lineno = line;
#endif
  return frame;
}

}  // namespace

void TracebackEntry::AddToPendingException() const noexcept {
  // Set aside while the frame is made, which must not see or replace it.
  ErrorParts pending = ErrorParts::FetchPending();
  if (!pending) return;  // nothing pending

  // The newest entry comes first in the chain.
  PyObject* traceback = pending.traceback();
  const bool already_added =
      code_ != nullptr && traceback != nullptr && PyTraceBack_Check(traceback) &&
      FrameRunsCode(reinterpret_cast<PyTracebackObject*>(traceback)->tb_frame, code_);
  PyFrameObject* frame = nullptr;
  if (!already_added) {
    if (code_ == nullptr) code_ = PyCode_NewEmpty(file_name_, function_name_, line_);
    if (code_ != nullptr) frame = NewTracebackFrame(code_, line_);
    PyErr_Clear();  // failing to describe the error must not replace it
  }
  pending.RestorePending();
  if (frame == nullptr) return;
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace pyutil
