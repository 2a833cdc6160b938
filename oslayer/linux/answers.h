// What the KERNEL32-shaped entry points share: the guard every one runs its
// body in, and the reading of caller arguments (arguments.cpp).
//
// Every entry point catches everything: failures become the Windows failure
// value plus a code for GetLastError, never an exception across the C ABI.
#pragma once

#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "errors.h"
#include "outcome.h"
#include "snapshot.h"

namespace k32l {

// Runs an entry point's body, turning any exception into a Windows code.
template <class R, class F>
R guarded(R failure, F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::system_error&) {  // no thread could be started
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } catch (...) {
    SetLastError(ERROR_IO_DEVICE);
  }
  return failure;
}

inline BOOL fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

// A caller's UTF-16 text argument as UTF-8 (ERROR_INVALID_NAME: unterminated
// within the limit, or not valid UTF-16).
Outcome<std::string> read_text(const WCHAR* text);

// The working directory, normalised; nullopt when it cannot be read.
std::optional<std::string> working_directory();

// Finds the volume a root argument names: a volume name, or the path of one
// of its mount points (NULL: the volume holding the working directory). A
// path is taken first without the one trailing backslash the module appends,
// then as written (a backslash is an ordinary character in Linux names);
// "." and "//" collapse, and ".." is walked by the kernel. With check_path, a
// path that is no mount point is told apart as missing (ERROR_PATH_NOT_FOUND)
// or not a root (ERROR_DIR_NOT_ROOT).
Outcome<const Volume*> resolve_root(const Snapshot& snap, const WCHAR* root, bool check_path);

}  // namespace k32l
