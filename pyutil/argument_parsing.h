// Argument checking for functions whose parameters may be given by position
// or by keyword, with the interpreter-style messages every caller of the
// module sees ("IsFAT() takes exactly 2 positional arguments (1 given)").
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"

namespace pyutil {

struct Signature {
  const char* function_name;           // simple name, first field of every message
  const char* const* parameter_names;  // in positional order, `self` included for methods
  Py_ssize_t parameter_count;
  Py_ssize_t required_count;           // the leading parameters without defaults
};

// Fills values[0 .. parameter_count) with borrowed references to the
// arguments; an optional parameter that was not given is left nullptr.
// Keywords are read from a copy of `kwargs`, which is returned: the caller
// keeps it while it uses `values`. (The caller's dict reaches us as it is,
// and a keyword's __eq__, run while parsing, may empty it.)
// Throws PythonErrorSet with a TypeError for every misuse.
[[nodiscard]] OwnedRef ParseArguments(const Signature& signature, PyObject* args,
                                      PyObject* kwargs, PyObject** values);

}  // namespace pyutil
