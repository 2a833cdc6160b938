// All process-wide state of the provider, what each thread holds of it, and
// their renewal after fork.
//
// A forked child must not inherit them: the parent's workers do not exist
// there, a lock another thread held at the fork would never be released,
// and the parent's watching descriptors are shared with the parent
// (whichever process asked first would take the other's change notices).
// The child gets a new ProcessState and leaves the old one alone. Never
// destroyed: detached workers use it until the process ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "block_policy.h"
#include "caller_view.h"
#include "change_monitor.h"
#include "worker_pool.h"

namespace k32l {

struct Snapshot;
class Gate;
class VerifiedMountPoints;

// The snapshot kept for one view (snapshot_cache.cpp). Every thread holds
// the cache of the view it last called from, so threads in different views
// that call in turn each keep theirs; the cache ends, and with it its change
// monitor (whose descriptor holds the view's mount namespace), when the last
// thread holding it ends or moves to another view.
struct ViewCache {
  std::mutex mutex;
  ChangeMonitor changes;  // the view's mount table, watched
  std::shared_ptr<const Snapshot> snapshot;
  // What the last snapshot built for the view found at its mount points,
  // kept when a change drops that snapshot, for the next build.
  std::shared_ptr<const VerifiedMountPoints> verified_mount_points;
};

struct ProcessState {
  std::mutex mutex;  // guards the members below but table_reads
  // The caches threads hold now, by view: how a thread finds the cache of
  // its view when another thread holds it already. Expired entries are
  // dropped as new ones come.
  std::map<ViewKey, std::weak_ptr<ViewCache>> view_caches;
  // The workers of the threads that share the main thread's view
  // (worker_owner 0), and the view they were started in: when the main
  // thread moves to another, they are closed and new ones start there.
  // Threads with a view of their own keep their own workers (ThreadRecord).
  ViewKey pool_view;
  std::shared_ptr<WorkerPool> pool;
  // One gate per key for the life of the process.
  std::map<GateKey, std::shared_ptr<Gate>> gates;
  std::atomic<std::uint64_t> table_reads{0};  // mount-table reads so far
};

ProcessState& process_state();

// What the calling thread holds of the state above, in one record: let go
// when the thread ends; in a forked child the fork handler abandons the
// forking thread's (what it held may be locked by a thread that is not
// there), and no other thread exists there.
struct ThreadRecord {
  ThreadRecord() = default;
  ThreadRecord(const ThreadRecord&) = delete;
  ThreadRecord& operator=(const ThreadRecord&) = delete;
  ~ThreadRecord();  // closes the thread's own workers

  // The cache of the view the thread last called from, that view, and
  // whether the thread's last volume search was answered from that cache
  // (snapshot_cache.cpp).
  std::shared_ptr<ViewCache> cache;
  ViewKey cache_view;
  bool searched = false;
  // The workers of a thread whose view is its own (worker_owner its ID),
  // started by it, and the owner and view they serve (bounded.cpp).
  std::shared_ptr<WorkerPool> own_workers;
  std::uint64_t workers_owner = 0;
  ViewKey workers_view;
};

ThreadRecord& this_thread();

// The lock of the volume searches open in the process (volume_search.cpp).
// Searches, unlike the state above, cross fork: a child goes on with the
// handles it inherited. The fork handler holds this lock while the process
// forks, so no other thread is inside the registry then, and the child
// gets it consistent and unlocked.
std::mutex& search_lock();

}  // namespace k32l
