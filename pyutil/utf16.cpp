#include "pyutil/utf16.h"

#include "pyutil/python_error.h"

namespace pyutil {
namespace {

constexpr unsigned kHighSurrogateFirst = 0xD800;
constexpr unsigned kHighSurrogateLast = 0xDBFF;
constexpr unsigned kLowSurrogateFirst = 0xDC00;
constexpr unsigned kLowSurrogateLast = 0xDFFF;

[[maybe_unused]] bool IsHighSurrogate(unsigned unit) {
  return unit >= kHighSurrogateFirst && unit <= kHighSurrogateLast;
}
[[maybe_unused]] bool IsLowSurrogate(unsigned unit) {
  return unit >= kLowSurrogateFirst && unit <= kLowSurrogateLast;
}

}  // namespace

WideString UnicodeToWide(PyObject* unicode) {
  const Py_UNICODE* characters = PyUnicode_AS_UNICODE(unicode);
  const Py_ssize_t length = PyUnicode_GET_SIZE(unicode);
  WideString wide;
  wide.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t index = 0; index < length; ++index) {
    const unsigned long code_point = static_cast<unsigned long>(characters[index]);
    if (code_point > 0xFFFF) {
      const unsigned long offset = code_point - 0x10000;
      wide.push_back(static_cast<WCHAR>(kHighSurrogateFirst + (offset >> 10)));
      wide.push_back(static_cast<WCHAR>(kLowSurrogateFirst + (offset & 0x3FF)));
    } else {
      wide.push_back(static_cast<WCHAR>(code_point));
    }
  }
  return wide;
}

OwnedRef WideToUnicode(const WCHAR* text, std::size_t length) {
  std::basic_string<Py_UNICODE> characters;
  characters.reserve(length);
  for (std::size_t index = 0; index < length; ++index) {
    const unsigned unit = static_cast<unsigned>(text[index]) & 0xFFFF;
#if Py_UNICODE_SIZE == 4
    if (IsHighSurrogate(unit) && index + 1 < length) {
      const unsigned next = static_cast<unsigned>(text[index + 1]) & 0xFFFF;
      if (IsLowSurrogate(next)) {
        characters.push_back(static_cast<Py_UNICODE>(
            0x10000 + ((unit - kHighSurrogateFirst) << 10) + (next - kLowSurrogateFirst)));
        ++index;
        continue;
      }
    }
#endif
    characters.push_back(static_cast<Py_UNICODE>(unit));
  }
  return RequireNew(PyUnicode_FromUnicode(characters.data(),
                                          static_cast<Py_ssize_t>(characters.size())));
}

std::size_t BoundedLength(const WCHAR* buffer, std::size_t capacity) noexcept {
  for (std::size_t index = 0; index < capacity; ++index) {
    if (buffer[index] == 0) return index;
  }
  return capacity;
}

}  // namespace pyutil
