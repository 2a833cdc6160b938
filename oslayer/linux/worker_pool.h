// A pool of detached worker threads that share one view (namespace, root,
// working directory, descriptor table): those of the thread that started
// them. Held by the View they serve (process_state.h), one pool per owner:
// the threads that share the main thread's view, or one thread with a view
// of its own.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace k32l {

class WorkerPool : public std::enable_shared_from_this<WorkerPool> {
 public:
  // Runs `task` on an idle worker, or on a new one started by the calling
  // thread (so sharing its view). Throws std::system_error, without running
  // `task`, when no thread can be created.
  void run(std::function<void()> task);

  // Whether the calling thread shares the root, working directory and
  // descriptor table of this pool's workers (a pool without workers serves
  // anyone): a thread that unshared its descriptor table or root since it
  // started them would hand them descriptor numbers and paths that mean
  // other files to them. All workers of a pool share these: each was started
  // by a caller the pool served.
  bool serves_caller();

  // No more tasks come: idle workers end now, busy ones when their task
  // returns. A worker holds the namespace, root and descriptor table of the
  // thread that started it, so workers must not outlive the view they serve.
  void close();

 private:
  void work();
  void enlist();
  void leave();  // under the lock, as the worker ends

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;
  std::vector<pid_t> members_;  // thread IDs of the workers alive
  std::size_t idle_ = 0;
  bool closed_ = false;
};

}  // namespace k32l
