// The process-wide record of threads that wait: for a filter's turn, or for
// a filter's opening under way on another thread. A thread waits only when that wait can
// end: before it waits, it follows what it waits for to the threads that keep
// it waiting, on to what those threads wait for, and so on; when that leads
// back to itself, it refuses to wait instead.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// Something a thread may wait for.
class Awaited {
 public:
  // With the record locked: adds to `blockers` the threads that keep
  // `waiter` waiting for this now; none when its wait is about to end. May
  // take this thing's own mutex, never the record's.
  virtual void AddBlockers(std::thread::id waiter, std::vector<std::thread::id>& blockers) = 0;

 protected:
  ~Awaited() = default;
};

namespace waits {

// With no mutex held that AddBlockers takes: when waiting for `awaited`
// would in the end wait for the calling thread itself, answers false;
// otherwise records the wait and answers true. `awaited` must stay alive
// until End.
//
// Lock order: the record's mutex before the mutex of anything awaited.
bool Begin(Awaited& awaited);
// Ends the calling thread's recorded wait.
void End();
// With no mutex held that AddBlockers takes: whether `thread` waits, on the
// record, for something that keeps it waiting, in the end, for `other`.
// While `other` lets nothing go, the answer stays true.
bool WaitsFor(std::thread::id thread, std::thread::id other);
// Whether `thread` waits, on the record, for anything.
bool Waits(std::thread::id thread);

// With `lock` held on the mutex that guards `awaited`: waits on `changed`
// until `canTake()` holds and then calls `take()`, the wait recorded from
// before it starts until after `take()`, and `waiting` counting it. With
// `lookEvery` above zero, `canTake()` is asked again at least that often,
// for what changes without a notice. Answers false, and waits for nothing,
// when the wait would never end. The lock is held again on return, whatever
// the answer.
template <typename CanTake, typename Take>
bool WaitAndTake(Awaited& awaited, std::unique_lock<std::mutex>& lock, std::condition_variable& changed, int& waiting,
                 std::chrono::milliseconds lookEvery, CanTake canTake, Take take) {
  // The record is locked before `awaited`'s mutex, so that one is let go
  // while the record looks for a ring; whatever changes meanwhile is seen by
  // the record's walk, or later by the thread that changes it.
  ++waiting;
  lock.unlock();
  bool waits;
  try {
    waits = Begin(awaited);
  } catch (...) {  // the record could not grow
    lock.lock();
    --waiting;
    throw;
  }
  lock.lock();
  if (!waits) {
    --waiting;
    return false;
  }
  if (lookEvery.count() > 0) {
    while (!canTake()) changed.wait_for(lock, lookEvery);
  } else {
    changed.wait(lock, canTake);
  }
  take();
  --waiting;
  // Taken while still in the record: a thread that may take what it waited
  // for keeps nobody waiting.
  lock.unlock();
  End();
  lock.lock();
  return true;
}

template <typename CanTake, typename Take>
bool WaitAndTake(Awaited& awaited, std::unique_lock<std::mutex>& lock, std::condition_variable& changed, int& waiting,
                 CanTake canTake, Take take) {
  return WaitAndTake(awaited, lock, changed, waiting, std::chrono::milliseconds(0), canTake, take);
}

}  // namespace waits
