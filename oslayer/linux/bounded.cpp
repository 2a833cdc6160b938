#include "bounded.h"

#include "caller_view.h"
#include "process_state.h"

namespace k32l {
namespace {

// The workers that serve the calling thread: the process's, or where its
// view is its own (worker_owner its ID), its own, started by it, so they
// share its namespace, root, working directory and descriptor table, and
// closed when it ends or its view changes.
std::shared_ptr<WorkerPool> workers_for_caller() {
  const CallerView caller = current_view();
  if (caller.worker_owner != 0) {
    ThreadRecord& record = this_thread();
    if (!record.own_workers || record.workers_owner != caller.worker_owner ||
        record.workers_view != caller.key || !record.own_workers->serves_caller()) {
      if (record.own_workers) record.own_workers->close();
      record.own_workers = std::make_shared<WorkerPool>();
      record.workers_owner = caller.worker_owner;
      record.workers_view = caller.key;
    }
    return record.own_workers;
  }
  ProcessState& s = process_state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.pool || s.pool_view != caller.key || !s.pool->serves_caller()) {
    if (s.pool) s.pool->close();
    s.pool = std::make_shared<WorkerPool>();
    s.pool_view = caller.key;
  }
  return s.pool;
}

}  // namespace

Gate::Claim Gate::claim(BoundedClock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stalled_) return Claim::Stalled;
    if (!busy_) {
      busy_ = true;
      return Claim::Granted;
    }
    if (freed_.wait_until(lock, deadline) == std::cv_status::timeout && busy_)
      return stalled_ ? Claim::Stalled : Claim::TimedOut;
  }
}

void Gate::abandon() {
  std::lock_guard<std::mutex> lock(mutex_);
  stalled_ = true;
  freed_.notify_all();  // waiters fail at once instead of at their deadline
}

void Gate::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = false;
  stalled_ = false;
  freed_.notify_all();
}

bool Gate::idle() {
  std::lock_guard<std::mutex> lock(mutex_);
  return !busy_ && !stalled_;
}

bool Gate::stalled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stalled_;
}

void run_on_worker(std::function<void()> task) { workers_for_caller()->run(std::move(task)); }

std::shared_ptr<Gate> gate_for(GateKey key) {
  ProcessState& s = process_state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto& slot = s.gates[key];
  if (!slot) slot = std::make_shared<Gate>();
  return slot;
}

std::shared_ptr<Gate> gate_for(GateKind kind, std::uint64_t number) {
  return gate_for(GateKey{kind, number});
}

}  // namespace k32l
