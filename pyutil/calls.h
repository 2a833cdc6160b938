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

// object.method_name(arguments...): the attribute is looked up as for any
// attribute read, then called. Python 3 calls a method found on the type
// with the object as its first argument, as the interpreter's own method
// calls do, without making a bound method first.
template <typename... Arguments>
OwnedRef CallMethod(PyObject* object, PyObject* method_name, Arguments... arguments) {
#if PY_MAJOR_VERSION >= 3
  PyObject* const stack[] = {object, arguments...};
  return RequireNew(PyObject_VectorcallMethod(method_name, stack, 1 + sizeof...(arguments),
                                              nullptr));
#else
  OwnedRef method = GetAttr(object, method_name);
  return Call(method.get(), arguments...);
#endif
}

inline OwnedRef InternedString(const char* text) {
  return RequireNew(NewInternedNativeString(text));
}

// A name as a function body sees a global: the namespace dict first, then
// the builtins dict; NameError when neither has it.
OwnedRef LookupGlobal(PyObject* globals, PyObject* builtins, PyObject* name);

// A special method looked up as the interpreter looks it up for a `with`
// statement: on the type, bound to the object (2.7's old-style instances:
// on the instance). Throws AttributeError when it is missing. The refresh's
// `with` of the service's lock (volume_table_refresh.cpp); pinned by
// TableRefreshTest.testLockMethodsAreFoundAsTheWithStatementFindsThem
// (tests/python/test_table_refresh.py).
OwnedRef LookupSpecialMethod(PyObject* object, const char* name);

}  // namespace pyutil
