// A filter's turn: the right to pass a request on to its wrapped clip, held
// by one thread at a time. A clip that a script function makes during a frame
// request has no guard of the host's around it, and a decoder may be entered
// by one thread at a time, so every filter hands its wrapped clip to one
// thread at a time, whatever function made it. (Opening the filter takes the
// process's turn to open instead: opening_turn.h.)
//
// A thread waits for a turn only when that wait can end. A turn the thread
// holds already, or one whose holder waits (itself or through other waiting
// threads) for a turn this thread holds, or for the turn to open that this
// thread holds, is refused instead of waited for.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "deferred/turns/waits.h"

class Turn final : public Awaited {
 public:
  enum class Taking {
    Taken,               // the turn is this thread's now
    HeldByThisThread,    // this thread holds it already
    WouldWaitForItself,  // its holder waits, in the end, for this thread
  };

  // `mutex` guards the turn along with whatever its owner keeps beside it.
  explicit Turn(std::mutex& mutex) : mutex_(mutex) {}
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

  // With `lock` holding the mutex: takes the turn, waiting while another
  // thread holds it. The lock is held again on return, whatever the answer.
  Taking Take(std::unique_lock<std::mutex>& lock);
  // With the mutex held: takes the turn only when no thread holds it.
  bool TryTake();
  // With the mutex held, by the thread that holds the turn.
  void Give();
  // With the mutex held: whether any thread holds the turn.
  bool Held() const { return holder_ != std::thread::id(); }

 private:
  // With the record of waiting threads locked: the turn's holder keeps
  // every other thread waiting.
  void AddBlockers(std::thread::id waiter, std::vector<std::thread::id>& blockers) override;

  std::mutex& mutex_;
  std::thread::id holder_;
  int waiting_ = 0;
  std::condition_variable given_;
};
