// Argument checking for functions whose parameters may be given by position
// or by keyword, with the interpreter-style messages every caller of the
// module sees ("IsFAT() takes exactly 2 positional arguments (1 given)"),
// and the check of an argument's type.
#pragma once

#include <Python.h>

#include "pyutil/owned_ref.h"
#include "pyutil/py_version.h"

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

// The exact types a value may have, and the name its TypeError gives them.
struct ArgumentType {
  const char* name;
  bool (*accepts)(PyObject* value);
};

inline bool IsUnicodeExact(PyObject* value) { return PyUnicode_CheckExact(value); }

// Whether an object is exactly the text type or the native str (in 3 the
// same type).
inline bool IsTextOrNativeStringExact(PyObject* value) {
  return PyUnicode_CheckExact(value) || IsNativeStringExact(value);
}

// unicode (2.7) or str (3), by its name there.
inline constexpr ArgumentType kTextArgument = {kTextTypeName, IsUnicodeExact};
// str or unicode in 2.7 ("basestring"); str in 3.
inline constexpr ArgumentType kAnyTextArgument = {kAnyTextTypeName, IsTextOrNativeStringExact};
// The native str of either version.
inline constexpr ArgumentType kNativeStringArgument = {"str", IsNativeStringExact};

enum class NoneAllowed : bool { kNo, kYes };

// Raises the TypeError for `value`, which is not of `type`: "Argument 'path'
// has incorrect type (expected unicode, got int)" for a parameter, or, where
// `parameter_name` is nullptr (a value handed on inside the module, a
// result), "Expected unicode, got int". None is named "None".
[[noreturn]] void RaiseArgumentTypeError(const ArgumentType& type, PyObject* value,
                                         const char* parameter_name);

// Passes `value` of `type` (and None where `none` allows it); raises the
// TypeError above for anything else.
inline void CheckArgumentType(PyObject* value, const ArgumentType& type, NoneAllowed none,
                              const char* parameter_name = nullptr) {
  if (type.accepts(value) || (none == NoneAllowed::kYes && value == Py_None)) return;
  RaiseArgumentTypeError(type, value, parameter_name);
}

}  // namespace pyutil
