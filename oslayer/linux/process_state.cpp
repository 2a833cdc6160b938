#include "process_state.h"

#include <pthread.h>
#include <unistd.h>

namespace k32l {

namespace {

ProcessState* state_instance = nullptr;

std::mutex& searches_mutex() {
  static std::mutex* const lock = new std::mutex();  // never destroyed, as the searches
  return *lock;
}

// Keeps `held` from ever being let go: its destructor would take a lock
// that a thread of the parent may have held at the fork, or close workers
// that do not exist here.
template <class T>
void abandon(std::shared_ptr<T>& held) {
  new std::shared_ptr<T>(std::move(held));
}

// The provider's only fork handlers. Before the fork, the forking thread
// takes the locks whose holders' data the child reads (the searches it goes
// on with; the old state's map of views, whose monitors it closes), so no
// other thread is inside them while the process is copied.
void before_fork() {
  searches_mutex().lock();
  state_instance->mutex.lock();
}

void in_parent() {
  state_instance->mutex.unlock();
  searches_mutex().unlock();
}

// The renewal after fork, all of it. Only the forking thread runs in the
// child, in a copy of its own descriptor table: each view's change monitor
// closes the descriptors that are its own in that table, and forgets those
// opened in a table of another thread's (unshare(CLONE_FILES)), whose
// numbers here are the forking thread's own files. Every View, with its
// snapshot and worker pools, is abandoned: the workers do not exist here.
// The forking thread's record starts empty; the other threads' do not
// exist here.
void renew_in_child() {
  ThreadRecord& record = this_thread();
  abandon(record.view);
  record.searched = false;

  ProcessState* const inherited = state_instance;
  for (auto& [key, held] : inherited->views) {
    if (auto view = held.lock()) {
      view->changes.close();
      abandon(view);
    }
  }
  state_instance = new ProcessState();
  inherited->mutex.unlock();
  searches_mutex().unlock();
}

std::uint64_t this_thread_id() { return static_cast<std::uint64_t>(::gettid()); }

}  // namespace

View::~View() {
  for (auto& [owner, pool] : pools_) pool->close();
}

std::shared_ptr<WorkerPool> View::workers(std::uint64_t owner) {
  std::lock_guard<std::mutex> lock(pools_mutex_);
  std::shared_ptr<WorkerPool>& pool = pools_[owner];
  if (!pool || !pool->serves_caller()) {
    if (pool) pool->close();
    pool = std::make_shared<WorkerPool>();
  }
  return pool;
}

void View::close_workers(std::uint64_t owner) {
  std::lock_guard<std::mutex> lock(pools_mutex_);
  const auto found = pools_.find(owner);
  if (found == pools_.end()) return;
  found->second->close();
  pools_.erase(found);
}

ProcessState& process_state() {
  static const bool registered = [] {
    state_instance = new ProcessState();
    pthread_atfork(before_fork, in_parent, renew_in_child);
    return true;
  }();
  (void)registered;
  return *state_instance;
}

std::shared_ptr<View> view_of(const ViewKey& key) {
  ProcessState& s = process_state();
  std::lock_guard<std::mutex> lock(s.mutex);
  for (auto it = s.views.begin(); it != s.views.end();)
    it = it->second.expired() ? s.views.erase(it) : std::next(it);
  std::weak_ptr<View>& held = s.views[key];
  auto view = held.lock();
  if (!view) {
    view = std::make_shared<View>(key);
    held = view;
  }
  return view;
}

ThreadRecord& this_thread() {
  thread_local ThreadRecord record;
  return record;
}

View& ThreadRecord::hold(const ViewKey& key) {
  if (view && view->key() == key) return *view;
  if (view) view->close_workers(this_thread_id());
  view.reset();  // first: a View no other thread holds ends now
  searched = false;
  view = view_of(key);
  return *view;
}

ThreadRecord::~ThreadRecord() {
  if (view) view->close_workers(this_thread_id());
}

std::mutex& search_lock() {
  process_state();  // the fork handlers are registered before a search opens
  return searches_mutex();
}

}  // namespace k32l
