#include "process_state.h"

#include <pthread.h>

namespace k32l {

namespace {

ProcessState* state_instance = nullptr;
std::atomic<unsigned> generation{0};

std::mutex& searches_mutex() {
  static std::mutex* const lock = new std::mutex();  // never destroyed, as the searches
  return *lock;
}

// The provider's only fork handlers. Before the fork, the forking thread
// takes the locks whose holders' data the child reads (the searches it goes
// on with; the old state's map of views, whose watch descriptors it
// closes), so no other thread is inside them while the process is copied.
void before_fork() {
  searches_mutex().lock();
  state_instance->mutex.lock();
}

void in_parent() {
  state_instance->mutex.unlock();
  searches_mutex().unlock();
}

// No other thread runs in the child.
void renew_in_child() {
  generation.fetch_add(1);
  ProcessState* const inherited = state_instance;
  // The child's copies of the parent's watching descriptors: each table's
  // and the epoll instance holding it (shared with the parent, so a wait
  // there would take the parent's notices).
  for (auto& [view, held] : inherited->view_caches) {
    if (auto cache = held.lock()) {
      cache->notices.reset();
      cache->watch.reset();
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

std::mutex& search_lock() {
  process_state();  // the fork handlers are registered before a search opens
  return searches_mutex();
}

unsigned fork_generation() {
  process_state();  // the fork handler is registered before any fork counts
  return generation.load();
}

}  // namespace k32l
