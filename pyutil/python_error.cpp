#include "pyutil/python_error.h"

#include <cstdarg>

namespace pyutil {

void RaiseFormatted(PyObject* exception_type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyObject* message = PyString_FromFormatV(format, arguments);
  va_end(arguments);
  if (message != nullptr) {
    PyErr_SetObject(exception_type, message);
    Py_DECREF(message);
  }
  ThrowPythonError();
}

}  // namespace pyutil
