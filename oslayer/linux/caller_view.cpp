// The caller's view, read from /proc for the calling thread.
#include "caller_view.h"

#include <fcntl.h>
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

}  // namespace

CallerView current_view() { return CallerView{current_mount_namespace()}; }

const char* mount_table_path() { return "/proc/thread-self/mountinfo"; }

std::string descriptor_info_path(int fd) { return "/proc/self/fdinfo/" + std::to_string(fd); }

}  // namespace k32l
