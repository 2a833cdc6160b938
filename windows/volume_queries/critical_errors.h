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
// later), so other threads of the process are unaffected; before Windows 7
// it is the process's (SetErrorMode). It is restored when the scope ends. The restore keeps the thread's last error, which the
// callers read after the call. Elsewhere than Windows there is no such
// dialog, and the guard does nothing.
#pragma once

#include "kernel32.h"

namespace volumes {

#ifdef _WIN32

// The thread-level error-mode calls exist from Windows 7 on. They are looked
// up when first needed, so that the module still loads on older systems,
// where the process-wide SetErrorMode is used instead.
struct ThreadErrorModeCalls {
  using GetMode = DWORD(WINAPI*)(void);
  using SetMode = BOOL(WINAPI*)(DWORD, LPDWORD);
  GetMode get = nullptr;
  SetMode set = nullptr;
};

inline const ThreadErrorModeCalls& ThreadErrorMode() {
  static const ThreadErrorModeCalls calls = [] {
    ThreadErrorModeCalls found;
    if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll")) {
      found.get = reinterpret_cast<ThreadErrorModeCalls::GetMode>(
          reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "GetThreadErrorMode")));
      found.set = reinterpret_cast<ThreadErrorModeCalls::SetMode>(
          reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetThreadErrorMode")));
    }
    if (found.get == nullptr || found.set == nullptr) found = ThreadErrorModeCalls();
    return found;
  }();
  return calls;
}

class QuietCriticalErrors {
 public:
  QuietCriticalErrors() noexcept {
    const DWORD quiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    const ThreadErrorModeCalls& calls = ThreadErrorMode();
    if (calls.set != nullptr) {
      changed_ = calls.set(calls.get() | quiet, &previous_) != FALSE;
    } else {
      previous_ = SetErrorMode(quiet);
      SetErrorMode(previous_ | quiet);
      changed_ = true;
    }
  }
  ~QuietCriticalErrors() {
    if (!changed_) return;
    const DWORD last_error = GetLastError();
    const ThreadErrorModeCalls& calls = ThreadErrorMode();
    if (calls.set != nullptr) {
      calls.set(previous_, nullptr);
    } else {
      SetErrorMode(previous_);
    }
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
