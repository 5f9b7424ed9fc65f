// The process-wide record of threads that wait: for a filter's turn, or for
// the working folder an opening needs. A thread waits only when that wait can
// end: before it waits, it follows what it waits for to the threads that keep
// it waiting, on to what those threads wait for, and so on; when that leads
// back to itself, it refuses to wait instead.
#pragma once

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

}  // namespace waits
