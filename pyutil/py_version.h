// What CPython 2.7 and CPython 3 spell differently, in one place: the
// rest of the code says what it means ("the interpreter's native str", "a
// module entry") and the one block below says how each interpreter spells
// it, one line a name. Only calls that current Python 3 releases still have
// are used on the Python 3 side (no Py_UNICODE, no PyUnicode_AS_UNICODE).
//
// Helpers that do more than spell a call differently (imitations of 2.7
// behaviour, speed paths) live beside their users, each saying why it
// exists and which test pins it: pyutil/dicts.h, pyutil/system_names.h,
// pyutil/ascii_text.h, pyutil/unicode_units.h, pyutil/import_error.h,
// LookupSpecialMethod in pyutil/calls.h, and the binding function's and
// traceback entry's own in their .cpp files.
//
// The names:
// - kPython3: whether this is Python 3, for the few plain `if`s on it.
// - kBuiltinsModuleName, kDefaultImportLevel: the module of the built-in
//   names, and the import level of an import without dots (2.7 tries the
//   importing package first, -1; Python 3 imports absolutely, 0).
// - kBuiltinExceptionsModuleName, VOLUMES_BUILTIN_EXCEPTIONS: the module of
//   the built-in exception classes ("exceptions" in 2.7, where it is not the
//   module of the built-in names), and the same as a prefix of their
//   qualified names ("exceptions.WindowsError", "builtins.WindowsError").
// - kTextTypeName, kAnyTextTypeName: the type names argument errors give
//   for text: 2.7's unicode (and basestring, str or unicode), 3's str.
// - The native str is `str` of each interpreter: bytes in 2.7, text in 3.
//   IsNativeString[Exact], NewNativeString[AndSize], NewInternedNativeString
//   and NewNativeStringFromFormat[V] (PyErr_Format's formats) return new
//   references or nullptr with an error set, as the C API calls do;
//   InternNativeStringInPlace replaces *text by its interned equal (the
//   reference is transferred); FormatNativeString is `format % arguments`.
//   NativeStringText is its C text: its bytes in 2.7, its UTF-8 in 3
//   (nullptr with an error set when it has none, as for a lone surrogate),
//   valid while the object lives.
// - TextOf: str(object) where 2.7 would make unicode(object).
// - Integers are `int` and `long` in 2.7, `int` in 3. IsInteger[Exact];
//   IntegerAsLong, the C long of any integer (2.7: or of an object with
//   __int__), -1 with an error set when it has none; IntegerAsUnsignedLongMask,
//   its low bits as the C API's mask conversions give them; NewInteger;
//   ShortIntValue and IsShortIntExact: 2.7's small int, whose value is read
//   without a conversion (nothing in 3, whose integers all take the general
//   path); SecondIntegerSlot: the second way to an integer after __int__,
//   and its name for messages (__long__ in 2.7, __index__ in 3).
// - ModuleDefinition, VOLUMES_MODULE_DEFINITION(name, doc, methods) and
//   CreateModule: a module's definition (a static, which must outlive the
//   process: its short name, docstring and functions) and the module made
//   of it. Python 3 modules keep no per-module state (m_size -1), so that,
//   as in 2.7, the module is initialised once per process and a second
//   import copies its namespace. CreateModule gives an empty OwnedRef, with
//   or without an error set, when it fails; in 2.7 the interpreter keeps
//   the module in sys.modules and the reference is one of our own.
#pragma once

#include <Python.h>

#include <cstdarg>
#include <optional>

#include "pyutil/owned_ref.h"

namespace pyutil {

struct IntegerSlot {
  unaryfunc function;
  const char* name;
};

#if PY_MAJOR_VERSION >= 3
inline constexpr bool kPython3 = true;
inline constexpr char kBuiltinsModuleName[] = "builtins";
inline constexpr long kDefaultImportLevel = 0;
inline constexpr char kBuiltinExceptionsModuleName[] = "builtins";
#define VOLUMES_BUILTIN_EXCEPTIONS "builtins."
inline constexpr char kTextTypeName[] = "str";
inline constexpr char kAnyTextTypeName[] = "str";

inline bool IsNativeString(PyObject* object) { return PyUnicode_Check(object); }
inline bool IsNativeStringExact(PyObject* object) { return PyUnicode_CheckExact(object); }
inline PyObject* NewNativeString(const char* text) { return PyUnicode_FromString(text); }
inline PyObject* NewNativeStringAndSize(const char* text, Py_ssize_t size) {
  return PyUnicode_FromStringAndSize(text, size);
}
inline PyObject* NewNativeStringFromFormatV(const char* format, va_list arguments) {
  return PyUnicode_FromFormatV(format, arguments);
}
template <typename... Arguments>
PyObject* NewNativeStringFromFormat(const char* format, Arguments... arguments) {
  return PyUnicode_FromFormat(format, arguments...);
}
inline PyObject* NewInternedNativeString(const char* text) {
  return PyUnicode_InternFromString(text);
}
inline void InternNativeStringInPlace(PyObject** text) { PyUnicode_InternInPlace(text); }
inline PyObject* FormatNativeString(PyObject* format, PyObject* arguments) {
  return PyUnicode_Format(format, arguments);
}
inline const char* NativeStringText(PyObject* text) { return PyUnicode_AsUTF8(text); }
inline PyObject* TextOf(PyObject* object) { return PyObject_Str(object); }

inline bool IsInteger(PyObject* object) { return PyLong_Check(object); }
inline bool IsIntegerExact(PyObject* object) { return PyLong_CheckExact(object); }
inline long IntegerAsLong(PyObject* object) { return PyLong_AsLong(object); }
inline unsigned long IntegerAsUnsignedLongMask(PyObject* object) {
  return PyLong_AsUnsignedLongMask(object);
}
inline PyObject* NewInteger(long value) { return PyLong_FromLong(value); }
inline std::optional<long> ShortIntValue(PyObject*) { return std::nullopt; }
inline bool IsShortIntExact(PyObject*) { return false; }
inline IntegerSlot SecondIntegerSlot(PyNumberMethods* methods) {
  return {methods->nb_index, "index"};
}

using ModuleDefinition = PyModuleDef;
#define VOLUMES_MODULE_DEFINITION(name, doc, methods) \
  { PyModuleDef_HEAD_INIT, name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr }
inline OwnedRef CreateModule(ModuleDefinition& definition) noexcept {
  return OwnedRef::Steal(PyModule_Create(&definition));
}
#else
inline constexpr bool kPython3 = false;
inline constexpr char kBuiltinsModuleName[] = "__builtin__";
inline constexpr long kDefaultImportLevel = -1;
inline constexpr char kBuiltinExceptionsModuleName[] = "exceptions";
#define VOLUMES_BUILTIN_EXCEPTIONS "exceptions."
inline constexpr char kTextTypeName[] = "unicode";
inline constexpr char kAnyTextTypeName[] = "basestring";

inline bool IsNativeString(PyObject* object) { return PyString_Check(object); }
inline bool IsNativeStringExact(PyObject* object) { return PyString_CheckExact(object); }
inline PyObject* NewNativeString(const char* text) { return PyString_FromString(text); }
inline PyObject* NewNativeStringAndSize(const char* text, Py_ssize_t size) {
  return PyString_FromStringAndSize(text, size);
}
inline PyObject* NewNativeStringFromFormatV(const char* format, va_list arguments) {
  return PyString_FromFormatV(format, arguments);
}
template <typename... Arguments>
PyObject* NewNativeStringFromFormat(const char* format, Arguments... arguments) {
  return PyString_FromFormat(format, arguments...);
}
inline PyObject* NewInternedNativeString(const char* text) {
  return PyString_InternFromString(text);
}
inline void InternNativeStringInPlace(PyObject** text) { PyString_InternInPlace(text); }
inline PyObject* FormatNativeString(PyObject* format, PyObject* arguments) {
  return PyString_Format(format, arguments);
}
inline const char* NativeStringText(PyObject* text) { return PyString_AsString(text); }
inline PyObject* TextOf(PyObject* object) { return PyObject_Unicode(object); }

inline bool IsInteger(PyObject* object) { return PyInt_Check(object) || PyLong_Check(object); }
inline bool IsIntegerExact(PyObject* object) {
  return PyInt_CheckExact(object) || PyLong_CheckExact(object);
}
inline long IntegerAsLong(PyObject* object) { return PyInt_AsLong(object); }
inline unsigned long IntegerAsUnsignedLongMask(PyObject* object) {
  return PyInt_AsUnsignedLongMask(object);
}
inline PyObject* NewInteger(long value) { return PyInt_FromLong(value); }
inline std::optional<long> ShortIntValue(PyObject* object) {
  if (PyInt_Check(object)) return PyInt_AS_LONG(object);
  return std::nullopt;
}
inline bool IsShortIntExact(PyObject* object) { return PyInt_CheckExact(object); }
inline IntegerSlot SecondIntegerSlot(PyNumberMethods* methods) {
  return {methods->nb_long, "long"};
}

struct ModuleDefinition {
  const char* name;
  const char* doc;
  PyMethodDef* methods;
};
#define VOLUMES_MODULE_DEFINITION(name, doc, methods) \
  { name, doc, methods }
inline OwnedRef CreateModule(ModuleDefinition& definition) noexcept {
  return OwnedRef::Borrow(Py_InitModule4(definition.name, definition.methods, definition.doc,
                                         nullptr, PYTHON_API_VERSION));
}
#endif

// ---- the exception being handled, which exception_state.h saves and puts
// back: not a spelling (in 2.7 it edits the thread state itself), kept here
// beside its definitions in py_version.cpp.

// A normalised exception's traceback made its own (`__traceback__` in 3,
// as an `except` clause does it); nothing in 2.7, whose exceptions carry
// none.
void AttachTraceback(PyObject* value, PyObject* traceback) noexcept;

}  // namespace pyutil
