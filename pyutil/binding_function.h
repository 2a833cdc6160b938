// A native function that binds to an instance like a Python function.
//
// Built-in functions do not become methods when stored in a class; the
// methods of the classes we build must, so that `instance.Method(x)` passes
// the instance as the first argument and `Class.Method` is an unbound method.
// Calls are dispatched like built-in functions: METH_O functions get the one
// argument (the interpreter's messages for wrong counts and keywords),
// METH_VARARGS | METH_KEYWORDS functions get the argument tuple and dict,
// and, in Python 3, METH_FASTCALL | METH_KEYWORDS functions the arguments as
// the interpreter's vector call passes them (no tuple per call).
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"

namespace pyutil {

// `definition` must outlive the function (a static PyMethodDef). `defaults`
// may be nullptr (no defaults) or a tuple, shown as __defaults__.
OwnedRef NewBindingFunction(PyMethodDef* definition, PyObject* module_name,
                            PyObject* defaults);

}  // namespace pyutil
