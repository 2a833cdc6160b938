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

OwnedRef LookupSpecialMethod(PyObject* object, const char* name) {
  OwnedRef interned = RequireNew(NewInternedNativeString(name));
#if PY_MAJOR_VERSION < 3
  if (PyInstance_Check(object)) {
    return RequireNew(PyObject_GetAttr(object, interned.get()));
  }
#endif
  // Borrowed from the type's dict (or its bases'), which the type keeps.
  PyObject* found = _PyType_Lookup(Py_TYPE(object), interned.get());
  if (found == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, interned.get());
    ThrowPythonError();
  }
  descrgetfunc get = Py_TYPE(found)->tp_descr_get;
  if (get == nullptr) return OwnedRef::Borrow(found);
  return RequireNew(get(found, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

}  // namespace pyutil
