// Volume calls without critical-error dialogs.
//
// A volume with no media (an empty card reader, an optical drive without a
// disc) can make Windows show a "There is no disk in the drive" dialog and
// hold the calling thread until someone answers it. With the thread's error
// mode set to SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX the call fails
// at once with its error code instead (ERROR_NOT_READY), which the module
// reports as that volume's WindowsError.
//
// The mode is the calling thread's own (SetThreadErrorMode, Windows 7 and
// later), so other threads of the process are unaffected; it is restored
// when the scope ends. The restore keeps the thread's last error, which the
// callers read after the call. Elsewhere than Windows there is no such
// dialog, and the guard does nothing.
#pragma once

#include "kernel32.h"

namespace volumes {

#ifdef _WIN32

class QuietCriticalErrors {
 public:
  QuietCriticalErrors() noexcept {
    const DWORD quiet = GetThreadErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    changed_ = SetThreadErrorMode(quiet, &previous_) != FALSE;
  }
  ~QuietCriticalErrors() {
    if (!changed_) return;
    const DWORD last_error = GetLastError();
    SetThreadErrorMode(previous_, nullptr);
    SetLastError(last_error);
  }
  QuietCriticalErrors(const QuietCriticalErrors&) = delete;
  QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;

 private:
  DWORD previous_ = 0;
  bool changed_ = false;
};

#else

class QuietCriticalErrors {
 public:
  QuietCriticalErrors() noexcept {}
  ~QuietCriticalErrors() {}
  QuietCriticalErrors(const QuietCriticalErrors&) = delete;
  QuietCriticalErrors& operator=(const QuietCriticalErrors&) = delete;
};

#endif

// The result of `call` (one volume call), made with the dialogs off.
template <typename Call>
auto WithoutCriticalErrorDialogs(Call call) -> decltype(call()) {
  QuietCriticalErrors quiet;
  return call();
}

}  // namespace volumes
