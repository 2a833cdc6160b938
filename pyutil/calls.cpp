#include "pyutil/calls.h"

namespace pyutil {

OwnedRef LookupGlobal(PyObject* globals, PyObject* builtins, PyObject* name) {
  PyObject* value = PyDict_GetItem(globals, name);
  if (value == nullptr) value = PyDict_GetItem(builtins, name);
  if (value == nullptr) {
    RaiseFormatted(PyExc_NameError, "name '%.200s' is not defined", PyString_AS_STRING(name));
  }
  return OwnedRef::Borrow(value);
}

}  // namespace pyutil
