#include "pyutil/utf16.h"

#include <algorithm>
#include <cstring>

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

// Units of up to 16 bits are UTF-16 units as they stand (3's narrow kinds,
// 2.7's UCS-2); a wider unit is a code point, split into a surrogate pair
// above the BMP. Each string is made at its final size.
template <typename Unit>
WideString WideFromUnits(const Unit* units, Py_ssize_t count) {
  const auto length = static_cast<std::size_t>(count);
  if constexpr (sizeof(Unit) <= 2) {
    return WideString(units, units + length);
  } else {
    std::size_t above_bmp = 0;
    for (std::size_t index = 0; index < length; ++index) {
      above_bmp += static_cast<unsigned long>(units[index]) > 0xFFFF;
    }
    if (above_bmp == 0) return WideString(units, units + length);
    WideString wide;
    wide.reserve(length + above_bmp);
    for (std::size_t index = 0; index < length; ++index) {
      const unsigned long code_point = static_cast<unsigned long>(units[index]);
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
}

}  // namespace

bool ContainsNul(PyObject* unicode) {
  return UnicodeUnits(unicode).Visit([](const auto* units, Py_ssize_t count) {
    const auto length = static_cast<std::size_t>(count);
    if constexpr (sizeof(*units) == 1) return std::memchr(units, 0, length) != nullptr;
    return std::find(units, units + length, 0) != units + length;
  });
}

WideString UnicodeToWide(PyObject* unicode) {
  return UnicodeUnits(unicode).Visit(
      [](const auto* units, Py_ssize_t count) { return WideFromUnits(units, count); });
}

OwnedRef WideToUnicode(const Utf16Unit* text, std::size_t length) {
  // Without surrogates (nearly all text) every unit is one character, on
  // every interpreter.
  if (OwnedRef unicode = NewUnicodeWithoutSurrogates(text, static_cast<Py_ssize_t>(length))) {
    return unicode;
  }
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
