#include "bounded.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <map>
#include <string_view>

#include "raii.h"

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

// Process-wide state that a forked child must not inherit: the parent's
// workers do not exist there, and a lock another thread held at the fork
// would never be released. Never destroyed (detached workers use it until
// the process ends); the child gets a new one and leaves the old alone.
struct Shared {
  std::mutex mutex;
  // One pool per mount namespace: a worker resolves paths in the namespace
  // of the thread that created it.
  std::map<std::uint64_t, WorkerPool*> pools;
  std::map<std::pair<GateKind, std::uint64_t>, std::shared_ptr<Gate>> gates;
};

Shared* shared_instance = nullptr;

void reset_in_child() { shared_instance = new Shared(); }

Shared& shared() {
  static const bool registered = [] {
    shared_instance = new Shared();
    pthread_atfork(nullptr, nullptr, reset_in_child);
    return true;
  }();
  (void)registered;
  return *shared_instance;
}

}  // namespace

namespace {

// Bumped in a forked child: descriptors of the parent's /proc entries name
// the parent's threads there.
std::atomic<unsigned> fork_generation{0};

void count_fork_in_child() { fork_generation.fetch_add(1); }

// This thread's /proc/<pid>/task/<tid>/ns directory, opened once per thread:
// reading the "mnt" link in it is one system call that still follows the
// thread into a new namespace.
class NamespaceDirectory {
 public:
  int get() {
    static const bool registered = [] {
      pthread_atfork(nullptr, nullptr, count_fork_in_child);
      return true;
    }();
    (void)registered;
    const unsigned generation = fork_generation.load();
    if (!dir_.valid() || generation_ != generation) {
      dir_.reset(::open("/proc/thread-self/ns", O_PATH | O_DIRECTORY | O_CLOEXEC));
      generation_ = generation;
    }
    return dir_.get();
  }

 private:
  UniqueFd dir_;
  unsigned generation_ = 0;
};

}  // namespace

std::uint64_t current_mount_namespace() {
  thread_local NamespaceDirectory directory;
  const int dir = directory.get();
  if (dir < 0) return 0;
  // The link reads "mnt:[N]", N being the inode number that stat of the
  // namespace file reports; reading it costs about half a stat, which
  // follows the link into the namespace file system.
  char link[64];
  const ssize_t length = ::readlinkat(dir, "mnt", link, sizeof link);
  constexpr std::string_view kPrefix = "mnt:[";
  const std::string_view text(link, length > 0 ? static_cast<std::size_t>(length) : 0);
  if (text.size() <= kPrefix.size() + 1 || text.substr(0, kPrefix.size()) != kPrefix ||
      text.back() != ']') {
    return 0;
  }
  std::uint64_t inode = 0;
  for (char c : text.substr(kPrefix.size(), text.size() - kPrefix.size() - 1)) {
    if (c < '0' || c > '9') return 0;
    inode = inode * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return inode;
}

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
  const std::uint64_t ns = current_mount_namespace();
  WorkerPool* pool = nullptr;
  {
    Shared& s = shared();
    std::lock_guard<std::mutex> lock(s.mutex);
    WorkerPool*& slot = s.pools[ns];
    if (!slot) slot = new WorkerPool();  // lives as long as its workers: to the end
    pool = slot;
  }
  pool->run(std::move(task));
}

std::shared_ptr<Gate> gate_for(GateKind kind, std::uint64_t key) {
  Shared& s = shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto& slot = s.gates[{kind, key}];
  if (!slot) slot = std::make_shared<Gate>();
  return slot;
}

}  // namespace k32l
