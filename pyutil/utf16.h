// Explicit conversion between Python unicode objects and the NUL-terminated
// UTF-16 text of the system calls. Py_UNICODE is UCS-4 on Debian's Python 2.7
// and UTF-16 on Windows, so neither side is assumed to be the other.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>

#include "kernel32.h"
#include "pyutil/owned_ref.h"

namespace pyutil {

using WideString = std::basic_string<WCHAR>;

// The UTF-16 text of a unicode object. Characters outside the Basic
// Multilingual Plane become surrogate pairs; lone surrogates pass unchanged,
// as the system's own strings allow them.
WideString UnicodeToWide(PyObject* unicode);

// A unicode object from `length` UTF-16 code units. Surrogate pairs become
// one character on a UCS-4 interpreter; lone surrogates pass unchanged.
OwnedRef WideToUnicode(const WCHAR* text, std::size_t length);

// The number of units before the first NUL within `capacity` units, or
// `capacity` when the buffer holds no NUL at all.
std::size_t BoundedLength(const WCHAR* buffer, std::size_t capacity) noexcept;

}  // namespace pyutil
