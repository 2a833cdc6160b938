#include "pyutil/traceback_entry.h"

#include <frameobject.h>

#include "pyutil/py_version.h"

namespace pyutil {

void TracebackEntry::AddToPendingException() const noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;  // nothing pending

  // The newest entry comes first in the chain.
  const bool already_added =
      code_ != nullptr && traceback != nullptr && PyTraceBack_Check(traceback) &&
      FrameRunsCode(reinterpret_cast<PyTracebackObject*>(traceback)->tb_frame, code_);
  PyFrameObject* frame = nullptr;
  if (!already_added) {
    if (code_ == nullptr) code_ = PyCode_NewEmpty(file_name_, function_name_, line_);
    if (code_ != nullptr) frame = NewTracebackFrame(code_, line_);
    PyErr_Clear();  // failing to describe the error must not replace it
  }
  PyErr_Restore(type, value, traceback);
  if (frame == nullptr) return;
  PyTraceBack_Here(frame);
  Py_DECREF(frame);
}

}  // namespace pyutil
