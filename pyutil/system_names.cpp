#include "pyutil/system_names.h"

#include <cstring>

#include "pyutil/py_version.h"

namespace pyutil {

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

}  // namespace pyutil
