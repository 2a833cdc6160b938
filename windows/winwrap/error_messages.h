// The text Windows gives for an error code, without the trailing period and
// line break (as the interpreter's own WindowsError messages read).
#pragma once

#include <string>

#include "kernel32.h"

namespace winwrap {

std::string WindowsErrorMessage(DWORD error_code);

}  // namespace winwrap
