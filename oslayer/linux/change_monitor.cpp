#include "change_monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/stat.h>

#include <cerrno>

namespace k32l {

namespace {

// What the kernel flags once per change since the table's descriptor was
// last polled (epoll polls it when the change wakes it).
constexpr unsigned kChangeEvents = EPOLLPRI | EPOLLERR;

}  // namespace

void ChangeMonitor::open(const char* path) {
  close();
  UniqueFd table(::open(path, O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!table.valid() || ::fstat(table.get(), &st) != 0) return;
  table_dev_ = st.st_dev;
  table_ino_ = st.st_ino;
  table_ = std::move(table);
  // The kernel's wake-up on a change puts the table on the instance's ready
  // list as the change is made, so asking whether one came costs a look at
  // that list, not a poll of the table (a refresh asks five times per volume).
  UniqueFd notices(::epoll_create1(EPOLL_CLOEXEC));
  epoll_event wanted{};
  wanted.events = kChangeEvents;
  if (notices.valid() && ::epoll_ctl(notices.get(), EPOLL_CTL_ADD, table_.get(), &wanted) == 0)
    notices_ = std::move(notices);
}

bool ChangeMonitor::table_is_ours() const {
  // The table file of one thread's /proc entry: another file at the number
  // (a pipe, a socket, the same path opened again elsewhere) differs.
  struct stat st {};
  return table_.valid() && ::fstat(table_.get(), &st) == 0 && st.st_dev == table_dev_ &&
         st.st_ino == table_ino_;
}

bool ChangeMonitor::notices_are_ours() const {
  // Every epoll instance reports the same inode, so the instance is known
  // by what it holds: adding the table again fails with EEXIST only where
  // this very file is held under this number, which no instance of the
  // application's does. One that accepts it gets it removed at once.
  epoll_event wanted{};
  wanted.events = kChangeEvents;
  if (::epoll_ctl(notices_.get(), EPOLL_CTL_ADD, table_.get(), &wanted) == 0) {
    ::epoll_ctl(notices_.get(), EPOLL_CTL_DEL, table_.get(), &wanted);
    return false;
  }
  return errno == EEXIST;
}

bool ChangeMonitor::changed() {
  if (!table_is_ours() || (notices_.valid() && !notices_are_ours())) {
    close();
    return true;
  }
  if (notices_.valid()) {
    epoll_event got{};
    const int ready = ::epoll_wait(notices_.get(), &got, 1, 0);
    if (ready < 0) {
      close();
      return true;
    }
    return ready > 0 && (got.events & kChangeEvents);
  }
  pollfd p{table_.get(), static_cast<short>(kChangeEvents), 0};
  const int ready = ::poll(&p, 1, 0);
  if (ready < 0 || (p.revents & POLLNVAL)) {
    close();
    return true;
  }
  return ready > 0 && (p.revents & kChangeEvents);
}

void ChangeMonitor::close() {
  // The instance is proven only through the table it holds: with the
  // table's number lost it may be anyone's, and is forgotten too.
  const bool table_ours = table_is_ours();
  const bool notices_ours = table_ours && notices_.valid() && notices_are_ours();
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
