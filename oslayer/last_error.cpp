// The per-thread last-error value of the non-Windows providers.
#include "kernel32.h"

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}  // namespace

extern "C" DWORD WINAPI GetLastError(void) { return last_error; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }
