// The text Windows gives for an error code, without the trailing period and
// line break (as the interpreter's own WindowsError messages read).
#pragma once

#include <string>

#include "kernel32.h"

namespace winwrap {

std::string WindowsErrorMessage(DWORD error_code);

// The errno value CPython on Windows gives an OSError for a Windows error
// code (its `errno`, which names the error class: ENOENT for a missing
// file or path, EACCES for a denied or failed device access, EINVAL for
// everything it does not name), in this system's errno numbering.
int ErrnoOfWindowsError(DWORD error_code);

}  // namespace winwrap
