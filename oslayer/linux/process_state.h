// All process-wide state of the provider, what is kept for each caller's
// view, what each thread holds of it, and their renewal after fork.
//
// A forked child must not inherit them: the parent's workers do not exist
// there, a lock another thread held at the fork would never be released,
// and the parent's watching descriptors are shared with the parent
// (whichever process asked first would take the other's change notices).
// The child gets a new ProcessState and leaves the old one and its views
// alone. Never destroyed: detached workers use it until the process ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "block_policy.h"
#include "caller_view.h"
#include "change_monitor.h"
#include "worker_pool.h"

namespace k32l {

struct Snapshot;
class Gate;
class VerifiedMountPoints;

// Everything kept for one caller's view (its ViewKey): the watched mount
// table, its snapshot, what statx found at its mount points, and the
// workers that run its callers' tasks. Every thread holds the View it last
// called from (ThreadRecord), so threads in different views that call in
// turn each keep theirs; a View ends when the last thread holding it ends
// or moves to another view, and with it its change monitor (whose
// descriptor holds the view's mount namespace) and its workers (which hold
// its root and descriptor table).
class View {
 public:
  explicit View(const ViewKey& key) : key_(key) {}
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  ~View();  // closes the view's worker pools

  const ViewKey& key() const { return key_; }

  // The snapshot state (snapshot_cache.cpp), guarded by `mutex`, which is
  // held while a snapshot is built.
  std::mutex mutex;
  ChangeMonitor changes;  // the view's mount table, watched
  // The view's table: the one its calls are answered from, and the table
  // whose volume names the last search of each thread that searched here
  // gave out (ThreadRecord::searched).
  std::shared_ptr<const Snapshot> snapshot;
  // What the last snapshot built for the view found at its mount points,
  // kept when a change drops that snapshot, for the next build.
  std::shared_ptr<const VerifiedMountPoints> verified_mount_points;
  // The snapshot the rename watch of `changes` was started for and its
  // text proven after, and by volume position whether the watch covers all
  // of a volume's mount points (mount_point_watch.h).
  std::shared_ptr<const Snapshot> watched;
  std::vector<bool> watched_volumes;
  // Whether a search was answered here before: the rename watch is started
  // from the second on.
  bool searched = false;

  // The workers of `owner` (CallerView::worker_owner: 0 for the threads
  // that share the main thread's root, working directory and descriptor
  // table, else the ID of the one thread they serve) in this view, started
  // anew when the calling thread no longer shares the old ones' root and
  // descriptor table (bounded.cpp).
  std::shared_ptr<WorkerPool> workers(std::uint64_t owner);
  // Closes the workers of `owner`, if any: their thread ended or moved to
  // another view.
  void close_workers(std::uint64_t owner);

 private:
  const ViewKey key_;
  // Not `mutex`: a snapshot is built under that one and hands its probes to
  // these workers.
  std::mutex pools_mutex_;
  std::map<std::uint64_t, std::shared_ptr<WorkerPool>> pools_;
};

struct ProcessState {
  std::mutex mutex;  // guards the members below but table_reads
  // The views threads hold now, by key: how a thread finds the View of its
  // view when another thread holds it already. Expired entries are dropped
  // as new ones come.
  std::map<ViewKey, std::weak_ptr<View>> views;
  // One gate per key for the life of the process.
  std::map<GateKey, std::shared_ptr<Gate>> gates;
  std::atomic<std::uint64_t> table_reads{0};  // mount-table reads so far
};

ProcessState& process_state();

// The View of `key`: the one a thread holds already, or a new one.
std::shared_ptr<View> view_of(const ViewKey& key);

// What the calling thread holds of the state above, in one record: let go
// when the thread ends; in a forked child the fork handler abandons the
// forking thread's (what it held may be locked by a thread that is not
// there), and no other thread exists there.
struct ThreadRecord {
  ThreadRecord() = default;
  ThreadRecord(const ThreadRecord&) = delete;
  ThreadRecord& operator=(const ThreadRecord&) = delete;
  ~ThreadRecord();  // closes the thread's own workers

  // The View the thread last called from (snapshot_cache.cpp), and whether
  // its last volume search was answered from that View's table.
  std::shared_ptr<View> view;
  bool searched = false;

  // Makes `key`'s View the thread's, when it is not already: the thread's
  // own workers in the View it leaves are closed, and that View ends now if
  // no other thread holds it.
  View& hold(const ViewKey& key);
};

ThreadRecord& this_thread();

// The lock of the volume searches open in the process (volume_search.cpp).
// Searches, unlike the state above, cross fork: a child goes on with the
// handles it inherited. The fork handler holds this lock while the process
// forks, so no other thread is inside the registry then, and the child
// gets it consistent and unlocked.
std::mutex& search_lock();

}  // namespace k32l
