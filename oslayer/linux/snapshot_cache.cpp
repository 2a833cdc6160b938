// The snapshot kept for the caller's view until the kernel reports a change
// of its mount table.
#include <fcntl.h>
#include <poll.h>

#include "caller_view.h"
#include "identity.h"
#include "process_state.h"
#include "snapshot.h"

namespace k32l {

namespace {

// How many times a table that changed while it was being built is read and
// built again, where mounts are told apart by 32-bit IDs.
constexpr int kMostBuilds = 3;

// Whether the kernel flagged a change of the table on the watched
// descriptor since it was last polled: it flags POLLPRI|POLLERR once per
// change since the last poll on that descriptor.
bool table_changed(const ViewCache& cache) {
  pollfd p{cache.watch.get(), POLLPRI | POLLERR, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLPRI | POLLERR));
}

// Whether the snapshot `cache` holds is stale: none yet, no watch, or the
// kernel flagged a change of the table.
bool needs_rebuild(ViewCache& cache) {
  if (!cache.watch.valid())
    cache.watch.reset(::open(mount_table_path(), O_RDONLY | O_CLOEXEC));
  bool changed = !cache.snapshot || !cache.watch.valid();
  if (cache.watch.valid() && table_changed(cache)) changed = true;
  return changed;
}

struct Built {
  std::shared_ptr<const Snapshot> snapshot;
  bool proven = true;  // false: it may join two mounts, so it is not kept
};

// The table read, its mounts identified, and its snapshot built. Mounts the
// kernel gives unique IDs are told apart by them; where it gives 32-bit IDs
// only, an ID statx saw at a mount point is the table's mount's only if the
// table did not change in between (it cannot be handed out again before its
// mount is gone), so a table that changed meanwhile is read again.
Outcome<Built> build_from_table(ViewCache& cache) {
  for (int build = 1;; ++build) {
    auto table = read_mount_table(mount_table_path());
    cache.reads.fetch_add(1);
    if (!table.ok()) return failed<Built>(table.error);
    identify_mounts(table.value);
    Built built{std::make_shared<const Snapshot>(build_snapshot(table.value))};
    if (compared_by(table.value) == MountIdKind::Unique) return {ERROR_SUCCESS, built};
    built.proven = cache.watch.valid() && !table_changed(cache);
    if (built.proven || !cache.watch.valid() || build == kMostBuilds)
      return {ERROR_SUCCESS, built};
  }
}

}  // namespace

Outcome<std::shared_ptr<const Snapshot>> current_snapshot() {
  using Result = std::shared_ptr<const Snapshot>;
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

std::uint64_t mount_table_reads() { return process_state().view_cache.reads.load(); }

}  // namespace k32l
