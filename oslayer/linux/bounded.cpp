#include "bounded.h"

#include <pthread.h>

#include <deque>
#include <map>

namespace k32l {
namespace {

// Idle workers wait this long for another task, then exit; at most this many
// wait at once (a refresh of N mounts starts N root checks together).
constexpr std::chrono::seconds kWorkerIdleTime{5};
constexpr std::size_t kMaxIdleWorkers = 1024;

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

// Never destroyed (detached workers use it until the process ends). A forked
// child has none of the parent's workers: it starts with a new, empty pool
// (the old one, whose lock another thread may have held, is left alone).
WorkerPool* pool_instance = nullptr;

void reset_pool_in_child() { pool_instance = new WorkerPool(); }

WorkerPool& pool() {
  static const bool registered = [] {
    pool_instance = new WorkerPool();
    pthread_atfork(nullptr, nullptr, reset_pool_in_child);
    return true;
  }();
  (void)registered;
  return *pool_instance;
}

}  // namespace

void run_on_worker(std::function<void()> task) { pool().run(std::move(task)); }

std::shared_ptr<Gate> gate_for(std::uint64_t key) {
  static std::mutex mutex;
  static std::map<std::uint64_t, std::shared_ptr<Gate>> gates;
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = gates[key];
  if (!slot) slot = std::make_shared<Gate>();
  return slot;
}

}  // namespace k32l
