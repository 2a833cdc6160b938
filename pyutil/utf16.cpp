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
  const auto length = static_cast<std::size_t>(PyUnicode_GET_SIZE(unicode));
  // Copied unit by unit first, noting whether any code point lies above the
  // BMP (the common case has none, and the copy is then the answer).
  WideString wide(length, WCHAR(0));
  unsigned long above_bmp = 0;
  for (std::size_t index = 0; index < length; ++index) {
    const unsigned long code_point = static_cast<unsigned long>(characters[index]);
    above_bmp |= code_point >> 16;
    wide[index] = static_cast<WCHAR>(code_point);
  }
  if (above_bmp == 0) return wide;
  wide.clear();
  for (std::size_t index = 0; index < length; ++index) {
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

namespace {

// Whether units `index` and `index + 1` of `text` (of `length`) form a
// surrogate pair, which a 4-byte Py_UNICODE holds as one code point.
[[maybe_unused]] bool PairAt(const WCHAR* text, std::size_t index, std::size_t length) {
  return index + 1 < length && IsHighSurrogate(static_cast<unsigned>(text[index]) & 0xFFFF) &&
         IsLowSurrogate(static_cast<unsigned>(text[index + 1]) & 0xFFFF);
}

// Writes the code points of `text` into `characters` (room for all of them).
void DecodeWide(const WCHAR* text, std::size_t length, Py_UNICODE* characters) {
  std::size_t out = 0;
  for (std::size_t index = 0; index < length; ++index) {
    const unsigned unit = static_cast<unsigned>(text[index]) & 0xFFFF;
#if Py_UNICODE_SIZE == 4
    if (PairAt(text, index, length)) {
      const unsigned next = static_cast<unsigned>(text[index + 1]) & 0xFFFF;
      characters[out++] = static_cast<Py_UNICODE>(
          0x10000 + ((unit - kHighSurrogateFirst) << 10) + (next - kLowSurrogateFirst));
      ++index;
      continue;
    }
#endif
    characters[out++] = static_cast<Py_UNICODE>(unit);
  }
}

}  // namespace

OwnedRef WideToUnicode(const WCHAR* text, std::size_t length) {
  std::size_t code_points = length;
#if Py_UNICODE_SIZE == 4
  for (std::size_t index = 0; index < length; ++index) {
    if (PairAt(text, index, length)) {
      --code_points;
      ++index;
    }
  }
#endif
  if (code_points <= 1) {
    // Through the interpreter's own copy, which hands out its shared
    // objects for the empty text and single Latin-1 characters.
    Py_UNICODE single[1] = {0};
    DecodeWide(text, length, single);
    return RequireNew(PyUnicode_FromUnicode(single, static_cast<Py_ssize_t>(code_points)));
  }
  // Decoded straight into the new object: no intermediate copy.
  OwnedRef result =
      RequireNew(PyUnicode_FromUnicode(nullptr, static_cast<Py_ssize_t>(code_points)));
  DecodeWide(text, length, PyUnicode_AS_UNICODE(result.get()));
  return result;
}

std::size_t BoundedLength(const WCHAR* buffer, std::size_t capacity) noexcept {
  for (std::size_t index = 0; index < capacity; ++index) {
    if (buffer[index] == 0) return index;
  }
  return capacity;
}

}  // namespace pyutil
