#include "process_state.h"

#include <pthread.h>

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
// numbers here are the forking thread's own files. The forking thread's
// record starts empty; the other threads' do not exist here.
void renew_in_child() {
  ThreadRecord& record = this_thread();
  abandon(record.cache);
  record.cache_view = ViewKey{};
  record.searched = false;
  abandon(record.own_workers);
  record.workers_owner = 0;
  record.workers_view = ViewKey{};

  ProcessState* const inherited = state_instance;
  for (auto& [view, held] : inherited->view_caches) {
    if (auto cache = held.lock()) {
      cache->changes.close();
      abandon(cache);
    }
  }
  state_instance = new ProcessState();
  inherited->mutex.unlock();
  searches_mutex().unlock();
}

}  // namespace

ProcessState& process_state() {
  static const bool registered = [] {
    state_instance = new ProcessState();
    pthread_atfork(before_fork, in_parent, renew_in_child);
    return true;
  }();
  (void)registered;
  return *state_instance;
}

ThreadRecord& this_thread() {
  thread_local ThreadRecord record;
  return record;
}

ThreadRecord::~ThreadRecord() {
  if (own_workers) own_workers->close();
}

std::mutex& search_lock() {
  process_state();  // the fork handlers are registered before a search opens
  return searches_mutex();
}

}  // namespace k32l
