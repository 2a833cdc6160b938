// Argument checking for functions whose parameters may be given by position
// or by keyword, with the interpreter-style messages every caller of the
// module sees ("IsFAT() takes exactly 2 positional arguments (1 given)").
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"

namespace pyutil {

// The arguments of a call of a function that takes keywords, as the
// interpreter hands them over (see pyutil/method_definition.h): in 2.7 a
// tuple and a dict; in 3 an array of the positional arguments followed by
// the values of the keywords `keyword_names` names, which spares a tuple
// and a dict on every call.
struct CallArguments {
  PyObject* const* positional = nullptr;
  Py_ssize_t positional_count = 0;
  PyObject* keywords = nullptr;       // 2.7: a dict, or nullptr
  PyObject* keyword_names = nullptr;  // 3: a tuple of str, or nullptr
};

struct Signature {
  const char* function_name;           // simple name, first field of every message
  const char* const* parameter_names;  // in positional order, `self` included for methods
  Py_ssize_t parameter_count;
  Py_ssize_t required_count;           // the leading parameters without defaults
};

// Fills values[0 .. parameter_count) with borrowed references to the
// arguments; an optional parameter that was not given is left nullptr.
// Keywords are read from a dict of their own (a copy of 2.7's, which reaches
// us as the caller made it: a keyword's __eq__, run while parsing, may empty
// it), which is returned: the caller keeps it while it uses `values`.
// Throws PythonErrorSet with a TypeError for every misuse.
[[nodiscard]] OwnedRef ParseKeywordArguments(const Signature& signature,
                                             const CallArguments& call, PyObject** values);

// The common call (arguments by position only, as many as the function
// takes, or as many as it requires) is read here, without a call; every
// other form goes through ParseKeywordArguments.
[[nodiscard]] inline OwnedRef ParseArguments(const Signature& signature,
                                             const CallArguments& call, PyObject** values) {
  const bool no_keywords =
      call.keywords == nullptr &&
      (call.keyword_names == nullptr || PyTuple_GET_SIZE(call.keyword_names) == 0);
  const Py_ssize_t count = call.positional_count;
  if (!no_keywords || count < signature.required_count || count > signature.parameter_count) {
    return ParseKeywordArguments(signature, call, values);
  }
  for (Py_ssize_t index = 0; index < count; ++index) values[index] = call.positional[index];
  for (Py_ssize_t index = count; index < signature.parameter_count; ++index) {
    values[index] = nullptr;
  }
  return OwnedRef();
}

}  // namespace pyutil
