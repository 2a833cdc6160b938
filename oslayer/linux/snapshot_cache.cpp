// The snapshot kept for each caller's view until the kernel reports a change
// of that view's mount table.
#include <fcntl.h>
#include <poll.h>

#include "bounded.h"
#include "caller_view.h"
#include "process_state.h"
#include "snapshot.h"

namespace k32l {

namespace {

// Whether the snapshot `cache` holds is stale: none yet, no watch, or the
// kernel flagged a change of the table on the watched descriptor.
bool needs_rebuild(ViewCache& cache) {
  if (!cache.watch.valid())
    cache.watch.reset(::open(mount_table_path(), O_RDONLY | O_CLOEXEC));
  bool changed = !cache.snapshot || !cache.watch.valid();
  if (cache.watch.valid()) {
    // The kernel flags POLLPRI|POLLERR once per change of the table since
    // the last poll on this descriptor.
    pollfd p{cache.watch.get(), POLLPRI | POLLERR, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLPRI | POLLERR))) changed = true;
  }
  return changed;
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
// called from, let go when the thread ends (or calls from another view).
class ThreadView {
 public:
  ViewCache& cache() {
    const ViewKey view = current_view().key;
    if (const unsigned generation = fork_generation(); generation != generation_) {
      // A forked child: the parent's cache is left alone (its lock may
      // have been held by another thread at the fork).
      new std::shared_ptr<ViewCache>(std::move(cache_));
      generation_ = generation;
    }
    if (!cache_ || view != view_) {
      cache_.reset();  // first: a cache of the old view no thread holds ends now
      cache_ = cache_of(view);
      view_ = view;
    }
    return *cache_;
  }

 private:
  ViewKey view_;
  unsigned generation_ = 0;
  std::shared_ptr<ViewCache> cache_;
};

// Whether a probe that did not answer while the snapshot was built could
// answer now: its gate is open again (a stuck worker returns only once its
// mount or device answers). The snapshot is then built again, so a volume
// named by its device number during a stall gets its name back.
bool answers_again(const Snapshot& snap) {
  for (const GateKey& key : snap.unanswered)
    if (gate_for(key)->idle()) return true;
  return false;
}

}  // namespace

std::shared_ptr<const Snapshot> current_snapshot() {
  thread_local ThreadView thread_view;
  ViewCache& cache = thread_view.cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  if (needs_rebuild(cache) || answers_again(*cache.snapshot)) {
    cache.snapshot.reset();  // a build that throws is retried by the next call
    // A table that cannot be read is taken as empty, and that snapshot is
    // kept until the table changes.
    auto table = read_mount_table(mount_table_path());
    process_state().table_reads.fetch_add(1);
    cache.snapshot = std::make_shared<const Snapshot>(build_snapshot(table.value));
  }
  return cache.snapshot;
}

std::uint64_t mount_table_reads() { return process_state().table_reads.load(); }

}  // namespace k32l
