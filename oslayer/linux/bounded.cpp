#include "bounded.h"

#include <deque>

#include "caller_view.h"
#include "process_state.h"

namespace k32l {
namespace {

// Idle workers wait this long for another task, then exit; at most this many
// wait at once (a refresh of N mounts starts N root checks together).
constexpr std::chrono::seconds kWorkerIdleTime{5};
constexpr std::size_t kMaxIdleWorkers = 1024;

}  // namespace

class WorkerPool {
 public:
  void run(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // More idle workers than queued tasks: one of them takes this one.
      if (idle_ > queue_.size()) {
        queue_.push_back(std::move(task));
        ready_.notify_one();
        return;
      }
    }
    std::thread worker([this, first = std::move(task)]() mutable {
      first();
      first = nullptr;
      work();
    });
    worker.detach();
  }

 private:
  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (queue_.empty()) {
        if (idle_ >= kMaxIdleWorkers) return;
        ++idle_;
        const bool got =
            ready_.wait_for(lock, kWorkerIdleTime, [this] { return !queue_.empty(); });
        --idle_;
        if (!got) return;
      }
      std::function<void()> task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;
  std::size_t idle_ = 0;
};

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

bool Gate::stalled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stalled_;
}

void run_on_worker(std::function<void()> task) {
  const std::uint64_t view = current_view().key();
  WorkerPool* pool = nullptr;
  {
    ProcessState& s = process_state();
    std::lock_guard<std::mutex> lock(s.mutex);
    WorkerPool*& slot = s.pools[view];
    if (!slot) slot = new WorkerPool();  // lives as long as its workers: to the end
    pool = slot;
  }
  pool->run(std::move(task));
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
