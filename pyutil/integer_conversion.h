// Conversions between Python integers and C integers.
#pragma once

#include <Python.h>

#include <cstdint>

#include "pyutil/owned_ref.h"

namespace pyutil {

// A signed 64-bit value by the integer protocol: an int or long directly,
// anything else through __int__ or else __long__ ("an integer is required"
// when it has neither; OverflowError outside the range).
std::int64_t ToInt64(PyObject* object);

// A Python int when the value fits one, else a long.
OwnedRef IntegerFromUnsigned(std::uint64_t value);

}  // namespace pyutil
