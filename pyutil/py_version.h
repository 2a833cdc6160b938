// What differs between CPython 2.7 and CPython 3 for our modules, in one
// place. The rest of the code says what it means ("the interpreter's native
// str", "a module entry") and these definitions say how each interpreter
// spells it. Only calls that current Python 3 releases still have are used
// on the Python 3 side (no Py_UNICODE, no PyUnicode_AS_UNICODE).
//
// The native str is `str` of each interpreter: bytes in 2.7, text in 3.
// Integers are `int` and `long` in 2.7, `int` in 3.
#pragma once

#include <Python.h>

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <optional>
#include <utility>

#include "pyutil/owned_ref.h"
#include "pyutil/python_error.h"

namespace pyutil {

inline constexpr bool kPython3 = PY_MAJOR_VERSION >= 3;

// The module that holds the built-in names, and the import level of an
// import statement without dots: 2.7 tries the importing package first
// (-1); Python 3 has absolute imports only (0).
#if PY_MAJOR_VERSION >= 3
inline constexpr char kBuiltinsModuleName[] = "builtins";
inline constexpr long kDefaultImportLevel = 0;
#else
inline constexpr char kBuiltinsModuleName[] = "__builtin__";
inline constexpr long kDefaultImportLevel = -1;
#endif

// The module of the built-in exception classes ("exceptions" in 2.7, where
// it is not the module of the built-in names), and the same as a prefix of
// their qualified names ("exceptions.WindowsError", "builtins.WindowsError").
#if PY_MAJOR_VERSION >= 3
#define VOLUMES_BUILTIN_EXCEPTIONS "builtins."
inline constexpr char kBuiltinExceptionsModuleName[] = "builtins";
#else
#define VOLUMES_BUILTIN_EXCEPTIONS "exceptions."
inline constexpr char kBuiltinExceptionsModuleName[] = "exceptions";
#endif

// ---- the native str. Each returns a new reference, or nullptr with an
// error set, as the C API calls do.

inline bool IsNativeString(PyObject* object) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_Check(object);
#else
  return PyString_Check(object);
#endif
}

inline bool IsNativeStringExact(PyObject* object) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_CheckExact(object);
#else
  return PyString_CheckExact(object);
#endif
}

inline PyObject* NewNativeString(const char* text) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_FromString(text);
#else
  return PyString_FromString(text);
#endif
}

inline PyObject* NewNativeStringAndSize(const char* text, Py_ssize_t size) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_FromStringAndSize(text, size);
#else
  return PyString_FromStringAndSize(text, size);
#endif
}

// PyErr_Format's formats (%s, %.200s, %zd, %p, ...).
inline PyObject* NewNativeStringFromFormatV(const char* format, va_list arguments) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_FromFormatV(format, arguments);
#else
  return PyString_FromFormatV(format, arguments);
#endif
}

PyObject* NewNativeStringFromFormat(const char* format, ...);

inline PyObject* NewInternedNativeString(const char* text) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_InternFromString(text);
#else
  return PyString_InternFromString(text);
#endif
}

// Replaces *text by its interned equal (the reference is transferred).
inline void InternNativeStringInPlace(PyObject** text) {
#if PY_MAJOR_VERSION >= 3
  PyUnicode_InternInPlace(text);
#else
  PyString_InternInPlace(text);
#endif
}

// `format % arguments` of a native str format.
inline PyObject* FormatNativeString(PyObject* format, PyObject* arguments) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_Format(format, arguments);
#else
  return PyString_Format(format, arguments);
#endif
}

// The C text of a native str: its bytes in 2.7, its UTF-8 in 3 (nullptr
// with an error set when it has none, as for a lone surrogate). Valid while
// the object lives.
const char* NativeStringText(PyObject* text);

// The type names that argument errors give for text: 2.7's unicode (and
// basestring, str or unicode), 3's str for both.
#if PY_MAJOR_VERSION >= 3
inline constexpr char kTextTypeName[] = "str";
inline constexpr char kAnyTextTypeName[] = "str";
#else
inline constexpr char kTextTypeName[] = "unicode";
inline constexpr char kAnyTextTypeName[] = "basestring";
#endif

// Whether an object is exactly the text type or the native str (in 3 the
// same type).
inline bool IsTextOrNativeStringExact(PyObject* object) {
  return PyUnicode_CheckExact(object) || IsNativeStringExact(object);
}

// The native str of a name that the system hands over in its code page
// `codec` ("mbcs" on Windows; Linux processes speak UTF-8): in 2.7 the text
// encoded with it; in 3 the text those bytes decode to, with the file
// system encoding and surrogateescape off Windows (so bytes that are not
// UTF-8 survive as escapes) and with `codec` on Windows. Throws
// PythonErrorSet.
OwnedRef SystemNativeString(PyObject* text, const char* codec);

// str(object) where 2.7 would make unicode(object): the text of an object.
inline PyObject* TextOf(PyObject* object) {
#if PY_MAJOR_VERSION >= 3
  return PyObject_Str(object);
#else
  return PyObject_Unicode(object);
#endif
}

// A native str holding the same ASCII text as `text` (a unicode object of
// ASCII characters, such as a match of an ASCII-only pattern): in 2.7 what
// text.encode('ascii') gives (`encode` and `ascii` are those names), in 3
// the object itself. Throws PythonErrorSet.
OwnedRef NativeStringFromAsciiText(PyObject* text, PyObject* encode, PyObject* ascii);

// The native str that NativeStringFromAsciiText gives for text[start:end]
// of a unicode object whose characters there are ASCII, without the slice
// and the codec call of 2.7. Throws PythonErrorSet.
OwnedRef NativeStringFromAsciiSlice(PyObject* text, Py_ssize_t start, Py_ssize_t end);

// re.compile(pattern) of a pattern whose \w and \d mean ASCII characters
// only, as a 2.7 byte-string pattern without flags means them: Python 3
// passes re.ASCII. Throws PythonErrorSet.
OwnedRef CompileAsciiPattern(PyObject* compile, PyObject* re_module, PyObject* pattern);

// Whether `object` is what the interpreter's own re gives for
// CompileAsciiPattern of `pattern`: a compiled pattern of the C type that
// nobody can subclass or change, with that text and the flags of a pattern
// compiled so. Its matches are then the engine's, whatever `re` was when it
// was compiled. Throws PythonErrorSet.
bool IsCompiledAsciiPattern(PyObject* object, const char* pattern);

// ---- dicts

// dict.get(key, fallback) of an exact dict, as a borrowed reference
// (`fallback`, None unless given, when the key is absent), raising what the
// keys' comparisons raise as dict.get does. 2.7's PyDict_GetItem swallows
// such an error and reports a miss, so there a miss is checked again with
// PyDict_Contains, which reports it. Throws PythonErrorSet.
inline PyObject* DictGet(PyObject* dict, PyObject* key, PyObject* fallback = Py_None) {
#if PY_MAJOR_VERSION >= 3
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr_Occurred()) ThrowPythonError();
#else
  PyObject* value = PyDict_GetItem(dict, key);
  if (value == nullptr && PyDict_Contains(dict, key) < 0) ThrowPythonError();
#endif
  return value != nullptr ? value : fallback;
}

// a == b, for two names the system gave (exact unicode objects) compared
// as 2.7 compares them, unit by unit, without its generic comparison; any
// other objects through the generic one. Throws PythonErrorSet.
inline bool TextEquals(PyObject* a, PyObject* b) {
#if PY_MAJOR_VERSION < 3
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
    const Py_ssize_t length = PyUnicode_GET_SIZE(a);
    return length == PyUnicode_GET_SIZE(b) &&
           std::memcmp(PyUnicode_AS_UNICODE(a), PyUnicode_AS_UNICODE(b),
                       static_cast<std::size_t>(length) * sizeof(Py_UNICODE)) == 0;
  }
#endif
  return RequireStatus(PyObject_RichCompareBool(a, b, Py_EQ)) != 0;
}

// The size to make a dict for keyword arguments `names` (stored in this
// order) at once: their count in Python 3, whose dicts keep the order of
// insertion whatever their size. 2.7 orders a dict's keys by its table, so
// there a dict made at once must end with the very table the interpreter's
// own keyword dict for the call grows into: the table size that one ends
// with, where a dict of that size filled in order puts every name in the
// same slot (as the names' hashes fall, the same for the whole process:
// both dicts are built once to see), else 0: grown as the interpreter grows
// it. Throws PythonErrorSet.
Py_ssize_t KeywordDictPresize(const OwnedRef* names, std::size_t count);

// Dicts of the same N keyword names, stored in the same order, for one call
// site that passes them each time: each made at its final size where that
// leaves it as the interpreter would make it (KeywordDictPresize).
template <std::size_t N>
class KeywordDictShape {
 public:
  KeywordDictShape() = default;
  // Throws PythonErrorSet.
  explicit KeywordDictShape(std::array<OwnedRef, N> names)
      : names_(std::move(names)), presize_(KeywordDictPresize(names_.data(), N)) {}

  // A new dict holding values[i] under the i-th name, stored in order.
  // Throws PythonErrorSet.
  OwnedRef Build(const std::array<PyObject*, N>& values) const {
    OwnedRef dict = RequireNew(presize_ != 0 ? _PyDict_NewPresized(presize_) : PyDict_New());
    for (std::size_t index = 0; index < N; ++index) {
      RequireStatus(PyDict_SetItem(dict.get(), names_[index].get(), values[index]));
    }
    return dict;
  }

 private:
  std::array<OwnedRef, N> names_;
  Py_ssize_t presize_ = 0;
};

// ---- integers

// int or long in 2.7, int in 3.
inline bool IsInteger(PyObject* object) {
#if PY_MAJOR_VERSION >= 3
  return PyLong_Check(object);
#else
  return PyInt_Check(object) || PyLong_Check(object);
#endif
}

inline bool IsIntegerExact(PyObject* object) {
#if PY_MAJOR_VERSION >= 3
  return PyLong_CheckExact(object);
#else
  return PyInt_CheckExact(object) || PyLong_CheckExact(object);
#endif
}

// The C long of any integer (2.7: int or long, or an object with __int__),
// -1 with an error set when it has none.
inline long IntegerAsLong(PyObject* object) {
#if PY_MAJOR_VERSION >= 3
  return PyLong_AsLong(object);
#else
  return PyInt_AsLong(object);
#endif
}

// The low bits of any integer as an unsigned long, as the C API's mask
// conversions give them.
inline unsigned long IntegerAsUnsignedLongMask(PyObject* object) {
#if PY_MAJOR_VERSION >= 3
  return PyLong_AsUnsignedLongMask(object);
#else
  return PyInt_AsUnsignedLongMask(object);
#endif
}

// 2.7's small int, whose value is read without a conversion; nothing in 3,
// whose integers all take the general path.
inline std::optional<long> ShortIntValue(PyObject* object) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(object);
  return std::nullopt;
#else
  if (PyInt_Check(object)) return PyInt_AS_LONG(object);
  return std::nullopt;
#endif
}

inline bool IsShortIntExact(PyObject* object) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(object);
  return false;
#else
  return PyInt_CheckExact(object);
#endif
}

// An int of a C long: 2.7's int, 3's int.
inline PyObject* NewInteger(long value) {
#if PY_MAJOR_VERSION >= 3
  return PyLong_FromLong(value);
#else
  return PyInt_FromLong(value);
#endif
}

// The second way to an integer after __int__, and its name for messages:
// __long__ in 2.7, __index__ in 3 (which has no __long__).
struct IntegerSlot {
  unaryfunc function;
  const char* name;
};
inline IntegerSlot SecondIntegerSlot(PyNumberMethods* methods) {
#if PY_MAJOR_VERSION >= 3
  return {methods->nb_index, "index"};
#else
  return {methods->nb_long, "long"};
#endif
}

// ---- unicode text as the interpreter stores it: 2.7 in Py_UNICODE units
// (UCS-4 on Debian, UTF-16 on Windows), 3 in whole code points.
#if PY_MAJOR_VERSION >= 3
using UnicodeUnit = Py_UCS4;
inline constexpr bool kUnicodeUnitsAreCodePoints = true;
#else
using UnicodeUnit = Py_UNICODE;
inline constexpr bool kUnicodeUnitsAreCodePoints = Py_UNICODE_SIZE == 4;
#endif

// Read access to the units of a unicode object, which must outlive it.
class UnicodeUnits {
 public:
  // Throws PythonErrorSet when the object cannot be read.
  explicit UnicodeUnits(PyObject* unicode);
  Py_ssize_t size() const noexcept { return length_; }
  std::uint32_t operator[](Py_ssize_t index) const noexcept {
#if PY_MAJOR_VERSION >= 3
    return PyUnicode_READ(kind_, data_, index);
#else
    return static_cast<std::uint32_t>(units_[index]);
#endif
  }

  // Calls visit(units, size()) with the units as stored, typed by their
  // width: 3's Py_UCS1, Py_UCS2 or Py_UCS4 array, 2.7's Py_UNICODE array.
  // A unit of 1 or 2 bytes is a code point of the BMP (or 2.7's UTF-16
  // unit on Windows); a 4-byte unit is a whole code point.
  template <typename Visitor>
  decltype(auto) Visit(Visitor&& visit) const {
#if PY_MAJOR_VERSION >= 3
    switch (kind_) {
      case PyUnicode_1BYTE_KIND:
        return visit(static_cast<const Py_UCS1*>(data_), length_);
      case PyUnicode_2BYTE_KIND:
        return visit(static_cast<const Py_UCS2*>(data_), length_);
      default:
        return visit(static_cast<const Py_UCS4*>(data_), length_);
    }
#else
    return visit(units_, length_);
#endif
  }

 private:
  Py_ssize_t length_ = 0;
#if PY_MAJOR_VERSION >= 3
  int kind_ = 0;
  const void* data_ = nullptr;
#else
  const Py_UNICODE* units_ = nullptr;
#endif
};

// A unicode object of `length` units. Throws PythonErrorSet.
OwnedRef NewUnicodeFromUnits(const UnicodeUnit* units, Py_ssize_t length);

// A unicode object of `length` characters, each the code point of one
// 16-bit unit of `units`, or an empty OwnedRef when a unit is a surrogate
// (0xD800-0xDFFF), which the caller may have to pair with the next one
// (never empty under a 2.7 that stores UTF-16 units itself: there the units
// are the text, pairs included).
// Empty and one-character results are the interpreter's shared objects,
// as they are from NewUnicodeFromUnits. Throws PythonErrorSet.
template <typename Unit>
OwnedRef NewUnicodeWithoutSurrogates(const Unit* units, Py_ssize_t length) {
  static_assert(sizeof(Unit) == 2, "16-bit units");
#if PY_MAJOR_VERSION >= 3
  // The interpreter finds the largest character and stores the text in its
  // narrowest form, as for any text it makes; only text that it has to
  // keep in 16-bit units can hold a surrogate.
  OwnedRef text = RequireNew(PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, units, length));
  if (PyUnicode_KIND(text.get()) != PyUnicode_2BYTE_KIND) return text;
  const Py_UCS2* characters = PyUnicode_2BYTE_DATA(text.get());
  for (Py_ssize_t index = 0; index < length; ++index) {
    if ((characters[index] & 0xF800) == 0xD800) return OwnedRef();
  }
  return text;
#elif Py_UNICODE_SIZE == 2
  // Units of UTF-16 themselves: a pair stays a pair.
  return RequireNew(PyUnicode_FromUnicode(units, length));
#else
  if (length <= 1) {
    const Py_UNICODE first = length == 1 ? static_cast<Py_UNICODE>(units[0]) : 0;
    return RequireNew(PyUnicode_FromUnicode(&first, length));
  }
  OwnedRef text = RequireNew(PyUnicode_FromUnicode(nullptr, length));
  Py_UNICODE* characters = PyUnicode_AS_UNICODE(text.get());
  unsigned surrogates = 0;
  const auto widen = [&](Py_ssize_t index) {
    surrogates |= (static_cast<unsigned>(units[index]) & 0xF800) == 0xD800;
    characters[index] = static_cast<Py_UNICODE>(units[index]);
  };
  // Eight units a step, with a fixed count the compiler turns into vector
  // instructions; the rest one by one.
  Py_ssize_t index = 0;
  for (; index + 8 <= length; index += 8) {
    for (Py_ssize_t k = 0; k < 8; ++k) widen(index + k);
  }
  for (; index < length; ++index) widen(index);
  if (surrogates != 0) return OwnedRef();
  return text;
#endif
}

// ---- objects and types

// A static type object's own reference, which is never released.
inline void SetStaticTypeReference(PyTypeObject* type) {
  reinterpret_cast<PyObject*>(type)->ob_refcnt = 1;
}

// What a function object stored in a class gives for `instance.name` (a
// bound method) and for `Class.name`: 2.7's unbound method, 3's function
// itself. A new reference, or nullptr with an error set.
PyObject* BindFunction(PyObject* function, PyObject* instance, PyObject* owner);

// A special method looked up as the interpreter looks it up for a `with`
// statement: on the type, bound to the object (2.7's old-style instances:
// on the instance). Throws AttributeError when it is missing.
OwnedRef LookupSpecialMethod(PyObject* object, const char* name);

// A normalised exception's traceback made its own (`__traceback__` in 3,
// as an `except` clause does it); nothing in 2.7, whose exceptions carry
// none.
void AttachTraceback(PyObject* value, PyObject* traceback) noexcept;

// The pending ImportError made to say `cause` caused it and `name` is the
// module it could not import (`raise ... from cause` and ImportError.name
// in 3); nothing in 2.7, whose exceptions have neither.
void SetPendingErrorCause(PyObject* cause, const char* name) noexcept;

// Whether `frame` runs `code`.
bool FrameRunsCode(struct _frame* frame, PyCodeObject* code) noexcept;

// A new frame for a traceback entry of a native function: `code` run with
// empty globals, at `line`. nullptr with an error set on failure.
struct _frame* NewTracebackFrame(PyCodeObject* code, int line) noexcept;

// ---- modules

#if PY_MAJOR_VERSION >= 3
using ModuleDefinition = PyModuleDef;
#define VOLUMES_MODULE_DEFINITION(name, doc, methods) \
  { PyModuleDef_HEAD_INIT, name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr }
#else
struct ModuleDefinition {
  const char* name;
  const char* doc;
  PyMethodDef* methods;
};
#define VOLUMES_MODULE_DEFINITION(name, doc, methods) \
  { name, doc, methods }
#endif

// Creates the module of a definition (which must outlive the process, a
// static): its short name, docstring and functions. Python 3 modules keep
// no per-module state (m_size -1), so that, as in 2.7, the module is
// initialised once per process and a second import copies its namespace.
// An empty OwnedRef, with or without an error set, when it fails.
OwnedRef CreateModule(ModuleDefinition& definition) noexcept;

}  // namespace pyutil
