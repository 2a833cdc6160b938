// A view's signal that a directory above one of its mount points was
// renamed: the kernel rewrites a mount point's text then (`mv DIR/old
// DIR/new` above `DIR/old/m`) and flags no change of the mount table.
//
// An inotify instance watches the directories above the mount points, each
// for renames of the entries that lead to one, and is held by the view's
// epoll instance (ChangeMonitor), so the question a call asks of the mount
// table also takes these notices. Like the monitor's other numbers, the
// instance's is the application's to close or reuse: it counts as quiet
// only while that epoll instance still holds this very file at it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "raii.h"

namespace k32l {

class RenameWatch {
 public:
  RenameWatch() = default;
  RenameWatch(const RenameWatch&) = delete;
  RenameWatch& operator=(const RenameWatch&) = delete;

  // `instance` (a new inotify instance, IN_NONBLOCK) in place of any
  // before, held by epoll instance `notices` under `cookie`. False where it
  // cannot be held.
  bool open(UniqueFd instance, int notices, std::uint64_t cookie);
  bool is_open() const { return instance_.valid(); }
  // Whether the process may open one more: inotify instances are counted
  // per user across all of that user's processes (fs.inotify.
  // max_user_instances, 128 by default), so a process with many views
  // (threads with descriptor tables of their own) takes a few, and the
  // views past them prove their text without a watch.
  static bool another_may_open();

  // Begins watching anew in the same instance: the notices waiting are
  // dropped and no directory counts as watched until watch() says so;
  // finish() then removes the watches that were not asked for again. (An
  // instance is not closed for this: its close waits for the kernel's
  // grace period, milliseconds a refresh would spend asleep.)
  void begin_again();
  void finish();

  // Watches the directory `dir` (an O_PATH descriptor of the calling
  // thread's table) for renames of its entries `names` and of itself,
  // through the thread's /proc link of `dir`. False where it cannot.
  bool watch(int dir, const std::vector<std::string>& names);

  // Takes the notices waiting: a rename of a watched entry, a watched
  // directory moved, deleted or unmounted, or notices lost to a full queue
  // count as moved.
  void take_notices();

  // No watched entry moved since open() or begin_again(), and `notices` still holds this
  // very instance at its number (asked now): one epoll_ctl.
  bool quiet(int notices) const;

  // Whether `notices` holds this very instance at its number (asked now).
  bool held_by(int notices) const;

  // Closes the instance where `notices` (proven the monitor's) holds it at
  // its number, else forgets the number.
  void close(int notices, bool notices_ours);

 private:
  UniqueFd instance_;
  std::uint64_t cookie_ = 0;
  bool moved_ = false;
  // The names that matter in each watched directory, by watch descriptor;
  // notices of other watch descriptors (being removed) are dropped.
  std::unordered_map<int, std::unordered_set<std::string>> names_;
  // The watch descriptors of the watching before begin_again().
  std::vector<int> retiring_;
};

}  // namespace k32l
