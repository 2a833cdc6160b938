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
#include "raii.h"

namespace k32l {

class Gate;
class WorkerPool;
struct Snapshot;

// The snapshot kept for the view of the threads asking (snapshot_cache.cpp).
struct ViewCache {
  std::mutex mutex;
  std::uint64_t view = 0;  // CallerView::key() of the view the snapshot is of
  UniqueFd watch;          // that view's mount table, polled for changes
  std::shared_ptr<const Snapshot> snapshot;
  std::atomic<std::uint64_t> reads{0};  // mount-table reads so far
};

struct ProcessState {
  std::mutex mutex;  // guards pools and gates
  // One pool per view: a worker resolves paths in the mount namespace of
  // the thread that created it. Pools live as long as their workers.
  std::map<std::uint64_t, WorkerPool*> pools;
  // One gate per key for the life of the process.
  std::map<GateKey, std::shared_ptr<Gate>> gates;
  ViewCache view_cache;
};

ProcessState& process_state();

// Bumped in each forked child: descriptors of the parent's /proc entries
// name the parent's threads there, so per-thread state opened before a fork
// is opened again.
unsigned fork_generation();

}  // namespace k32l
