// The caller's view, read from the calling thread's own kernel state.
//
// This file uses the kernel's statx structure (the C library's lacks the
// mount ID), so it includes no <sys/stat.h>.
#include "caller_view.h"

#include <fcntl.h>
#include <linux/kcmp.h>
#include <linux/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string_view>

namespace k32l {

namespace {

// The N of a namespace link's text "mnt:[N]"; 0 when the text is not that.
std::uint64_t namespace_inode(std::string_view text) {
  constexpr std::string_view kPrefix = "mnt:[";
  if (text.size() <= kPrefix.size() + 1 || text.substr(0, kPrefix.size()) != kPrefix ||
      text.back() != ']') {
    return 0;
  }
  std::uint64_t inode = 0;
  for (char c : text.substr(kPrefix.size(), text.size() - kPrefix.size() - 1)) {
    if (c < '0' || c > '9') return 0;
    inode = inode * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return inode;
}

std::uint64_t current_mount_namespace() {
  // The link reads "mnt:[N]", N being the inode number that stat of the
  // namespace file reports; reading it costs about half a stat, which
  // follows the link into the namespace file system. The thread's own entry,
  // which follows it into a new namespace. 0 where there is no /proc.
  char link[64];
  const ssize_t length = ::readlink(mount_namespace_path(), link, sizeof link);
  return namespace_inode(
      std::string_view(link, length > 0 ? static_cast<std::size_t>(length) : 0));
}

// The kernel's 64-bit mount ID, never reused (Linux 6.8).
constexpr unsigned kStatxMountIdUnique = 0x4000U;

// THE policy on sharing: whether the calling thread shares resource `kind`
// (a kcmp type) with thread `other` of this process. Only where the kernel
// says so: where it will not compare (kcmp refused, as a container's
// system-call filter does unless the caller may trace), not. A thread
// wrongly taken to share a table would watch a number its own table does
// not have, or hand a worker of another table its descriptor numbers.
bool shared_with(pid_t other, int kind) {
  return ::syscall(SYS_kcmp, other, ::gettid(), kind, 0, 0) == 0;
}

}  // namespace

CallerView current_view() {
  CallerView view;
  const pid_t self = ::gettid();
  const pid_t main_thread = ::getpid();
  // The main thread always counts as having the main thread's table, root
  // and working directory.
  const bool main_files = self == main_thread || shared_with(main_thread, KCMP_FILES);
  const bool main_fs = self == main_thread || shared_with(main_thread, KCMP_FS);
  view.key.descriptor_table = main_files ? 0 : static_cast<std::uint64_t>(self);
  view.worker_owner = main_files && main_fs ? 0 : static_cast<std::uint64_t>(self);
  struct statx root {};
  // One look at "/" without a walk or revalidation: it never waits on the
  // root's file system.
  if (::syscall(SYS_statx, AT_FDCWD, "/", AT_STATX_DONT_SYNC,
                STATX_INO | STATX_MNT_ID | kStatxMountIdUnique, &root) == 0) {
    view.key.root_inode = root.stx_ino;
    view.key.root_mount = root.stx_mnt_id;
    if (root.stx_mask & kStatxMountIdUnique) return view;
  }
  view.key.mount_namespace = current_mount_namespace();
  return view;
}

std::uint64_t worker_owner() { return current_view().worker_owner; }

bool shares_view_with(pid_t thread) {
  return shared_with(thread, KCMP_FS) && shared_with(thread, KCMP_FILES);
}

}  // namespace k32l
