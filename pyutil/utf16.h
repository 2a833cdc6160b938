// Explicit conversion between Python unicode objects and the NUL-terminated
// UTF-16 text of the system calls. Python 2.7 stores text in Py_UNICODE
// units, UCS-4 on Debian and UTF-16 on Windows; Python 3 in code points.
// Neither side is assumed to be the other.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>

#include "pyutil/owned_ref.h"

namespace pyutil {

// One UTF-16 code unit, the type the system calls take (their WCHAR):
// wchar_t on Windows, char16_t elsewhere.
#ifdef _WIN32
using Utf16Unit = wchar_t;
#else
using Utf16Unit = char16_t;
#endif

using WideString = std::basic_string<Utf16Unit>;

// The UTF-16 text of a unicode object. Characters outside the Basic
// Multilingual Plane become surrogate pairs; lone surrogates pass unchanged,
// as the system's own strings allow them. `contains_nul`, when given, is set
// to whether the text holds the character U+0000 (found in the same pass).
WideString UnicodeToWide(PyObject* unicode, bool* contains_nul = nullptr);

// A unicode object from `length` UTF-16 code units. Surrogate pairs become
// one character where the interpreter stores code points (Python 3, a UCS-4
// Python 2.7); lone surrogates pass unchanged.
OwnedRef WideToUnicode(const Utf16Unit* text, std::size_t length);

// The number of units before the first NUL within `capacity` units, or
// `capacity` when the buffer holds no NUL at all.
std::size_t BoundedLength(const Utf16Unit* buffer, std::size_t capacity) noexcept;

}  // namespace pyutil
