#include "worker_pool.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "caller_view.h"

namespace k32l {

namespace {

// Idle workers wait this long for another task, then exit; at most this many
// wait at once (a refresh of N mounts starts N root checks together).
constexpr std::chrono::seconds kWorkerIdleTime{5};
constexpr std::size_t kMaxIdleWorkers = 1024;

}  // namespace

void WorkerPool::run(std::function<void()> task) {
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

bool WorkerPool::serves_caller() {
  std::lock_guard<std::mutex> lock(mutex_);
  // A member leaves under this lock, so it is alive while it is compared.
  return members_.empty() || shares_view_with(members_.front());
}

void WorkerPool::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  ready_.notify_all();
}

void WorkerPool::work() {
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

void WorkerPool::enlist() {
  std::lock_guard<std::mutex> lock(mutex_);
  members_.push_back(::gettid());
}

void WorkerPool::leave() {
  const auto self = std::find(members_.begin(), members_.end(), ::gettid());
  if (self != members_.end()) members_.erase(self);
}

}  // namespace k32l
