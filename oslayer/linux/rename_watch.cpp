#include "rename_watch.h"

#include <sys/epoll.h>
#include <sys/inotify.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "proc_paths.h"

namespace k32l {

namespace {

// A rename of an entry, and the directory itself moved or deleted. Its
// unmount (IN_UNMOUNT), a watch dropped (IN_IGNORED) and lost notices
// (IN_Q_OVERFLOW) come unasked.
constexpr std::uint32_t kWatched = IN_MOVED_FROM | IN_MOVE_SELF | IN_DELETE_SELF | IN_ONLYDIR;

constexpr int kMostOpen = 16;
std::atomic<int> open_watches{0};  // instances RenameWatch holds in this process

}  // namespace

bool RenameWatch::another_may_open() { return open_watches.load() < kMostOpen; }

bool RenameWatch::open(UniqueFd instance, int notices, std::uint64_t cookie) {
  close(notices, true);
  moved_ = false;
  names_.clear();
  retiring_.clear();
  epoll_event wanted{};
  wanted.events = EPOLLIN;
  wanted.data.u64 = cookie;
  if (!instance.valid() || ::epoll_ctl(notices, EPOLL_CTL_ADD, instance.get(), &wanted) != 0)
    return false;
  instance_ = std::move(instance);
  cookie_ = cookie;
  open_watches.fetch_add(1);
  return true;
}

void RenameWatch::begin_again() {
  for (const auto& [wd, names] : names_) retiring_.push_back(wd);
  names_.clear();
  take_notices();  // of the watching before: all dropped
  moved_ = false;
}

void RenameWatch::finish() {
  for (int wd : retiring_)
    if (names_.count(wd) == 0) ::inotify_rm_watch(instance_.get(), wd);
  retiring_.clear();
}

bool RenameWatch::watch(int dir, const std::vector<std::string>& names) {
  if (!instance_.valid()) return false;
  // No *at form exists: the /proc link names the very directory the
  // descriptor holds, whatever its path reads now.
  const int wd =
      ::inotify_add_watch(instance_.get(), descriptor_link_path(dir).c_str(), kWatched);
  if (wd < 0) return false;
  names_[wd].insert(names.begin(), names.end());
  return true;
}

void RenameWatch::take_notices() {
  if (!instance_.valid()) return;
  alignas(inotify_event) char buffer[16 * 1024];
  for (;;) {
    const ssize_t got = ::read(instance_.get(), buffer, sizeof buffer);
    if (got <= 0) {
      // EAGAIN: all taken. Anything else: notices that cannot be read.
      if (got == 0 || errno != EAGAIN) moved_ = true;
      return;
    }
    for (ssize_t at = 0; at < got;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* name = buffer + at + sizeof event;
      at += static_cast<ssize_t>(sizeof event + event.len);
      if (event.mask & IN_Q_OVERFLOW) {
        moved_ = true;  // notices lost
        continue;
      }
      const auto watched = names_.find(event.wd);
      if (watched == names_.end()) continue;  // a watch being removed
      if (!(event.mask & IN_MOVED_FROM)) {
        moved_ = true;  // the directory itself moved, deleted or unmounted
        continue;
      }
      if (event.len == 0 ||
          watched->second.count(std::string(name, ::strnlen(name, event.len))) != 0)
        moved_ = true;
    }
  }
}

bool RenameWatch::held_by(int notices) const {
  // As for the mount table (ChangeMonitor): adding the instance again fails
  // with EEXIST only where `notices` holds this very file at this number.
  epoll_event wanted{};
  wanted.events = EPOLLIN;
  wanted.data.u64 = cookie_;
  if (::epoll_ctl(notices, EPOLL_CTL_ADD, instance_.get(), &wanted) == 0) {
    ::epoll_ctl(notices, EPOLL_CTL_DEL, instance_.get(), &wanted);
    return false;
  }
  return errno == EEXIST;
}

bool RenameWatch::quiet(int notices) const {
  return instance_.valid() && !moved_ && held_by(notices);
}

void RenameWatch::close(int notices, bool notices_ours) {
  if (!instance_.valid()) return;
  open_watches.fetch_sub(1);
  if (notices_ours && notices >= 0 && held_by(notices))
    instance_.reset();
  else
    (void)instance_.release();
  names_.clear();
  retiring_.clear();
}

}  // namespace k32l
