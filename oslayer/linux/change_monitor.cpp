#include "change_monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>

namespace k32l {

namespace {

// What the kernel flags once per change since the table's descriptor was
// last polled (epoll polls it as it reports it).
constexpr unsigned kChangeEvents = EPOLLPRI | EPOLLERR;
// The table is always readable, so the instance reports it at every
// question: an answer without it (none, or another item) is from an
// instance that no longer holds it, or from one of the application's.
constexpr unsigned kWatchedEvents = EPOLLIN | kChangeEvents;

// Where the monitor's descriptors are moved: numbers an application's new
// descriptors reach only after all below are taken, so one that closed the
// monitor's hardly puts an epoll instance of its own at the same number
// (its events would be taken by the question that finds it is not ours).
constexpr int kHighNumbers = 512;

UniqueFd moved_high(UniqueFd fd) {
  if (!fd.valid() || fd.get() >= kHighNumbers) return fd;
  UniqueFd high(::fcntl(fd.get(), F_DUPFD_CLOEXEC, kHighNumbers));
  return high.valid() ? std::move(high) : std::move(fd);  // a lower limit: where it is
}

// A value no application's epoll item carries by chance: a counter mixed
// with random bits drawn once (splitmix64).
std::uint64_t next_cookie() {
  static const std::uint64_t seed = [] {
    std::uint64_t drawn = 0;
    if (::getrandom(&drawn, sizeof drawn, GRND_NONBLOCK) != sizeof drawn)
      drawn = reinterpret_cast<std::uintptr_t>(&drawn) ^ 0x5DEECE66DULL;
    return drawn;
  }();
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (counter.fetch_add(1) + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace

void ChangeMonitor::open(const char* path) {
  close();
  UniqueFd table = moved_high(UniqueFd(::open(path, O_RDONLY | O_CLOEXEC)));
  struct stat st {};
  if (!table.valid() || ::fstat(table.get(), &st) != 0) return;
  table_dev_ = st.st_dev;
  table_ino_ = st.st_ino;
  table_ = std::move(table);
  cookie_ = next_cookie();
  // The kernel's wake-up on a change marks the table on the instance's
  // ready list as the change is made, so a question costs one look at that
  // list, not a poll of the table (a refresh asks five times per volume).
  UniqueFd notices = moved_high(UniqueFd(::epoll_create1(EPOLL_CLOEXEC)));
  epoll_event wanted{};
  wanted.events = kWatchedEvents;
  wanted.data.u64 = cookie_;
  if (notices.valid() && ::epoll_ctl(notices.get(), EPOLL_CTL_ADD, table_.get(), &wanted) == 0)
    notices_ = std::move(notices);
}

bool ChangeMonitor::changed() {
  if (!table_.valid()) return true;
  return notices_.valid() ? changed_by_notices() : changed_by_poll();
}

bool ChangeMonitor::changed_by_notices() {
  // One question proves both numbers: only the monitor's instance holds an
  // item with its cookie, and it holds it only while the table's file is
  // open at the number it was added under (a close or dup2 there removes
  // it, when the monitor's was the file's only descriptor). The rename
  // watch's item comes with it when it has notices waiting.
  epoll_event got[2]{};
  const int ready = ::epoll_wait(notices_.get(), got, 2, 0);
  bool table_seen = false, table_changed = false;
  for (int n = 0; n < ready; ++n) {
    if (got[n].data.u64 == cookie_) {
      table_seen = true;
      table_changed = (got[n].events & kChangeEvents) != 0;
    } else if (renames_.is_open() && got[n].data.u64 == renames_cookie_) {
      renames_.take_notices();
    } else {
      table_seen = false;  // an item of an instance that is not the monitor's
      break;
    }
  }
  if (!table_seen) {
    close();
    return true;
  }
  return table_changed;
}

bool ChangeMonitor::start_renames() {
  if (!notices_.valid()) return false;
  // The instance the epoll instance still holds is kept (begun again);
  // another is made only where there is none.
  if (renames_.is_open()) {
    if (renames_.held_by(notices_.get())) {
      renames_.begin_again();
      return true;
    }
    renames_.close(notices_.get(), true);  // forgotten: no longer the monitor's
  }
  if (!RenameWatch::another_may_open()) return false;
  renames_cookie_ = next_cookie();
  return renames_.open(moved_high(UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))),
                       notices_.get(), renames_cookie_);
}

void ChangeMonitor::finish_renames() {
  if (renames_.is_open()) renames_.finish();
}

bool ChangeMonitor::watch_renames_in(int dir, const std::vector<std::string>& names) {
  return notices_.valid() && renames_.watch(dir, names);
}

bool ChangeMonitor::renames_quiet() const {
  return notices_.valid() && renames_.quiet(notices_.get());
}

bool ChangeMonitor::changed_by_poll() {
  if (!table_is_ours()) {
    close();
    return true;
  }
  pollfd p{table_.get(), static_cast<short>(kChangeEvents), 0};
  const int ready = ::poll(&p, 1, 0);
  if (ready < 0 || (p.revents & POLLNVAL)) {
    close();
    return true;
  }
  return ready > 0 && (p.revents & kChangeEvents);
}

bool ChangeMonitor::table_is_ours() const {
  // One thread's /proc entry: another file at the number (a pipe, a
  // socket, the same path opened again by the application) differs.
  struct stat st {};
  return table_.valid() && ::fstat(table_.get(), &st) == 0 && st.st_dev == table_dev_ &&
         st.st_ino == table_ino_;
}

bool ChangeMonitor::notices_are_ours() const {
  // Every epoll instance reports the same inode, so the instance is known
  // by what it holds, without taking its events: adding the table again
  // fails with EEXIST only where this very file is held under its number,
  // which no instance of the application's does. One that accepts it has
  // it removed at once.
  epoll_event wanted{};
  wanted.events = kWatchedEvents;
  wanted.data.u64 = cookie_;
  if (::epoll_ctl(notices_.get(), EPOLL_CTL_ADD, table_.get(), &wanted) == 0) {
    ::epoll_ctl(notices_.get(), EPOLL_CTL_DEL, table_.get(), &wanted);
    return false;
  }
  return errno == EEXIST;
}

void ChangeMonitor::close() {
  // The instance is proven only through the table it holds: with the
  // table's number lost it may be anyone's, and is forgotten too.
  const bool table_ours = table_is_ours();
  const bool notices_ours = table_ours && notices_.valid() && notices_are_ours();
  renames_.close(notices_.get(), notices_ours);
  if (notices_ours)
    notices_.reset();
  else
    (void)notices_.release();
  if (table_ours)
    table_.reset();
  else
    (void)table_.release();
}

}  // namespace k32l
