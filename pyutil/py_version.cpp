#include "pyutil/py_version.h"

#include <frameobject.h>

#include <cstring>

#include "pyutil/python_error.h"

namespace pyutil {

PyObject* NewNativeStringFromFormat(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyObject* text = NewNativeStringFromFormatV(format, arguments);
  va_end(arguments);
  return text;
}

const char* NativeStringText(PyObject* text) {
#if PY_MAJOR_VERSION >= 3
  return PyUnicode_AsUTF8(text);
#else
  return PyString_AsString(text);
#endif
}

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

#if PY_MAJOR_VERSION >= 3 && !defined(_WIN32)
namespace {

// Whether names from the system are decoded with UTF-8: the file system
// encoding, which Python 3 fixes at start-up.
bool FileSystemEncodingIsUtf8() {
  static const bool utf8 = [] {
    OwnedRef sys = RequireNew(PyImport_ImportModule("sys"));
    OwnedRef name = RequireNew(PyObject_CallMethod(sys.get(), "getfilesystemencoding", nullptr));
    OwnedRef codec = RequireNew(PyObject_CallMethod(
        RequireNew(PyImport_ImportModule("codecs")).get(), "lookup", "O", name.get()));
    OwnedRef codec_name = RequireNew(PyObject_GetAttrString(codec.get(), "name"));
    const char* text = NativeStringText(codec_name.get());
    if (text == nullptr) ThrowPythonError();
    return std::strcmp(text, "utf-8") == 0;
  }();
  return utf8;
}

}  // namespace
#endif

OwnedRef SystemNativeString(PyObject* text, const char* codec) {
#if PY_MAJOR_VERSION >= 3
#ifdef _WIN32
  OwnedRef bytes = RequireNew(PyUnicode_AsEncodedString(text, codec, "replace"));
  return RequireNew(PyUnicode_Decode(PyBytes_AS_STRING(bytes.get()),
                                     PyBytes_GET_SIZE(bytes.get()), codec, "replace"));
#else
  // ASCII text comes back from UTF-8 bytes as it went: the same text.
  if (PyUnicode_READY(text) < 0) ThrowPythonError();
  if (PyUnicode_IS_ASCII(text) && std::strcmp(codec, "utf-8") == 0 &&
      FileSystemEncodingIsUtf8()) {
    return OwnedRef::Borrow(text);
  }
  // Lone surrogates are encoded as 2.7's UTF-8 codec encodes them.
  OwnedRef bytes = RequireNew(PyUnicode_AsEncodedString(text, codec, "surrogatepass"));
  return RequireNew(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(bytes.get()),
                                                     PyBytes_GET_SIZE(bytes.get())));
#endif
#else
  return RequireNew(PyUnicode_AsEncodedString(text, codec, nullptr));
#endif
}

Py_ssize_t KeywordDictPresize(const OwnedRef* names, std::size_t count) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(names);
  return static_cast<Py_ssize_t>(count);
#else
  const auto filled = [&](PyObject* dict) {
    OwnedRef owner = RequireNew(dict);
    for (std::size_t index = 0; index < count; ++index) {
      RequireStatus(PyDict_SetItem(owner.get(), names[index].get(), Py_None));
    }
    return owner;
  };
  const OwnedRef grown = filled(PyDict_New());
  const Py_ssize_t mask = reinterpret_cast<PyDictObject*>(grown.get())->ma_mask;
  // A table of mask + 1 slots: _PyDict_NewPresized makes the smallest power
  // of two above the count it is given (and none for 5 or fewer).
  if (mask + 1 <= PyDict_MINSIZE) return 0;
  const OwnedRef sized = filled(_PyDict_NewPresized(mask));
  if (reinterpret_cast<PyDictObject*>(sized.get())->ma_mask != mask) return 0;
  // Slot by slot, as every reader of the dict goes through it.
  Py_ssize_t grown_slot = 0, sized_slot = 0;
  PyObject *grown_key, *sized_key, *value;
  for (;;) {
    const int more = PyDict_Next(grown.get(), &grown_slot, &grown_key, &value);
    if (more != PyDict_Next(sized.get(), &sized_slot, &sized_key, &value)) return 0;
    if (!more) return mask;
    if (grown_slot != sized_slot || grown_key != sized_key) return 0;
  }
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

UnicodeUnits::UnicodeUnits(PyObject* unicode) {
#if PY_MAJOR_VERSION >= 3
  if (PyUnicode_READY(unicode) < 0) ThrowPythonError();
  length_ = PyUnicode_GET_LENGTH(unicode);
  kind_ = PyUnicode_KIND(unicode);
  data_ = PyUnicode_DATA(unicode);
#else
  length_ = PyUnicode_GET_SIZE(unicode);
  units_ = PyUnicode_AS_UNICODE(unicode);
#endif
}

OwnedRef NewUnicodeFromUnits(const UnicodeUnit* units, Py_ssize_t length) {
#if PY_MAJOR_VERSION >= 3
  return RequireNew(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, units, length));
#else
  return RequireNew(PyUnicode_FromUnicode(units, length));
#endif
}

PyObject* BindFunction(PyObject* function, PyObject* instance, PyObject* owner) {
#if PY_MAJOR_VERSION >= 3
  static_cast<void>(owner);
  if (instance == nullptr || instance == Py_None) {
    Py_INCREF(function);
    return function;
  }
  return PyMethod_New(function, instance);
#else
  if (instance == Py_None) instance = nullptr;
  return PyMethod_New(function, instance, owner);
#endif
}

OwnedRef LookupSpecialMethod(PyObject* object, const char* name) {
  OwnedRef interned = RequireNew(NewInternedNativeString(name));
#if PY_MAJOR_VERSION < 3
  if (PyInstance_Check(object)) {
    return RequireNew(PyObject_GetAttr(object, interned.get()));
  }
#endif
  // Borrowed from the type's dict (or its bases'), which the type keeps.
  PyObject* found = _PyType_Lookup(Py_TYPE(object), interned.get());
  if (found == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, interned.get());
    ThrowPythonError();
  }
  descrgetfunc get = Py_TYPE(found)->tp_descr_get;
  if (get == nullptr) return OwnedRef::Borrow(found);
  return RequireNew(get(found, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

void AttachTraceback(PyObject* value, PyObject* traceback) noexcept {
#if PY_MAJOR_VERSION >= 3
  if (traceback != nullptr && traceback != Py_None && PyExceptionInstance_Check(value)) {
    PyException_SetTraceback(value, traceback);
  }
#else
  static_cast<void>(value);
  static_cast<void>(traceback);
#endif
}

void SetPendingErrorCause(PyObject* cause, const char* name) noexcept {
#if PY_MAJOR_VERSION >= 3
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && PyExceptionInstance_Check(value)) {
    Py_INCREF(cause);
    PyException_SetCause(value, cause);  // steals the reference
    PyObject* text = PyUnicode_FromString(name);
    if (text == nullptr || PyObject_SetAttrString(value, "name", text) < 0) PyErr_Clear();
    Py_XDECREF(text);
  }
  PyErr_Restore(type, value, traceback);
#else
  static_cast<void>(cause);
  static_cast<void>(name);
#endif
}

bool FrameRunsCode(PyFrameObject* frame, PyCodeObject* code) noexcept {
#if PY_MAJOR_VERSION >= 3
  PyCodeObject* frame_code = PyFrame_GetCode(frame);
  const bool same = frame_code == code;
  Py_XDECREF(frame_code);
  return same;
#else
  return frame->f_code == code;
#endif
}

PyFrameObject* NewTracebackFrame(PyCodeObject* code, int line) noexcept {
  PyObject* globals = PyDict_New();
  if (globals == nullptr) return nullptr;
  PyFrameObject* frame = PyFrame_New(PyThreadState_GET(), code, globals, nullptr);
  Py_DECREF(globals);
#if PY_MAJOR_VERSION >= 3
  // A frame that has not run reports its code's first line, which is `line`.
  static_cast<void>(line);
#else
  if (frame != nullptr) frame->f_lineno = line;
#endif
  return frame;
}

OwnedRef CreateModule(ModuleDefinition& definition) noexcept {
#if PY_MAJOR_VERSION >= 3
  return OwnedRef::Steal(PyModule_Create(&definition));
#else
  // The interpreter keeps the module in sys.modules; this is a reference of
  // our own.
  return OwnedRef::Borrow(Py_InitModule4(definition.name, definition.methods, definition.doc,
                                         nullptr, PYTHON_API_VERSION));
#endif
}

}  // namespace pyutil
