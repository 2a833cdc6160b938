// Runs calls that can block forever (stat/statvfs on a dead network share or
// a FUSE server that never answers, reads of a device whose backing store
// stalls) on a detached worker thread and waits for them a bounded time.
//
// The worker shares ownership of everything it touches (its captured
// arguments and the Pending record), so a worker that returns long after its
// caller gave up touches no freed memory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "block_policy.h"
#include "outcome.h"

namespace k32l {

// How long one call waits for a blocking file-system operation.
constexpr std::chrono::milliseconds kBlockingCallTimeout{2000};

using BoundedClock = std::chrono::steady_clock;

// Admits one worker at a time for one mount or device. A worker whose
// caller gave up leaves the gate stalled until it returns: meanwhile calls
// fail at once instead of leaving one more stuck thread behind each time,
// so a stalled mount or device holds at most one thread.
class Gate {
 public:
  enum class Claim { Granted, Stalled, TimedOut };
  // Waits until `deadline` for the worker in flight to finish, then admits
  // the caller's. Stalled at once while an abandoned worker is stuck.
  Claim claim(BoundedClock::time_point deadline);
  // The caller stopped waiting for the admitted worker.
  void abandon();
  // The admitted worker returned: the gate opens again.
  void release();
  bool stalled();
  // No worker admitted: the last one returned (a stuck one too, at last).
  bool idle();

 private:
  std::mutex mutex_;
  std::condition_variable freed_;
  bool busy_ = false;
  bool stalled_ = false;
};

// The gate for `key` (block_policy's mount_gate or device_gate), one per key
// for the life of the process. A forked child starts with new, open gates:
// the parent's stuck workers do not exist there.
std::shared_ptr<Gate> gate_for(GateKey key);
std::shared_ptr<Gate> gate_for(GateKind kind, std::uint64_t number);

template <class R>
struct Pending {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool threw = false;
  std::optional<R> value;
  std::shared_ptr<Gate> gate;  // admitted this worker; released when it returns
};

template <class R>
using PendingPtr = std::shared_ptr<Pending<R>>;

// Runs `task` on a detached worker at once: an idle worker that finished an
// earlier task, or a new thread. A task never waits for a busy worker, so a
// worker stuck on a dead mount delays no other call; reusing idle workers
// saves a thread creation per call (a refresh makes several per volume).
// Workers only take tasks from threads whose view (namespace, root,
// working directory, descriptor table) they share, so they resolve paths
// and descriptors as the caller would; they end with the view's last user.
// Throws std::system_error, without running `task`, when no thread can be
// created.
void run_on_worker(std::function<void()> task);

// Opens the gate again if the task it admitted is dropped without running.
class GateRelease {
 public:
  explicit GateRelease(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}
  GateRelease(GateRelease&& other) noexcept = default;
  GateRelease& operator=(GateRelease&&) = delete;
  GateRelease(const GateRelease&) = delete;
  GateRelease& operator=(const GateRelease&) = delete;
  ~GateRelease() {
    if (gate_) gate_->release();
  }

 private:
  std::shared_ptr<Gate> gate_;
};

// Starts `fn` (returning R) on a detached worker, admitted through `gate`
// (may be null) until `deadline`; null when the gate did not admit it.
// `fn` must own what it uses.
template <class R, class F>
PendingPtr<R> start_bounded(F fn, std::shared_ptr<Gate> gate, BoundedClock::time_point deadline) {
  if (gate && gate->claim(deadline) != Gate::Claim::Granted) return nullptr;
  GateRelease claimed(gate);  // opens the gate again if anything below throws
  auto pending = std::make_shared<Pending<R>>();
  pending->gate = std::move(gate);
  auto admitted = std::make_shared<GateRelease>(std::move(claimed));
  run_on_worker([pending, admitted = std::move(admitted), fn = std::move(fn)]() mutable {
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
    // The gate opens before the caller hears of the answer: a caller that
    // goes straight on to claim it again (the next build's probes, which
    // claim without waiting) finds it open, not still held by a worker that
    // has answered. Under the pending lock, so that a caller who gave up
    // first has marked the gate stalled before this opens it.
    admitted.reset();
    pending->done = true;
    pending->finished.notify_all();
  });
  return pending;
}

// Starts `fn` as one task of a fan-out (many started together under one
// deadline): its gate is claimed without waiting, so a gate claimed already
// (the same key twice, or another caller's worker in flight) makes no task
// after it start late; null, as for a stalled gate, when it is not admitted.
template <class R, class F>
PendingPtr<R> start_fanned_out(F fn, std::shared_ptr<Gate> gate) {
  return start_bounded<R>(std::move(fn), std::move(gate), BoundedClock::now());
}

// What a worker that did not return a value reports: it ran past the
// deadline (or its gate did not admit it), or it threw.
constexpr DWORD kWorkerTimedOut = ERROR_TIMEOUT;
constexpr DWORD kWorkerFailed = ERROR_NOT_ENOUGH_MEMORY;

// Waits for a started worker until `deadline`. On timeout the worker is left
// running and its gate stalled until it returns. A null `pending` (its gate
// did not admit it) counts as timed out.
template <class R>
Outcome<R> await_bounded(const PendingPtr<R>& pending, BoundedClock::time_point deadline) {
  if (!pending) return failed<R>(kWorkerTimedOut);
  std::unique_lock<std::mutex> lock(pending->mutex);
  if (!pending->finished.wait_until(lock, deadline, [&] { return pending->done; })) {
    // Under the pending lock: the worker cannot have returned in between,
    // so its release comes after this.
    if (pending->gate) pending->gate->abandon();
    return failed<R>(kWorkerTimedOut);
  }
  if (pending->threw || !pending->value) return failed<R>(kWorkerFailed);
  return Outcome<R>{ERROR_SUCCESS, std::move(*pending->value)};
}

// Runs `fn` on a worker and waits for it until `deadline`.
template <class R, class F>
Outcome<R> run_bounded_until(F fn, std::shared_ptr<Gate> gate,
                             BoundedClock::time_point deadline) {
  auto pending = start_bounded<R>(std::move(fn), std::move(gate), deadline);
  return await_bounded(pending, deadline);
}

// Runs `fn` with a bounded wait. A mount that already has a stuck worker
// fails at once without starting another.
template <class R, class F>
Outcome<R> run_bounded(F fn, std::shared_ptr<Gate> gate,
                       std::chrono::milliseconds limit = kBlockingCallTimeout) {
  return run_bounded_until<R>(std::move(fn), std::move(gate), BoundedClock::now() + limit);
}

// Runs `fn` on this thread when it cannot block (`may_block` false, as
// block_policy decided), saving the hand-off to a worker and the look-up of
// its gate (finding the key may cost a scan of the mounts); otherwise as
// run_bounded_until, through the gate of the key `key_of()` returns.
template <class R, class F, class K>
Outcome<R> run_bounded_if(bool may_block, F fn, K key_of, BoundedClock::time_point deadline) {
  if (may_block) return run_bounded_until<R>(std::move(fn), gate_for(key_of()), deadline);
  try {
    return Outcome<R>{ERROR_SUCCESS, fn()};
  } catch (...) {
    return failed<R>(kWorkerFailed);
  }
}

}  // namespace k32l
