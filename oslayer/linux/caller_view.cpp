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

#include "process_state.h"
#include "raii.h"

namespace k32l {

namespace {

// This thread's /proc/<pid>/task/<tid>/ns directory, opened once per thread
// (and again in a forked child, where the parent's descriptor names the
// parent's thread): reading the "mnt" link in it is one system call that
// still follows the thread into a new namespace.
class NamespaceDirectory {
 public:
  int get() {
    const unsigned generation = fork_generation();
    if (!dir_.valid() || generation_ != generation) {
      dir_.reset(::open("/proc/thread-self/ns", O_PATH | O_DIRECTORY | O_CLOEXEC));
      generation_ = generation;
    }
    return dir_.get();
  }

 private:
  UniqueFd dir_;
  unsigned generation_ = 0;
};

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
  thread_local NamespaceDirectory directory;
  const int dir = directory.get();
  if (dir < 0) return 0;
  // The link reads "mnt:[N]", N being the inode number that stat of the
  // namespace file reports; reading it costs about half a stat, which
  // follows the link into the namespace file system.
  char link[64];
  const ssize_t length = ::readlinkat(dir, "mnt", link, sizeof link);
  return namespace_inode(
      std::string_view(link, length > 0 ? static_cast<std::size_t>(length) : 0));
}

// The kernel's 64-bit mount ID, never reused (Linux 6.8).
constexpr unsigned kStatxMountIdUnique = 0x4000U;

// Whether the calling thread shares resource `kind` (a kcmp type) with
// thread `other` of this process. Where the kernel cannot compare, it is
// taken to be shared, as threads' are unless they unshare them.
bool shared_with(pid_t other, int kind) {
  return ::syscall(SYS_kcmp, other, ::gettid(), kind, 0, 0) <= 0;
}

// 0 when the calling thread has the main thread's descriptor table (the
// main thread always counts as having it), else the thread's own ID. Where
// the kernel will not compare (kcmp refused, as a container's system-call
// filter does unless the caller may trace), another thread counts as having
// a table of its own: a descriptor kept for a view is a number of the table
// it was opened in, and a thread wrongly taken to share the main thread's
// would watch a number its table does not have, and never see a change.
std::uint64_t descriptor_table_owner() {
  const pid_t self = ::gettid();
  if (self == ::getpid() || ::syscall(SYS_kcmp, ::getpid(), self, KCMP_FILES, 0, 0) == 0)
    return 0;
  return static_cast<std::uint64_t>(self);
}

}  // namespace

CallerView current_view() {
  CallerView view;
  view.key.descriptor_table = descriptor_table_owner();
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

const char* mount_table_path() { return "/proc/thread-self/mountinfo"; }

std::string descriptor_link_path(int fd) {
  return "/proc/thread-self/fd/" + std::to_string(fd);
}

std::string descriptor_info_path(int fd) {
  return "/proc/thread-self/fdinfo/" + std::to_string(fd);
}

std::uint64_t worker_owner() {
  const pid_t self = ::gettid();
  if (self == ::getpid()) return 0;
  if (shares_view_with(::getpid())) return 0;
  return static_cast<std::uint64_t>(self);
}

bool shares_view_with(pid_t thread) {
  return shared_with(thread, KCMP_FS) && shared_with(thread, KCMP_FILES);
}

}  // namespace k32l
