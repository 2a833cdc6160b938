#include "pyutil/calls.h"

#include "pyutil/py_version.h"

namespace pyutil {

OwnedRef LookupGlobal(PyObject* globals, PyObject* builtins, PyObject* name) {
  PyObject* value = PyDict_GetItem(globals, name);
  if (value == nullptr) value = PyDict_GetItem(builtins, name);
  if (value == nullptr) {
    const char* text = NativeStringText(name);
    if (text == nullptr) ThrowPythonError();
    RaiseFormatted(PyExc_NameError, "name '%.200s' is not defined", text);
  }
  return OwnedRef::Borrow(value);
}

}  // namespace pyutil
