#include "pyutil/import_error.h"

namespace pyutil {

void SetPendingErrorCause(PyObject* cause, const char* name) noexcept {
#if PY_MAJOR_VERSION >= 3
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && PyExceptionInstance_Check(value)) {
    Py_INCREF(cause);
    PyException_SetCause(value, cause);  // steals the reference
    PyObject* text = PyUnicode_FromString(name);
    if (text == nullptr || PyObject_SetAttrString(value, "name", text) < 0) PyErr_Clear();
    Py_XDECREF(text);
  }
  PyErr_Restore(type, value, traceback);
#else
  static_cast<void>(cause);
  static_cast<void>(name);
#endif
}

}  // namespace pyutil
