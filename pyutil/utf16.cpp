#include "pyutil/utf16.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "pyutil/python_error.h"
#include "pyutil/unicode_units.h"

namespace pyutil {
namespace {

// A unicode object of `length` characters, each the code point of one
// 16-bit unit of `units`, or an empty OwnedRef when a unit is a surrogate
// (0xD800-0xDFFF), which the caller may have to pair with the next one
// (never empty under a 2.7 that stores UTF-16 units itself: there the units
// are the text, pairs included).
// Empty and one-character results are the interpreter's shared objects,
// as they are from NewUnicodeFromUnits. Throws PythonErrorSet.
//
// The speed path of WideToUnicode for text without surrogates, nearly all
// text the system gives; any unit it drops or widens wrongly fails
// SystemTextTest.testTextWithoutSurrogatesKeepsEachUnit and
// testEveryPlaceInALongTextIsConverted (tests/python/test_system_text.py).
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

// What a pass over 4-byte units found: the OR of them all (bits above the
// 16th: a code point above the BMP) and whether one of them is 0.
struct UnitSummary {
  std::uint32_t bits = 0;
  bool nul = false;
};

// Copies `length` 4-byte units into 16-bit `out`, each cut to its low 16
// bits, summing them up on the way. Eight units a step, with a fixed count
// the compiler turns into vector instructions; the rest one by one.
template <typename Unit>
UnitSummary NarrowUnits(const Unit* units, std::size_t length, Utf16Unit* out) {
  static_assert(sizeof(Unit) == 4, "code points");
  std::uint32_t bits = 0, zero = 0;
  std::size_t index = 0;
  for (; index + 8 <= length; index += 8) {
    for (std::size_t k = 0; k < 8; ++k) {
      const auto unit = static_cast<std::uint32_t>(units[index + k]);
      bits |= unit;
      zero |= unit == 0;
      out[index + k] = static_cast<Utf16Unit>(unit);
    }
  }
  for (; index < length; ++index) {
    const auto unit = static_cast<std::uint32_t>(units[index]);
    bits |= unit;
    zero |= unit == 0;
    out[index] = static_cast<Utf16Unit>(unit);
  }
  return {bits, zero != 0};
}

// Units of up to 16 bits are UTF-16 units as they stand (3's narrow kinds,
// 2.7's UCS-2); a wider unit is a code point, split into a surrogate pair
// above the BMP. Each string is made at its final size; 4-byte units are
// read once unless one is above the BMP. `contains_nul`, when given, is set
// to whether a unit is 0.
template <typename Unit>
WideString WideFromUnits(const Unit* units, Py_ssize_t count, bool* contains_nul) {
  const auto length = static_cast<std::size_t>(count);
  if constexpr (sizeof(Unit) <= 2) {
    if (contains_nul != nullptr) {
      if constexpr (sizeof(Unit) == 1) {
        *contains_nul = std::memchr(units, 0, length) != nullptr;
      } else {
        *contains_nul = std::find(units, units + length, 0) != units + length;
      }
    }
    return WideString(units, units + length);
  } else {
    WideString wide(length, Utf16Unit{});
    const UnitSummary summary = NarrowUnits(units, length, wide.data());
    if (contains_nul != nullptr) *contains_nul = summary.nul;
    if (summary.bits <= 0xFFFF) return wide;
    std::size_t above_bmp = 0;
    for (std::size_t index = 0; index < length; ++index) {
      above_bmp += static_cast<unsigned long>(units[index]) > 0xFFFF;
    }
    wide.clear();
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

WideString UnicodeToWide(PyObject* unicode, bool* contains_nul) {
  return UnicodeUnits(unicode).Visit([contains_nul](const auto* units, Py_ssize_t count) {
    return WideFromUnits(units, count, contains_nul);
  });
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
  // Four units a step, one bound check for the four; no unit after the
  // first NUL is read (the system leaves the rest of the buffer unwritten).
  std::size_t index = 0;
  for (; index + 4 <= capacity; index += 4) {
    if (buffer[index] == 0) return index;
    if (buffer[index + 1] == 0) return index + 1;
    if (buffer[index + 2] == 0) return index + 2;
    if (buffer[index + 3] == 0) return index + 3;
  }
  for (; index < capacity; ++index) {
    if (buffer[index] == 0) return index;
  }
  return capacity;
}

}  // namespace pyutil
