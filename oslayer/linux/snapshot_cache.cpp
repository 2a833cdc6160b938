// The snapshot kept for each caller's view until the kernel reports a change
// of that view's mount table.
#include <string>
#include <utility>
#include <vector>

#include "bounded.h"
#include "caller_view.h"
#include "identity.h"
#include "mount_identity.h"
#include "mount_point_watch.h"
#include "process_state.h"
#include "snapshot.h"

namespace k32l {

namespace {

// How many times a table that changed while it was being built is read and
// built again, where mounts are told apart by 32-bit IDs.
constexpr int kMostBuilds = 3;

// Whether the snapshot `view` holds is stale: none yet, or the kernel
// flagged a change of the table, or no signal was open to flag one (one
// opened only now says nothing of the changes before it), or the signal
// could not be asked (then it is opened again before the table is read).
bool needs_rebuild(View& view) {
  const bool stale = !view.changes.is_open() || view.changes.changed() || !view.snapshot;
  if (!view.changes.is_open()) view.changes.open(mount_table_path());
  return stale;
}

// The View the calling thread calls from now: the one it holds, or, when
// it has moved to another view, that view's (its last search then answered
// from no View it holds).
View& view_of_caller() { return this_thread().hold(current_view().key); }

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
Outcome<Built> build_from_table(View& view) {
  for (int build = 1;; ++build) {
    auto table = read_identified_table(mount_table_path());
    process_state().table_reads.fetch_add(1);
    if (!table.ok()) return failed<Built>(table.error);
    Built built{std::make_shared<const Snapshot>(
        build_snapshot(table.value, view.verified_mount_points.get()))};
    built.proven = view.changes.is_open() && !view.changes.changed();
    if (built.proven) view.verified_mount_points = built.snapshot->verified_mount_points;
    if (built.proven || !view.changes.is_open() || build == kMostBuilds ||
        compared_by(table.value) == MountIdKind::Unique)
      return {ERROR_SUCCESS, built};
  }
}

}  // namespace

namespace {

// Whether the mount points of `snap` read otherwise now: a directory renamed
// above one changes its text and raises no change signal.
bool mount_points_moved(const Snapshot& snap) {
  return !snap.mount_point_text || !snap.mount_point_text->still_holds(mount_table_path());
}

// Past this many mount points that the rename watch does not cover, one
// read of the table's text proves them at less cost than a statmount each.
constexpr std::size_t kMostUnwatchedProvenAlone = 64;

// Whether the mount points the volumes of `view`'s snapshot give out still
// read as they did: the rename watch started for that snapshot is quiet,
// and those it does not cover have their text read again by their mounts'
// unique IDs (one statmount each), or, where there are many or mounts have
// 32-bit IDs only, the table's text is read again.
bool view_mount_points_hold(const View& view) {
  const Snapshot& snap = *view.snapshot;
  if (view.watched != view.snapshot || !view.changes.renames_quiet()) return false;
  std::vector<std::pair<std::uint64_t, const std::string*>> unwatched;
  for (std::size_t v = 0; v < snap.volumes.size(); ++v) {
    if (view.watched_volumes[v]) continue;
    const Volume& volume = snap.volumes[v];
    for (std::size_t n = 0; n < volume.targets.size(); ++n)
      unwatched.emplace_back(volume.target_mounts[n], &volume.targets[n]);
  }
  if (unwatched.size() > kMostUnwatchedProvenAlone || snap.mounts.id_kind() != MountIdKind::Unique)
    return unwatched.empty() || !mount_points_moved(snap);
  for (const auto& [mount, target] : unwatched)
    if (current_mount_point(mount) != *target) return false;
  return true;
}

// Watches `view`'s snapshot for renames above its mount points, then
// proves their text (the table's text read again): false where it changed,
// or changes before the watch reached it may have. A renamed mount point
// is reported from then on.
bool watch_and_prove(View& view) {
  view.watched_volumes = watch_mount_points(view.changes, *view.snapshot);
  view.watched = view.snapshot;
  if (!mount_points_moved(*view.snapshot)) return true;
  view.watched.reset();
  return false;
}

// The snapshot of `view`, read and built again when the kernel flagged a
// change of its table (or a probe may answer now), or, with
// `prove_mount_points`, when a mount point's text changed. Where it is
// proven, the mount points of the snapshot it returns are watched for
// renames from then on (mount_point_watch.h).
Outcome<std::shared_ptr<const Snapshot>> fresh_snapshot(View& view,
                                                        bool prove_mount_points) {
  using Result = std::shared_ptr<const Snapshot>;
  std::lock_guard<std::mutex> lock(view.mutex);
  // A view's first search proves its text without a watch: one that
  // searches once (a short-lived thread's) then opens no inotify instance,
  // whose close would cost its end the kernel's grace period.
  const bool watch = prove_mount_points && view.searched;
  bool rebuild = needs_rebuild(view) || answers_again(*view.snapshot);
  if (!rebuild && prove_mount_points && !view_mount_points_hold(view))
    rebuild = watch ? !watch_and_prove(view) : mount_points_moved(*view.snapshot);
  if (prove_mount_points) view.searched = true;
  if (rebuild) {
    // A read or build that fails (or throws) is this call's failure; the
    // next call reads the table again, whether or not it changed.
    view.snapshot.reset();
    view.watched.reset();
    auto built = build_from_table(view);
    if (!built.ok()) return failed<Result>(built.error);
    if (!built.value.proven) return {ERROR_SUCCESS, std::move(built.value.snapshot)};
    view.snapshot = std::move(built.value.snapshot);
    // Read just now, so it serves this call as it is; a rename before the
    // watch reached it leaves it unwatched, and the next search proves it.
    if (watch) watch_and_prove(view);
  }
  return {ERROR_SUCCESS, view.snapshot};
}

}  // namespace

Outcome<std::shared_ptr<const Snapshot>> current_snapshot() {
  return fresh_snapshot(view_of_caller(), false);
}

Outcome<std::shared_ptr<const Snapshot>> search_snapshot() {
  // A search gives out the mount points' text: it is proven first.
  auto read = fresh_snapshot(view_of_caller(), true);
  if (read.ok()) this_thread().searched = true;
  return read;
}

Outcome<std::shared_ptr<const Snapshot>> volume_name_snapshot() {
  // The View the thread's last search was answered from, while it has
  // called from no other view since: its table is the one whose volume
  // names that search gave out. Asks nothing of the kernel.
  ThreadRecord& record = this_thread();
  if (View* searched = record.searched ? record.view.get() : nullptr) {
    std::lock_guard<std::mutex> lock(searched->mutex);
    // The table's own change signal, as for any call; the caller's view is
    // not looked at again.
    if (searched->snapshot && searched->changes.is_open() && !searched->changes.changed() &&
        !answers_again(*searched->snapshot)) {
      return {ERROR_SUCCESS, searched->snapshot};
    }
    // Changed: the change this poll took is kept as a missing snapshot, so
    // whichever call next uses this View builds it again.
    searched->snapshot.reset();
  }
  return current_snapshot();
}

void forget_moved_mount_points() {
  // The View the thread holds is both its last search's and its view's.
  if (View* held = this_thread().view.get()) {
    std::lock_guard<std::mutex> lock(held->mutex);
    held->snapshot.reset();
  }
}

bool mount_points_watched(const Snapshot& snap, const Volume& volume) {
  View* held = this_thread().view.get();
  if (!held) return false;
  std::lock_guard<std::mutex> lock(held->mutex);
  if (held->watched.get() != &snap) return false;
  const auto at = static_cast<std::size_t>(&volume - snap.volumes.data());
  return at < held->watched_volumes.size() && held->watched_volumes[at] &&
         held->changes.renames_quiet();
}

bool in_view_of_held_table() {
  const ThreadRecord& record = this_thread();
  return record.view && current_view().key == record.view->key();
}

std::uint64_t mount_table_reads() { return process_state().table_reads.load(); }

}  // namespace k32l
