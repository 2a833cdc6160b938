// Runs calls that can block forever (stat/statvfs on a dead network share or
// a FUSE server that never answers) on a detached worker thread and waits for
// them a bounded time.
//
// The worker shares ownership of everything it touches (its captured
// arguments and the Pending record), so a worker that returns long after its
// caller gave up touches no freed memory.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace k32l {

// How long one call waits for a blocking file-system operation.
constexpr std::chrono::milliseconds kBlockingCallTimeout{2000};

using BoundedClock = std::chrono::steady_clock;

// Counts the workers still stuck on one mount after their callers gave up.
// While one is stuck, further calls on that mount fail at once instead of
// leaving one more thread behind each time.
struct Gate {
  std::atomic<int> stuck{0};
};
// The gate of the mount with device number `key` (one per key, kept for the
// life of the process).
std::shared_ptr<Gate> gate_for(std::uint64_t key);

template <class R>
struct Pending {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;  // the caller stopped waiting
  bool threw = false;
  std::optional<R> value;
  std::shared_ptr<Gate> gate;
};

template <class R>
using PendingPtr = std::shared_ptr<Pending<R>>;

// Runs `task` on a detached worker at once: an idle worker that finished an
// earlier task, or a new thread. A task never waits for a busy worker, so a
// worker stuck on a dead mount delays no other call; reusing idle workers
// saves a thread creation per call (a refresh makes several per volume).
// Throws std::system_error, without running `task`, when no thread can be
// created.
void run_on_worker(std::function<void()> task);

// Starts `fn` (returning R) on a detached worker. `fn` must own what it uses.
template <class R, class F>
PendingPtr<R> start_bounded(F fn, std::shared_ptr<Gate> gate) {
  auto pending = std::make_shared<Pending<R>>();
  pending->gate = std::move(gate);
  auto work = std::make_shared<std::function<void()>>([pending, fn = std::move(fn)]() mutable {
    std::optional<R> result;
    bool threw = false;
    try {
      result.emplace(fn());
    } catch (...) {
      threw = true;
    }
    std::lock_guard<std::mutex> lock(pending->mutex);
    pending->value = std::move(result);
    pending->threw = threw;
    pending->done = true;
    if (pending->abandoned && pending->gate) pending->gate->stuck.fetch_sub(1);
    pending->finished.notify_all();
  });
  run_on_worker([work] { (*work)(); });
  return pending;
}

enum class BoundedStatus { Ok, TimedOut, Failed };

template <class R>
struct Bounded {
  BoundedStatus status;
  std::optional<R> value;  // set when status == Ok
};

// Waits for a started worker until `deadline`. On timeout the worker is left
// running, counted as stuck on its gate until it returns.
template <class R>
Bounded<R> await_bounded(const PendingPtr<R>& pending, BoundedClock::time_point deadline) {
  std::unique_lock<std::mutex> lock(pending->mutex);
  if (!pending->finished.wait_until(lock, deadline, [&] { return pending->done; })) {
    pending->abandoned = true;
    if (pending->gate) pending->gate->stuck.fetch_add(1);
    return {BoundedStatus::TimedOut, std::nullopt};
  }
  if (pending->threw || !pending->value) return {BoundedStatus::Failed, std::nullopt};
  return {BoundedStatus::Ok, std::move(pending->value)};
}

// Runs `fn` with a bounded wait. A mount that already has a stuck worker
// times out at once without starting another.
template <class R, class F>
Bounded<R> run_bounded(F fn, std::shared_ptr<Gate> gate,
                       std::chrono::milliseconds limit = kBlockingCallTimeout) {
  if (gate && gate->stuck.load() > 0) return {BoundedStatus::TimedOut, std::nullopt};
  auto deadline = BoundedClock::now() + limit;
  auto pending = start_bounded<R>(std::move(fn), std::move(gate));
  return await_bounded(pending, deadline);
}

// Runs `fn` on this thread when it cannot block (`may_block` false: nothing
// on its way is a network or FUSE mount), saving the hand-off to a worker;
// otherwise as run_bounded.
template <class R, class F>
Bounded<R> run_bounded_if(bool may_block, F fn, std::shared_ptr<Gate> gate) {
  if (may_block) return run_bounded<R>(std::move(fn), std::move(gate));
  try {
    return {BoundedStatus::Ok, std::optional<R>(fn())};
  } catch (...) {
    return {BoundedStatus::Failed, std::nullopt};
  }
}

}  // namespace k32l
