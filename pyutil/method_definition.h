// PyMethodDef holds every function as a PyCFunction; a function that takes
// keywords has another type and is stored through these conversions (the
// flags tell the interpreter its real type).
#pragma once

#include <Python.h>

#include "pyutil/argument_parsing.h"

// A docstring with the function's signature in front, as Python 3's
// inspect.signature reads it ("name(signature)\n--\n\n", which 3 strips
// from __doc__); 2.7 has no such convention and gets the docstring alone.
// PYUTIL_SIGNATURE_ONLY: the same for a function without a docstring.
#if PY_MAJOR_VERSION >= 3
#define PYUTIL_SIGNED_DOC(name, signature, doc) name signature "\n--\n\n" doc
#define PYUTIL_SIGNATURE_ONLY(name, signature) name signature "\n--\n\n"
#else
#define PYUTIL_SIGNED_DOC(name, signature, doc) doc
#define PYUTIL_SIGNATURE_ONLY(name, signature) nullptr
#endif

namespace pyutil {

// A function of the tuple-and-dict form (flags METH_VARARGS | METH_KEYWORDS).
inline PyCFunction KeywordsFunction(PyCFunctionWithKeywords function) {
  // Through a generic function pointer, which GCC accepts without warning.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The functions whose arguments ParseArguments reads: written once, as
// PyObject* Body(PyObject* self, const CallArguments& arguments), and
// entered the way each interpreter calls fastest: 2.7 with a tuple and a
// dict, 3 with an array and the keywords' names (METH_FASTCALL), so that no
// tuple is made per call. Their PyMethodDef has the flags kParsedCallFlags
// and the function ParsedCallFunction<Body>().
using ParsedCallBody = PyObject* (*)(PyObject* self, const CallArguments& arguments);

#if PY_MAJOR_VERSION >= 3

inline constexpr int kParsedCallFlags = METH_FASTCALL | METH_KEYWORDS;

template <ParsedCallBody Body>
PyObject* ParsedCallEntry(PyObject* self, PyObject* const* arguments, Py_ssize_t count,
                          PyObject* keyword_names) {
  CallArguments call;
  call.positional = arguments;
  call.positional_count = count;
  call.keyword_names = keyword_names;
  return Body(self, call);
}

#else

inline constexpr int kParsedCallFlags = METH_VARARGS | METH_KEYWORDS;

template <ParsedCallBody Body>
PyObject* ParsedCallEntry(PyObject* self, PyObject* arguments, PyObject* keywords) {
  CallArguments call;
  call.positional = &PyTuple_GET_ITEM(arguments, 0);
  call.positional_count = PyTuple_GET_SIZE(arguments);
  call.keywords = keywords;
  return Body(self, call);
}

#endif

template <ParsedCallBody Body>
PyCFunction ParsedCallFunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&ParsedCallEntry<Body>));
}

}  // namespace pyutil
