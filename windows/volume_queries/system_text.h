// Text crossing into and out of the volume calls.
#pragma once

#include <Python.h>

#include <cstddef>

#include "kernel32.h"
#include "pyutil/owned_ref.h"
#include "pyutil/utf16.h"

namespace volumes {

// The UTF-16 text of a unicode object, and whether it holds a NUL: made
// once for a name that several calls hand to the system.
struct SystemText {
  pyutil::WideString units;
  bool has_nul = false;
};
SystemText TextForSystem(PyObject* unicode);

// The UTF-16 text of a unicode argument that is handed to the system as a
// NUL-terminated string. A NUL inside it would silently name another path,
// so it is refused with TypeError.
pyutil::WideString ArgumentToWide(PyObject* unicode, const char* argument_name);

// The same check for text converted earlier: its units, or TypeError.
const pyutil::WideString& CheckedArgument(const SystemText& text, const char* argument_name);

// The text of a fixed buffer the system filled, up to its first NUL. The
// system always terminates it; a buffer with no NUL at all is an
// inconsistent answer, reported as WindowsError "The data is invalid"
// rather than read past its end.
pyutil::OwnedRef TextFromFixedBuffer(const WCHAR* buffer, std::size_t capacity);

}  // namespace volumes
