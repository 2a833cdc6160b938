#include "pyutil/utf16.h"

#include "pyutil/py_version.h"
#include "pyutil/python_error.h"

namespace pyutil {
namespace {

constexpr unsigned kHighSurrogateFirst = 0xD800;
constexpr unsigned kHighSurrogateLast = 0xDBFF;
constexpr unsigned kLowSurrogateFirst = 0xDC00;
constexpr unsigned kLowSurrogateLast = 0xDFFF;

bool IsHighSurrogate(unsigned unit) {
  return unit >= kHighSurrogateFirst && unit <= kHighSurrogateLast;
}
bool IsLowSurrogate(unsigned unit) {
  return unit >= kLowSurrogateFirst && unit <= kLowSurrogateLast;
}

}  // namespace

WideString UnicodeToWide(PyObject* unicode) {
  const UnicodeUnits characters(unicode);
  const Py_ssize_t length = characters.size();
  WideString wide;
  wide.reserve(static_cast<std::size_t>(length));
  for (Py_ssize_t index = 0; index < length; ++index) {
    const unsigned long code_point = static_cast<unsigned long>(characters[index]);
    if (code_point > 0xFFFF) {
      const unsigned long offset = code_point - 0x10000;
      wide.push_back(static_cast<Utf16Unit>(kHighSurrogateFirst + (offset >> 10)));
      wide.push_back(static_cast<Utf16Unit>(kLowSurrogateFirst + (offset & 0x3FF)));
    } else {
      wide.push_back(static_cast<Utf16Unit>(code_point));
    }
  }
  return wide;
}

OwnedRef WideToUnicode(const Utf16Unit* text, std::size_t length) {
  std::basic_string<UnicodeUnit> characters;
  characters.reserve(length);
  for (std::size_t index = 0; index < length; ++index) {
    const unsigned unit = static_cast<unsigned>(text[index]) & 0xFFFF;
    if (kUnicodeUnitsAreCodePoints && IsHighSurrogate(unit) && index + 1 < length) {
      const unsigned next = static_cast<unsigned>(text[index + 1]) & 0xFFFF;
      if (IsLowSurrogate(next)) {
        characters.push_back(static_cast<UnicodeUnit>(
            0x10000 + ((unit - kHighSurrogateFirst) << 10) + (next - kLowSurrogateFirst)));
        ++index;
        continue;
      }
    }
    characters.push_back(static_cast<UnicodeUnit>(unit));
  }
  return NewUnicodeFromUnits(characters.data(), static_cast<Py_ssize_t>(characters.size()));
}

std::size_t BoundedLength(const Utf16Unit* buffer, std::size_t capacity) noexcept {
  for (std::size_t index = 0; index < capacity; ++index) {
    if (buffer[index] == 0) return index;
  }
  return capacity;
}

}  // namespace pyutil
