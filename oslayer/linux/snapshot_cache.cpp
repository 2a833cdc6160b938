// The snapshot kept for each caller's view until the kernel reports a change
// of that view's mount table.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>

#include "bounded.h"
#include "caller_view.h"
#include "identity.h"
#include "process_state.h"
#include "snapshot.h"

namespace k32l {

namespace {

// How many times a table that changed while it was being built is read and
// built again, where mounts are told apart by 32-bit IDs.
constexpr int kMostBuilds = 3;

// Opens the view's change signal: its mount table, and an epoll instance
// that holds it. The kernel's wake-up on a change puts the table on the
// instance's ready list as the change is made, so asking whether one came
// costs a look at that list, not a poll of the table (a refresh asks five
// times per volume). Where no instance can be made, the table is polled.
void open_watch(ViewCache& cache) {
  cache.notices.reset();
  cache.watch.reset(::open(mount_table_path(), O_RDONLY | O_CLOEXEC));
  if (!cache.watch.valid()) return;
  UniqueFd notices(::epoll_create1(EPOLL_CLOEXEC));
  epoll_event wanted{};
  wanted.events = EPOLLPRI | EPOLLERR;
  if (notices.valid() && ::epoll_ctl(notices.get(), EPOLL_CTL_ADD, cache.watch.get(), &wanted) == 0)
    cache.notices = std::move(notices);
}

// Whether the kernel flagged a change of the table since the signal was
// last asked: it flags POLLPRI|POLLERR once per change since the last poll
// of the table's descriptor (epoll polls it when the change wakes it).
bool table_changed(const ViewCache& cache) {
  if (cache.notices.valid()) {
    epoll_event got{};
    return ::epoll_wait(cache.notices.get(), &got, 1, 0) > 0 &&
           (got.events & (EPOLLPRI | EPOLLERR));
  }
  pollfd p{cache.watch.get(), POLLPRI | POLLERR, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLPRI | POLLERR));
}

// Whether the snapshot `cache` holds is stale: none yet, or the kernel
// flagged a change of the table, or no signal was open to flag one (one
// opened only now says nothing of the changes before it).
bool needs_rebuild(ViewCache& cache) {
  if (!cache.watch.valid()) {
    open_watch(cache);
    return true;
  }
  return table_changed(cache) || !cache.snapshot;
}

// The cache of `view`: the one a thread in that view holds already, or a new one.
std::shared_ptr<ViewCache> cache_of(const ViewKey& view) {
  ProcessState& s = process_state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto it = s.view_caches.begin(); it != s.view_caches.end();)
    it = it->second.expired() ? s.view_caches.erase(it) : std::next(it);
  std::weak_ptr<ViewCache>& held = s.view_caches[view];
  auto cache = held.lock();
  if (!cache) {
    cache = std::make_shared<ViewCache>();
    held = cache;
  }
  return cache;
}

// What the calling thread holds of its view: the cache of the view it last
// called from, let go when the thread ends (or calls from another view),
// and whether its last volume search was answered from that cache.
class ThreadView {
 public:
  ViewCache& cache() {
    const ViewKey view = current_view().key;
    renew_after_fork();
    if (!cache_ || view != view_) {
      cache_.reset();  // first: a cache of the old view no thread holds ends now
      searched_ = false;
      cache_ = cache_of(view);
      view_ = view;
    }
    return *cache_;
  }

  // The thread's last volume search was answered from cache().
  void note_search() { searched_ = cache_ != nullptr; }

  // The cache the thread's last volume search was answered from, while the
  // thread has called from no other view since (null otherwise): the table
  // whose volume names that search gave out. Asks nothing of the kernel.
  ViewCache* searched_cache() {
    renew_after_fork();
    return searched_ ? cache_.get() : nullptr;
  }

 private:
  void renew_after_fork() {
    if (const unsigned generation = fork_generation(); generation != generation_) {
      // A forked child: the parent's cache is left alone (its lock may
      // have been held by another thread at the fork).
      new std::shared_ptr<ViewCache>(std::move(cache_));
      searched_ = false;
      generation_ = generation;
    }
  }

  ViewKey view_;
  unsigned generation_ = 0;
  std::shared_ptr<ViewCache> cache_;
  bool searched_ = false;
};

ThreadView& thread_view() {
  thread_local ThreadView view;
  return view;
}

// Whether a probe that did not answer while the snapshot was built could
// answer now: its gate is open again (a stuck worker returns only once its
// mount or device answers). The snapshot is then built again, so a volume
// named by its device number during a stall gets its name back.
bool answers_again(const Snapshot& snap) {
  for (const GateKey& key : snap.unanswered)
    if (gate_for(key)->idle()) return true;
  return false;
}

struct Built {
  std::shared_ptr<const Snapshot> snapshot;
  // false: the table changed while it was built (so with 32-bit IDs it may
  // join two mounts), or no signal could say: it is not kept.
  bool proven = true;
};

// The table read, its mounts identified, and its snapshot built. Mounts the
// kernel gives unique IDs are told apart by them; where it gives 32-bit IDs
// only, an ID statx saw at a mount point is the table's mount's only if the
// table did not change in between (it cannot be handed out again before its
// mount is gone), so a table that changed meanwhile is read again.
//
// What statx found at the mount points is kept for the next build only when
// the table did not change while they were asked: an answer taken after a
// change belongs to no table read, and a change undone before the next read
// (a mount moved away and back) leaves no trace there to discard it by. A
// snapshot built while the table changed serves this call and is not kept
// (the change's notice is taken here), so the next call builds again.
Outcome<Built> build_from_table(ViewCache& cache) {
  for (int build = 1;; ++build) {
    auto table = read_identified_table(mount_table_path());
    process_state().table_reads.fetch_add(1);
    if (!table.ok()) return failed<Built>(table.error);
    Built built{std::make_shared<const Snapshot>(
        build_snapshot(table.value, cache.verified_mount_points.get()))};
    built.proven = cache.watch.valid() && !table_changed(cache);
    if (built.proven) cache.verified_mount_points = built.snapshot->verified_mount_points;
    if (built.proven || !cache.watch.valid() || build == kMostBuilds ||
        compared_by(table.value) == MountIdKind::Unique)
      return {ERROR_SUCCESS, built};
  }
}

}  // namespace

namespace {

// The snapshot of `cache`, read and built again when the kernel flagged a
// change of its table (or a probe may answer now).
Outcome<std::shared_ptr<const Snapshot>> fresh_snapshot(ViewCache& cache) {
  using Result = std::shared_ptr<const Snapshot>;
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (needs_rebuild(cache) || answers_again(*cache.snapshot)) {
    // A read or build that fails (or throws) is this call's failure; the
    // next call reads the table again, whether or not it changed.
    cache.snapshot.reset();
    auto built = build_from_table(cache);
    if (!built.ok()) return failed<Result>(built.error);
    if (!built.value.proven) return {ERROR_SUCCESS, std::move(built.value.snapshot)};
    cache.snapshot = std::move(built.value.snapshot);
  }
  return {ERROR_SUCCESS, cache.snapshot};
}

}  // namespace

Outcome<std::shared_ptr<const Snapshot>> current_snapshot() {
  return fresh_snapshot(thread_view().cache());
}

Outcome<std::shared_ptr<const Snapshot>> search_snapshot() {
  ThreadView& view = thread_view();
  auto read = fresh_snapshot(view.cache());
  if (read.ok()) view.note_search();
  return read;
}

Outcome<std::shared_ptr<const Snapshot>> volume_name_snapshot() {
  if (ViewCache* searched = thread_view().searched_cache()) {
    std::lock_guard<std::mutex> lock(searched->mutex);
    // The table's own change signal, as for any call; the caller's view is
    // not looked at again.
    if (searched->snapshot && searched->watch.valid() && !table_changed(*searched) &&
        !answers_again(*searched->snapshot)) {
      return {ERROR_SUCCESS, searched->snapshot};
    }
    // Changed: the change this poll took is kept as a missing snapshot, so
    // whichever call next uses this cache builds it again.
    searched->snapshot.reset();
  }
  return current_snapshot();
}

std::uint64_t mount_table_reads() { return process_state().table_reads.load(); }

}  // namespace k32l
