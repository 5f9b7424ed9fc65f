// The processor time a thread has used, read by another thread.
//
// A thread that waits for the turn to open asks it of the thread that holds
// the turn: a holder whose time stands still is stopped, waiting for
// something (opening_turn.h says what may follow).
#pragma once

#include <cstdint>

class ThreadClock {
 public:
  // The calling thread's clock. It may be read by any thread of the process
  // for as long as the calling thread lives.
  static ThreadClock OfThisThread();

  ThreadClock() = default;
  ~ThreadClock();
  ThreadClock(ThreadClock&& other) noexcept;
  ThreadClock& operator=(ThreadClock&& other) noexcept;
  ThreadClock(const ThreadClock&) = delete;
  ThreadClock& operator=(const ThreadClock&) = delete;

  // A number that grows while the thread uses the processor (its time, in
  // nanoseconds, and on Windows its cycles besides); negative when it cannot
  // be read here.
  int64_t Reading() const;

  // Whether a thread's clock, read by another thread, shows a burst of work
  // of a millisecond or less: on Linux, macOS and Windows it does; under
  // Wine a thread's time moves in steps of 10 ms and its cycles read 0, so a
  // thread that wakes for a moment and sleeps again may show nothing.
  // Measured once, on the calling thread. A test of what the module does
  // with either kind of clock gives the answer in the process's environment
  // variable DORVEL_TEST_SHORT_WAKES_SHOWN, 1 or 0.
  static bool ShowsShortWakes();

 private:
  // A clock id (POSIX), a thread port (macOS) or a thread handle (Windows);
  // `valid_` tells whether it was had.
  uintptr_t id_ = 0;
  bool valid_ = false;
};
