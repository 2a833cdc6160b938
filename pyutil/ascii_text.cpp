#include "pyutil/ascii_text.h"

#include <cstring>

#include "pyutil/py_version.h"
#include "pyutil/python_error.h"

namespace pyutil {

OwnedRef NativeStringFromAsciiText(PyObject* text, PyObject* encode, PyObject* ascii) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(encode);
  static_cast<void>(ascii);
  return OwnedRef::Borrow(text);
#else
  return RequireNew(PyObject_CallMethodObjArgs(text, encode, ascii, nullptr));
#endif
}

OwnedRef NativeStringFromAsciiSlice(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
#if PY_MAJOR_VERSION >= 3
  // What the match object's group() gives: the slice of the text.
  return RequireNew(PyUnicode_Substring(text, start, end));
#else
  // A new str of the given size, filled in, as 2.7's ASCII encoder makes it.
  OwnedRef bytes = RequireNew(PyString_FromStringAndSize(nullptr, end - start));
  const Py_UNICODE* characters = PyUnicode_AS_UNICODE(text);
  char* out = PyString_AS_STRING(bytes.get());
  for (Py_ssize_t index = start; index < end; ++index) {
    *out++ = static_cast<char>(characters[index]);
  }
  return bytes;
#endif
}

OwnedRef CompileAsciiPattern(PyObject* compile, PyObject* re_module, PyObject* pattern) {
#if PY_MAJOR_VERSION >= 3
  OwnedRef ascii = RequireNew(PyObject_GetAttrString(re_module, "ASCII"));
  return RequireNew(PyObject_CallFunctionObjArgs(compile, pattern, ascii.get(), nullptr));
#else
  static_cast<void>(re_module);
  return RequireNew(PyObject_CallFunctionObjArgs(compile, pattern, nullptr));
#endif
}

bool IsCompiledAsciiPattern(PyObject* object, const char* pattern) {
  PyTypeObject* type = Py_TYPE(object);
#if PY_MAJOR_VERSION >= 3
  // _sre's type: made by C code, immutable and final (a class written in
  // Python is always mutable and can always be subclassed).
  constexpr char kPatternTypeName[] = "re.Pattern";
  const bool engine_type = (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) != 0 &&
                           (type->tp_flags & Py_TPFLAGS_BASETYPE) == 0;
  constexpr long kFlags = 256;  // re.ASCII alone: a str pattern compiled with it
#else
  // _sre's static type, which cannot be subclassed or changed.
  constexpr char kPatternTypeName[] = "_sre.SRE_Pattern";
  const bool engine_type = (type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0 &&
                           (type->tp_flags & Py_TPFLAGS_BASETYPE) == 0;
  constexpr long kFlags = 0;  // a str pattern compiled without flags
#endif
  if (!engine_type || std::strcmp(type->tp_name, kPatternTypeName) != 0) return false;
  OwnedRef text = RequireNew(PyObject_GetAttrString(object, "pattern"));
  OwnedRef expected_text = RequireNew(NewNativeString(pattern));
  if (!IsNativeStringExact(text.get()) ||
      !RequireStatus(PyObject_RichCompareBool(text.get(), expected_text.get(), Py_EQ))) {
    return false;
  }
  OwnedRef flags = RequireNew(PyObject_GetAttrString(object, "flags"));
  if (!IsIntegerExact(flags.get())) return false;
  const long value = IntegerAsLong(flags.get());
  if (value == -1 && PyErr_Occurred()) ThrowPythonError();
  return value == kFlags;
}

}  // namespace pyutil
