// What the KERNEL32-shaped entry points share: the guard every one runs its
// body in, and the reading of caller arguments (arguments.cpp).
//
// Every entry point catches everything: failures become the Windows failure
// value plus a code for GetLastError, never an exception across the C ABI.
#pragma once

#include <fcntl.h>

#include <cerrno>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "bounded.h"
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

// A caller's argument that is a volume name or a path (not NULL): the
// volume named (ERROR_FILE_NOT_FOUND when there is none, ERROR_INVALID_NAME
// for a malformed name), else the path as written.
struct PathOrVolume {
  const Volume* volume = nullptr;
  std::string path;  // set when volume is null
};
Outcome<PathOrVolume> read_path_or_volume(const Snapshot& snap, const WCHAR* text);

// The working directory, normalised; nullopt when it cannot be read.
std::optional<std::string> working_directory();

// Whether a caller's text starts as a volume GUID name does ("\\?\Volume{").
bool names_volume(const WCHAR* text);
// The snapshot a call is answered from, by its root or path argument: a
// volume GUID name answers from the table of the thread's last search
// (volume_name_snapshot); a path, or none, follows the caller's view
// (current_snapshot).
Outcome<std::shared_ptr<const Snapshot>> snapshot_for(const WCHAR* argument);

// Finds the volume a root argument names: a volume name, or the path of one
// of its mount points (NULL: the volume holding the working directory). A
// path is taken first without the one trailing backslash the module appends,
// then as written (a backslash is an ordinary character in Linux names);
// "." and "//" collapse, and the kernel walks the rest ("..", links): a path
// names the mount whose root its walk ends on. A path that is no mount
// point is told apart as missing (ERROR_PATH_NOT_FOUND) or not a root
// (ERROR_DIR_NOT_ROOT).
Outcome<const Volume*> resolve_root(const Snapshot& snap, const WCHAR* root);

// Runs `fn(fd)` (fd: an O_PATH descriptor of the place the caller's `path`
// leads to, returning Outcome<R>) as the blocking policy says: here when no
// mount that may block is asked on the way or by `fn`; otherwise on a worker
// behind the gate of the mount the walk stopped on (where the rest of the
// walk begins, or the mount reached), within one bound.
template <class R, class F>
Outcome<R> at_caller_path(const Snapshot& snap, const std::string& path, F fn) {
  Walk walk = walk_without_blocking(snap.mounts, path);
  if (walk.error != 0) return failed<R>(error_from_errno(walk.error));
  const bool blocks = !walk.rest.empty() || snap.mounts.mount_may_block(walk.mount_id);
  auto at = std::make_shared<UniqueFd>(std::move(walk.at));
  return flatten(run_bounded_if<Outcome<R>>(
      blocks,
      [at, rest = std::move(walk.rest), fn = std::move(fn)] {
        if (rest.empty()) return fn(at->get());
        UniqueFd end(::openat(at->get(), rest.c_str(), O_PATH | O_CLOEXEC));
        if (!end.valid()) return failed<R>(error_from_errno(errno));
        return fn(end.get());
      },
      [&snap, &walk, &at] { return snap.mounts.gate_of_mount(walk.mount_id, at->get()); },
      BoundedClock::now() + kBlockingCallTimeout));
}

}  // namespace k32l
