#include "pyutil/traceback_entry.h"

#include <frameobject.h>

#include "pyutil/exception_state.h"
#include "pyutil/py_version.h"

namespace pyutil {

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
