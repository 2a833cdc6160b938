#include "pyutil/exception_state.h"

#include "pyutil/py_version.h"
#include "pyutil/traceback_entry.h"

namespace pyutil {

ErrorParts ErrorParts::Steal(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
  ErrorParts parts;
  parts.type_ = OwnedRef::Steal(type);
  parts.value_ = OwnedRef::Steal(value);
  parts.traceback_ = OwnedRef::Steal(traceback);
  return parts;
}

ErrorParts ErrorParts::FetchPending() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  return Steal(type, value, traceback);
}

ErrorParts ErrorParts::TakeHandled() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
#if PY_MAJOR_VERSION >= 3
  PyErr_GetExcInfo(&type, &value, &traceback);
#else
  // 2.7 has no call for it: the thread state's fields are taken as they are.
  PyThreadState* state = PyThreadState_GET();
  type = state->exc_type;
  value = state->exc_value;
  traceback = state->exc_traceback;
  state->exc_type = state->exc_value = state->exc_traceback = nullptr;
#endif
  return Steal(type, value, traceback);
}

void ErrorParts::Normalize() noexcept {
  PyObject* type = type_.release();
  PyObject* value = value_.release();
  PyObject* traceback = traceback_.release();
  PyErr_NormalizeException(&type, &value, &traceback);
  type_ = OwnedRef::Steal(type);
  value_ = OwnedRef::Steal(value);
  traceback_ = OwnedRef::Steal(traceback);
}

void ErrorParts::RestorePending() noexcept {
  if (!type_) return;
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void ErrorParts::SetHandled() const noexcept {
  PyObject* type = type_.get();
  PyObject* value = value_.get();
  PyObject* traceback = traceback_.get();
  Py_XINCREF(type);
  Py_XINCREF(value);
  Py_XINCREF(traceback);
#if PY_MAJOR_VERSION >= 3
  PyErr_SetExcInfo(type, value, traceback);  // steals the references
#else
  PyThreadState* state = PyThreadState_GET();
  PyObject* old_type = state->exc_type;
  PyObject* old_value = state->exc_value;
  PyObject* old_traceback = state->exc_traceback;
  state->exc_type = type;
  state->exc_value = value;
  state->exc_traceback = traceback;
  Py_XDECREF(old_type);
  Py_XDECREF(old_value);
  Py_XDECREF(old_traceback);
#endif
}

CaughtException::CaughtException(const TracebackEntry& catching_function) noexcept {
  catching_function.AddToPendingException();
  parts_ = ErrorParts::FetchPending();
  parts_.Normalize();
  AttachTraceback(parts_.value(), parts_.traceback());
}

HandledExceptionScope::HandledExceptionScope(const CaughtException& exception) noexcept
    : saved_(ErrorParts::TakeHandled()) {
  exception.parts().SetHandled();
}

HandledExceptionScope::~HandledExceptionScope() { saved_.SetHandled(); }

}  // namespace pyutil
