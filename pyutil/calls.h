// Short forms of the C API calls made everywhere: attribute reads, calls and
// name lookups, each returning a new reference or throwing PythonErrorSet.
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"
#include "pyutil/py_version.h"
#include "pyutil/python_error.h"

namespace pyutil {

inline OwnedRef GetAttr(PyObject* object, PyObject* name) {
  return RequireNew(PyObject_GetAttr(object, name));
}

// Calls with positional arguments, each a borrowed PyObject*.
template <typename... Arguments>
OwnedRef Call(PyObject* callable, Arguments... arguments) {
  return RequireNew(PyObject_CallFunctionObjArgs(callable, arguments..., nullptr));
}

template <typename... Arguments>
OwnedRef CallMethod(PyObject* object, PyObject* method_name, Arguments... arguments) {
  OwnedRef method = GetAttr(object, method_name);
  return Call(method.get(), arguments...);
}

inline OwnedRef InternedString(const char* text) {
  return RequireNew(NewInternedNativeString(text));
}

// A name as a function body sees a global: the namespace dict first, then
// the builtins dict; NameError when neither has it.
OwnedRef LookupGlobal(PyObject* globals, PyObject* builtins, PyObject* name);

}  // namespace pyutil
