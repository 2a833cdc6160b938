#include "bounded.h"

#include "caller_view.h"
#include "process_state.h"

namespace k32l {
namespace {

// The View whose workers serve the calling thread, in view `key`: the one
// the thread holds (held from now on where it holds none), or, where the
// thread calls from another view than that one and has asked for no
// snapshot there (a volume named by its GUID name is answered from the
// table of its last search, snapshot_cache.cpp), `key`'s, for this task
// only. Never lets go of the View the thread holds: the caller may be
// building that View's snapshot.
std::shared_ptr<View> view_serving(const ViewKey& key) {
  ThreadRecord& record = this_thread();
  if (!record.view) record.hold(key);
  return record.view->key() == key ? record.view : view_of(key);
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

void run_on_worker(std::function<void()> task) {
  // The process's workers, or where the caller's view is its own
  // (worker_owner its ID), its own, started by it, so they share its
  // namespace, root, working directory and descriptor table. The View is
  // held until the task is handed over: a View no thread holds closes its
  // workers as it ends, and the worker then ends once the task returns.
  const CallerView caller = current_view();
  const std::shared_ptr<View> view = view_serving(caller.key);
  view->workers(caller.worker_owner)->run(std::move(task));
}

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
