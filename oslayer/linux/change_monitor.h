// The kernel's signal that a view's mount table changed: the table's file,
// and an epoll instance holding it, opened by the view's first caller.
//
// Both are numbers of the descriptor table they were opened in, and the
// application owns that table: it may close them (closerange(3, ~0), as a
// daemon does), or put files of its own at their numbers (dup2). So every
// question proves that the answer came from the monitor's own instance
// holding its own table, and a signal that cannot be asked, or numbers that
// are no longer the monitor's, say "changed": the table is read again and
// watched again. A number that is no longer the monitor's is forgotten,
// never closed.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "raii.h"
#include "rename_watch.h"

namespace k32l {

class ChangeMonitor {
 public:
  ChangeMonitor() = default;
  ChangeMonitor(const ChangeMonitor&) = delete;
  ChangeMonitor& operator=(const ChangeMonitor&) = delete;
  ~ChangeMonitor() { close(); }

  // Watches the mount table at `path` from now on (the signal says nothing
  // of changes before). Without a descriptor for an epoll instance the
  // table is polled; without one for the table there is no signal.
  void open(const char* path);
  bool is_open() const { return table_.valid(); }

  // Whether the table changed since the last question: the kernel flagged
  // a change, or the signal could not be asked, or its numbers are no longer
  // the monitor's. In the last two cases the monitor is closed (is_open()
  // false), so the caller opens it again before it reads the table.
  bool changed();

  // Watching for renames above the view's mount points (rename_watch.h),
  // through the same epoll instance, so that changed() takes its notices
  // too. start_renames() begins anew, with no directory watched; false
  // where there is no instance to hold the watch. finish_renames() ends
  // the watches of before that were not asked for again.
  bool start_renames();
  void finish_renames();
  // Watches directory `dir` (an O_PATH descriptor) for renames of its
  // entries `names`; false where it cannot.
  bool watch_renames_in(int dir, const std::vector<std::string>& names);
  // No watched entry renamed since start_renames(), as of the last
  // changed(), and the watch still the monitor's (asked now).
  bool renames_quiet() const;

  // Closes the descriptors that are still the monitor's in the calling
  // thread's descriptor table and forgets the others. In a forked child
  // (the forking thread's table) this closes the child's copies of the
  // monitors opened in that table, and touches no number of another's.
  void close();

 private:
  bool changed_by_notices();
  bool changed_by_poll();
  // Whether the table's number is still the file open() opened.
  bool table_is_ours() const;
  // Whether the epoll instance's number is still the one open() made,
  // holding the table (the table's number proven first).
  bool notices_are_ours() const;

  UniqueFd table_;
  UniqueFd notices_;  // invalid: the table is polled
  dev_t table_dev_ = 0;
  ino_t table_ino_ = 0;
  // What the instance reports with the table: no instance of the
  // application's reports it (a 64-bit value drawn for this monitor).
  std::uint64_t cookie_ = 0;
  RenameWatch renames_;  // held by notices_ under renames_cookie_
  std::uint64_t renames_cookie_ = 0;
};

}  // namespace k32l
