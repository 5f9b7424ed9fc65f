// The process's turn to open: a filter's function runs on one thread at a
// time in the whole process, whatever environment the filter belongs to.
//
// Calling a script function is calling the host's interpreter, and what that
// touches is shared by the whole process: the working folder above all, which
// the host's Import changes while it reads a script and changes back after,
// and which a filter's function may need to be its own folder. So openings
// take turns; an opening nested in another on the same thread (a function
// that asks a closed filter for frames) goes ahead in the turn its thread
// holds.
//
// A thread waits for the turn only when the wait can end, as far as the
// module can see: the holder may wait, in the end, for a filter's turn that
// the waiting thread holds, and then the wait is refused. But the holder's
// function may also wait inside the host, where the module cannot see it: for
// the lock of a serialized filter, or for a frame another thread is making in
// the host's cache, and the waiting thread may be the one that holds it. So a
// waiting thread watches the holders' processor time: once every holder has
// used none for a while, they are stopped, waiting for something, and the
// thread opens beside them. A holder that waits for the waiting thread stays
// stopped until that thread's opening has returned and the host's lock is let
// go, so nothing it does can meet the new opening; one that waited for
// something else (a slow disk) may wake during it, and then two openings run
// at once, which the module itself handles, and only a working folder that
// both need changed can differ from theirs. Each such opening is told to the
// caller, to be written to the host's log.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "thread_clock.h"
#include "waits.h"

class OpeningTurn final : public Awaited {
 public:
  enum class Taking {
    Taken,               // this thread may open until it gives the turn back
    Beside,              // taken beside holders that have been stopped a while
    WouldWaitForItself,  // the opening under way waits for this thread
  };

  // How long the holders must use no processor time before a waiting thread
  // opens beside them.
  static constexpr std::chrono::milliseconds kStoppedFor{500};

  static OpeningTurn& instance();

  // Takes the turn, waiting for it while other threads hold it; a thread
  // that holds it already takes it once more.
  Taking Take();
  // Takes the turn only when that needs no wait.
  bool TryTake();
  // Gives back the calling thread's latest Take.
  void Give();

 private:
  struct Holder {
    std::thread::id thread;
    int depth;
    ThreadClock clock;
    // The processor time last seen, and when it was first seen so.
    int64_t used;
    std::chrono::steady_clock::time_point usedSince;
  };

  // With the mutex held: the calling thread's place among the holders.
  std::vector<Holder>::iterator Mine();
  // With the mutex held: adds the calling thread as a holder.
  void AddHolder();
  // With the mutex held: whether every holder has used no processor time
  // for kStoppedFor.
  bool HoldersStopped();
  void AddBlockers(std::thread::id waiter, std::vector<std::thread::id>& blockers) override;

  std::mutex mutex_;
  std::condition_variable given_;
  std::vector<Holder> holders_;
  int waiting_ = 0;
};

// The calling thread's turn to open, given back on every way out.
class HeldOpeningTurn {
 public:
  HeldOpeningTurn() = default;
  ~HeldOpeningTurn() { Release(); }
  HeldOpeningTurn(const HeldOpeningTurn&) = delete;
  HeldOpeningTurn& operator=(const HeldOpeningTurn&) = delete;

  // Takes it, waiting; false when that wait would never end.
  bool Take() {
    const OpeningTurn::Taking taking = OpeningTurn::instance().Take();
    held_ = taking != OpeningTurn::Taking::WouldWaitForItself;
    beside_ = taking == OpeningTurn::Taking::Beside;
    return held_;
  }
  void Release() {
    if (held_) OpeningTurn::instance().Give();
    held_ = false;
  }
  // Whether it was taken beside stopped holders.
  bool beside() const { return beside_; }

 private:
  bool held_ = false;
  bool beside_ = false;
};
