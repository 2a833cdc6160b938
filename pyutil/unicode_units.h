// Unicode text as the interpreter stores it: 2.7 in Py_UNICODE units
// (UCS-4 on Debian, UTF-16 on Windows), 3 in whole code points of 1, 2 or
// 4 bytes. Read in place, without a copy, by the UTF-16 conversion
// (pyutil/utf16.cpp) and the volume GUID's parser (volume_guid.cpp); the
// unit width of each interpreter is what tests/python/test_system_text.py
// pins (text beyond the Basic Multilingual Plane, lone surrogates).
#pragma once

#include <Python.h>

#include <cstdint>

#include "pyutil/owned_ref.h"

namespace pyutil {

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

}  // namespace pyutil
