// Windows codes the shared header does not define, and the one mapping from
// errno to them.
#pragma once

#include "kernel32.h"

#ifndef ERROR_DIR_NOT_ROOT
#define ERROR_DIR_NOT_ROOT 144u
#endif
#ifndef ERROR_TOO_MANY_OPEN_FILES
#define ERROR_TOO_MANY_OPEN_FILES 4u
#endif
#ifndef ERROR_FILENAME_EXCED_RANGE
#define ERROR_FILENAME_EXCED_RANGE 206u
#endif

namespace k32l {

// The Windows code for a failed system call's errno.
DWORD error_from_errno(int err);

// Whether a call failed for want of descriptors or memory: it says nothing
// of what it asked about, and the same call may succeed in a moment.
bool for_want_of_resources(int err);

}  // namespace k32l
