// The snapshot kept for the caller's view until the kernel reports a change
// of its mount table.
#include <fcntl.h>
#include <poll.h>

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

}  // namespace

std::shared_ptr<const Snapshot> current_snapshot() {
  ViewCache& cache = process_state().view_cache;
  std::lock_guard<std::mutex> lock(cache.mutex);
  // A descriptor opened in another view goes on watching that view's table:
  // a thread that changed view starts afresh.
  const std::uint64_t view = current_view().key();
  if (view != cache.view) {
    cache.watch.reset();
    cache.snapshot.reset();
    cache.view = view;
  }
  if (needs_rebuild(cache)) {
    cache.snapshot.reset();  // a build that throws is retried by the next call
    // A table that cannot be read is taken as empty, and that snapshot is
    // kept until the table changes.
    auto table = read_mount_table(mount_table_path());
    cache.reads.fetch_add(1);
    cache.snapshot = std::make_shared<const Snapshot>(build_snapshot(table.value));
  }
  return cache.snapshot;
}

std::uint64_t mount_table_reads() { return process_state().view_cache.reads.load(); }

}  // namespace k32l
