#include "pyutil/py_version.h"

namespace pyutil {

void AttachTraceback(PyObject* value, PyObject* traceback) noexcept {
#if PY_MAJOR_VERSION >= 3
  if (traceback != nullptr && traceback != Py_None && PyExceptionInstance_Check(value)) {
    PyException_SetTraceback(value, traceback);
  }
#else
  static_cast<void>(value);
  static_cast<void>(traceback);
#endif
}

}  // namespace pyutil
