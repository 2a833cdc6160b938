#include "process_state.h"

#include <pthread.h>

namespace k32l {

namespace {

ProcessState* state_instance = nullptr;
std::atomic<unsigned> generation{0};

// The only fork handler of the provider: no other thread runs in the child,
// so nothing here can be held by another thread.
void renew_in_child() {
  generation.fetch_add(1);
  state_instance->view_cache.watch.reset();  // the child's copy of the parent's descriptor
  state_instance = new ProcessState();
}

}  // namespace

ProcessState& process_state() {
  static const bool registered = [] {
    state_instance = new ProcessState();
    pthread_atfork(nullptr, nullptr, renew_in_child);
    return true;
  }();
  (void)registered;
  return *state_instance;
}

unsigned fork_generation() {
  process_state();  // the fork handler is registered before any fork counts
  return generation.load();
}

}  // namespace k32l
