// All process-wide state of the provider, and its renewal after fork.
//
// A forked child must not inherit it: the parent's workers do not exist
// there, a lock another thread held at the fork would never be released,
// and the parent's watched descriptor is shared with the parent (whichever
// process polled it first would take the other's change notices). The child
// gets a new ProcessState and leaves the old one alone. Never destroyed:
// detached workers use it until the process ends.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "block_policy.h"
#include "caller_view.h"
#include "raii.h"

namespace k32l {

class Gate;
class WorkerPool;
struct Snapshot;
class VerifiedMountPoints;

// The snapshot kept for one view (snapshot_cache.cpp). Every thread holds
// the cache of the view it last called from, so threads in different views
// that call in turn each keep theirs; the cache ends, and with it its watch
// descriptor (which holds the view's mount namespace), when the last thread
// holding it ends or moves to another view.
struct ViewCache {
  std::mutex mutex;
  UniqueFd watch;    // the view's mount table, whose poll flags a change
  UniqueFd notices;  // an epoll instance holding `watch` (invalid: poll it)
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
  // (worker_owner() 0), and the view they were started in: when the main
  // thread moves to another, they are closed and new ones start there.
  // Threads with a view of their own keep their own workers (bounded.cpp).
  ViewKey pool_view;
  std::shared_ptr<WorkerPool> pool;
  // One gate per key for the life of the process.
  std::map<GateKey, std::shared_ptr<Gate>> gates;
  std::atomic<std::uint64_t> table_reads{0};  // mount-table reads so far
};

ProcessState& process_state();

// The lock of the volume searches open in the process (volume_search.cpp).
// Searches, unlike the state above, cross fork: a child goes on with the
// handles it inherited. The fork handler holds this lock while the process
// forks, so no other thread is inside the registry then, and the child
// gets it consistent and unlocked.
std::mutex& search_lock();

// Bumped in each forked child: descriptors of the parent's /proc entries
// name the parent's threads there, so per-thread state opened before a fork
// is opened again, and what a thread held of the parent's state (a cache, a
// pool, whose lock another thread may have held at the fork) is abandoned.
unsigned fork_generation();

}  // namespace k32l
