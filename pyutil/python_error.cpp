#include "pyutil/python_error.h"

#include <cstdarg>

#include "pyutil/py_version.h"

namespace pyutil {

void ThrowPythonError() { throw PythonErrorSet(); }

void RaiseFormatted(PyObject* exception_type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyObject* message = NewNativeStringFromFormatV(format, arguments);
  va_end(arguments);
  if (message != nullptr) {
    PyErr_SetObject(exception_type, message);
    Py_DECREF(message);
  }
  ThrowPythonError();
}

}  // namespace pyutil
