#include "pyutil/argument_parsing.h"

#include <cstring>

#include "pyutil/py_version.h"
#include "pyutil/python_error.h"

namespace pyutil {
namespace {

[[noreturn]] void RaiseCountError(const Signature& signature, Py_ssize_t given) {
  const bool exact = signature.required_count == signature.parameter_count;
  Py_ssize_t expected;
  const char* more_or_less;
  if (given < signature.required_count) {
    expected = signature.required_count;
    more_or_less = "at least";
  } else {
    expected = signature.parameter_count;
    more_or_less = "at most";
  }
  if (exact) more_or_less = "exactly";
  RaiseFormatted(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.function_name, more_or_less, expected,
                 expected == 1 ? "" : "s", given);
}

// The index of the parameter called `key`, or -1. Throws when a unicode key
// cannot be compared.
Py_ssize_t FindParameter(const Signature& signature, PyObject* key) {
  for (Py_ssize_t index = 0; index < signature.parameter_count; ++index) {
    const char* name = signature.parameter_names[index];
    if (!kPython3 && IsNativeString(key)) {
      // The whole key must match: a key with an embedded NUL is another name.
      if (static_cast<size_t>(PyBytes_GET_SIZE(key)) == std::strlen(name) &&
          std::strcmp(PyBytes_AS_STRING(key), name) == 0) {
        return index;
      }
    } else {
      OwnedRef unicode_name = RequireNew(PyUnicode_FromString(name));
      const int equal = PyObject_RichCompareBool(key, unicode_name.get(), Py_EQ);
      RequireStatus(equal);
      if (equal) return index;
    }
  }
  return -1;
}

// Keyword text for a message, as bytes: a unicode key is shown in the default
// encoding (2.7's ASCII, 3's UTF-8), with characters it cannot encode
// replaced, so that the caller still gets the TypeError about the keyword
// rather than an encoding error.
OwnedRef KeywordText(PyObject* key) {
  if (!kPython3 && IsNativeString(key)) return OwnedRef::Borrow(key);
  return RequireNew(
      PyUnicode_AsEncodedString(key, PyUnicode_GetDefaultEncoding(), "replace"));
}

void CheckRemainingKeywords(const Signature& signature, PyObject* kwargs,
                            Py_ssize_t positional_count) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    if (!IsNativeString(key) && !PyUnicode_Check(key)) {
      RaiseFormatted(PyExc_TypeError, "%.200s() keywords must be strings",
                     signature.function_name);
    }
    const Py_ssize_t index = FindParameter(signature, key);
    if (index >= positional_count) continue;  // taken in the first pass
    const OwnedRef text = KeywordText(key);
    if (index >= 0) {
      RaiseFormatted(PyExc_TypeError, "%s() got multiple values for keyword argument '%s'",
                     signature.function_name, PyBytes_AS_STRING(text.get()));
    }
    RaiseFormatted(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%.200s'",
                   signature.function_name, PyBytes_AS_STRING(text.get()));
  }
}

// A dict of the keywords of a call: a copy of 2.7's dict, or one made from
// Python 3's names and values. Empty when the call has none.
OwnedRef KeywordDict(const CallArguments& call) {
  if (call.keywords != nullptr) {
    if (PyDict_Size(call.keywords) == 0) return OwnedRef();
    return RequireNew(PyDict_Copy(call.keywords));
  }
  if (call.keyword_names == nullptr || PyTuple_GET_SIZE(call.keyword_names) == 0) {
    return OwnedRef();
  }
  OwnedRef keywords = RequireNew(PyDict_New());
  PyObject* const* keyword_values = call.positional + call.positional_count;
  for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(call.keyword_names); ++index) {
    RequireStatus(PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(call.keyword_names, index),
                                 keyword_values[index]));
  }
  return keywords;
}

}  // namespace

OwnedRef ParseKeywordArguments(const Signature& signature, const CallArguments& call,
                               PyObject** values) {
  const Py_ssize_t positional_count = call.positional_count;
  for (Py_ssize_t index = 0; index < signature.parameter_count; ++index) {
    values[index] = nullptr;
  }
  if (positional_count > signature.parameter_count) {
    RaiseCountError(signature, positional_count);
  }
  for (Py_ssize_t index = 0; index < positional_count; ++index) {
    values[index] = call.positional[index];
  }
  OwnedRef owned_kwargs = KeywordDict(call);
  if (!owned_kwargs) {
    if (positional_count < signature.required_count) {
      RaiseCountError(signature, positional_count);
    }
    return OwnedRef();
  }
  PyObject* const kwargs = owned_kwargs.get();
  // First pass: the parameters not given by position, in order. A missing
  // required one is reported with the count of those found before it.
  Py_ssize_t keywords_left = PyDict_Size(kwargs);
  for (Py_ssize_t index = positional_count; index < signature.parameter_count; ++index) {
    PyObject* value = keywords_left > 0
                          ? PyDict_GetItemString(kwargs, signature.parameter_names[index])
                          : nullptr;
    if (value != nullptr) {
      values[index] = value;
      --keywords_left;
    } else if (index < signature.required_count) {
      RaiseCountError(signature, index);
    }
  }
  // Second pass: whatever keywords are left over are errors.
  if (keywords_left > 0) CheckRemainingKeywords(signature, kwargs, positional_count);
  return owned_kwargs;
}

void RaiseArgumentTypeError(const ArgumentType& type, PyObject* value,
                            const char* parameter_name) {
  const char* given = value == Py_None ? "None" : Py_TYPE(value)->tp_name;
  if (parameter_name != nullptr) {
    RaiseFormatted(PyExc_TypeError,
                   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   parameter_name, type.name, given);
  }
  RaiseFormatted(PyExc_TypeError, "Expected %.16s, got %.200s", type.name, given);
}

}  // namespace pyutil
