// PyMethodDef holds every function as a PyCFunction; a function that takes
// keywords has another type and is stored through this conversion (the
// flags METH_VARARGS | METH_KEYWORDS tell the interpreter its real type).
#pragma once

#include <Python.h>

namespace pyutil {

inline PyCFunction KeywordsFunction(PyCFunctionWithKeywords function) {
  // Through a generic function pointer, which GCC accepts without warning.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace pyutil
