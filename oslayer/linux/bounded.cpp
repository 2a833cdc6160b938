#include "bounded.h"

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <vector>

#include "caller_view.h"
#include "process_state.h"

namespace k32l {
namespace {

// Idle workers wait this long for another task, then exit; at most this many
// wait at once (a refresh of N mounts starts N root checks together).
constexpr std::chrono::seconds kWorkerIdleTime{5};
constexpr std::size_t kMaxIdleWorkers = 1024;

}  // namespace

class WorkerPool : public std::enable_shared_from_this<WorkerPool> {
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
    std::thread worker([pool = shared_from_this(), first = std::move(task)]() mutable {
      pool->enlist();
      first();
      first = nullptr;
      pool->work();
    });
    worker.detach();
  }

  // Whether the calling thread shares the root, working directory and
  // descriptor table of this pool's workers (a pool without workers serves
  // anyone): a thread that unshared its descriptor table or root since it
  // started them would hand them descriptor numbers and paths that mean
  // other files to them. All workers of a pool share these: each was started
  // by a caller the pool served.
  bool serves_caller() {
    std::lock_guard<std::mutex> lock(mutex_);
    // A member leaves under this lock, so it is alive while it is compared.
    return members_.empty() || shares_view_with(members_.front());
  }

  // No more tasks come: idle workers end now, busy ones when their task
  // returns. A worker holds the namespace, root and descriptor table of the
  // thread that started it, so workers must not outlive the view they serve.
  void close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    ready_.notify_all();
  }

 private:
  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (queue_.empty()) {
        if (closed_ || idle_ >= kMaxIdleWorkers) return leave();
        ++idle_;
        ready_.wait_for(lock, kWorkerIdleTime, [this] { return closed_ || !queue_.empty(); });
        --idle_;
        if (queue_.empty()) return leave();  // idle for kWorkerIdleTime, or closed
      }
      std::function<void()> task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task();
      task = nullptr;
      lock.lock();
    }
  }

  void enlist() {
    std::lock_guard<std::mutex> lock(mutex_);
    members_.push_back(::gettid());
  }
  // Under the lock, as the worker ends.
  void leave() {
    const auto self = std::find(members_.begin(), members_.end(), ::gettid());
    if (self != members_.end()) members_.erase(self);
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;
  std::vector<pid_t> members_;  // thread IDs of the workers alive
  std::size_t idle_ = 0;
  bool closed_ = false;
};

namespace {

// The workers of a thread whose view is its own (worker_owner() is its ID):
// started by it, so they share its namespace, root, working directory and
// descriptor table; closed when the thread ends or its view changes.
class OwnWorkers {
 public:
  OwnWorkers() = default;
  OwnWorkers(const OwnWorkers&) = delete;
  OwnWorkers& operator=(const OwnWorkers&) = delete;
  ~OwnWorkers() { close(); }

  std::shared_ptr<WorkerPool> pool(std::uint64_t owner, const ViewKey& view) {
    if (const unsigned generation = fork_generation(); generation != generation_) {
      // A forked child: the parent's workers do not exist here, and one of
      // them may have held the pool's lock at the fork.
      new std::shared_ptr<WorkerPool>(std::move(pool_));
      generation_ = generation;
    }
    if (!pool_ || owner != owner_ || view != view_ || !pool_->serves_caller()) {
      close();
      pool_ = std::make_shared<WorkerPool>();
      owner_ = owner;
      view_ = view;
    }
    return pool_;
  }

 private:
  void close() {
    if (pool_) pool_->close();
    pool_.reset();
  }

  std::shared_ptr<WorkerPool> pool_;
  std::uint64_t owner_ = 0;
  ViewKey view_;
  unsigned generation_ = 0;
};

// The workers that serve the calling thread (see worker_owner).
std::shared_ptr<WorkerPool> workers_for_caller() {
  const ViewKey view = current_view().key;
  if (const std::uint64_t owner = worker_owner(); owner != 0) {
    thread_local OwnWorkers own;
    return own.pool(owner, view);
  }
  ProcessState& s = process_state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.pool || s.pool_view != view || !s.pool->serves_caller()) {
    if (s.pool) s.pool->close();
    s.pool = std::make_shared<WorkerPool>();
    s.pool_view = view;
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
