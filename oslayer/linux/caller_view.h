// Whose view of the system the caller is in: the one place that decides it.
//
// A thread's view is its mount namespace, its root directory and working
// directory (chroot, unshare(CLONE_FS)) and its descriptor table
// (unshare(CLONE_FILES)). Threads may differ in all three, so every call
// asks current_view(), reads the calling thread's own /proc entries, and
// hands its tasks only to workers that share its view (worker_owner).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "proc_paths.h"

namespace k32l {

// What tells one view's mount table from another's: the mount and inode of
// the caller's root directory. A mount belongs to one namespace, and a new
// namespace gets copies with new IDs, so with the kernel's unique mount IDs
// (never reused) the pair names the namespace too; where the kernel has only
// the 32-bit ID (which it reuses) the namespace's inode is added. Threads
// with descriptor tables of their own keep views of their own as well.
struct ViewKey {
  std::uint64_t root_mount = 0;
  std::uint64_t root_inode = 0;
  std::uint64_t mount_namespace = 0;  // 0 where root_mount is the unique ID
  // Whose descriptor table the thread has: 0 the main thread's, else the
  // thread's own ID (also where the kernel will not compare tables). A
  // descriptor kept for the view (the watch of its table) is a number in
  // the table it was opened in, and means nothing, or another file, in a
  // table of another thread's.
  std::uint64_t descriptor_table = 0;

  friend bool operator<(const ViewKey& a, const ViewKey& b) {
    return std::tie(a.root_mount, a.root_inode, a.mount_namespace, a.descriptor_table) <
           std::tie(b.root_mount, b.root_inode, b.mount_namespace, b.descriptor_table);
  }
  friend bool operator==(const ViewKey& a, const ViewKey& b) {
    return std::tie(a.root_mount, a.root_inode, a.mount_namespace, a.descriptor_table) ==
           std::tie(b.root_mount, b.root_inode, b.mount_namespace, b.descriptor_table);
  }
  friend bool operator!=(const ViewKey& a, const ViewKey& b) { return !(a == b); }
};

// The view of the calling thread as it is now, and the workers that may run
// its tasks, which resolve paths and descriptors as the thread that started
// them does. Both are decided under one rule: a thread shares the main
// thread's descriptor table (or root and working directory) only where the
// kernel says so (kcmp); where it will not compare (a system-call filter
// refuses kcmp), a thread other than the main one has its own.
struct CallerView {
  // The key of the View that holds what is kept for the caller's view (its
  // watched mount table, snapshot and workers, process_state.h). When the
  // root cannot be examined, only the namespace tells views apart.
  ViewKey key;
  // 0 when the caller shares its root, working directory and descriptor
  // table with the process's main thread (the process's workers serve it),
  // otherwise its thread ID (only workers it started itself serve it).
  std::uint64_t worker_owner = 0;
};

CallerView current_view();

// current_view().worker_owner.
std::uint64_t worker_owner();

// Whether the calling thread shares its root, working directory and
// descriptor table with `thread` (a live thread of this process): only then
// does a descriptor number or a relative path mean the same file to both.
// A thread may unshare them again at any time, so a worker started for it
// before may no longer share them. Where the kernel will not compare, not.
bool shares_view_with(pid_t thread);

}  // namespace k32l
