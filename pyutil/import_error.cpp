#include "pyutil/import_error.h"

#include "pyutil/exception_state.h"
#include "pyutil/owned_ref.h"

namespace pyutil {

void SetPendingErrorCause(PyObject* cause, const char* name) noexcept {
#if PY_MAJOR_VERSION >= 3
  ErrorParts error = ErrorParts::FetchPending();
  error.Normalize();
  if (error.value() != nullptr && PyExceptionInstance_Check(error.value())) {
    Py_INCREF(cause);
    PyException_SetCause(error.value(), cause);  // steals the reference
    OwnedRef text = OwnedRef::Steal(PyUnicode_FromString(name));
    if (!text || PyObject_SetAttrString(error.value(), "name", text.get()) < 0) PyErr_Clear();
  }
  error.RestorePending();
#else
  static_cast<void>(cause);
  static_cast<void>(name);
#endif
}

}  // namespace pyutil
