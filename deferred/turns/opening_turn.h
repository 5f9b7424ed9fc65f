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
// A thread that waits for the turn may hold what the holder's function
// needs: a filter's turn, which the module sees, or, inside the host, the
// lock of a serialized filter or a frame in the making in the host's cache,
// which it cannot see. Either way the holder cannot go on until the waiting
// thread has opened its filter and let go, and the waiting thread opens
// beside the holder rather than wait for ever. A ring of the module's own
// waits is seen at once. A wait inside the host is told by the holders'
// processor time: once every holder has used none for a while, they are
// stopped, waiting for something. A holder that waits for the waiting thread
// stays stopped until that thread's opening has returned, so nothing it does
// can meet the new opening; one that waited for something else (a slow
// disk) may wake during it, and then two openings run at once, which the
// module itself handles, and only a working folder or an Import that both
// need can meet. Each opening beside others is told to the caller, to be
// written to the host's log.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "deferred/turns/thread_clock.h"
#include "deferred/turns/waits.h"

class OpeningTurn final : public Awaited {
 public:
  enum class Taking {
    Taken,                       // this thread may open until it gives the turn back
    BesideStopped,               // taken beside holders that have used no processor time a while
    BesideWaitingForThisThread,  // taken beside holders that wait for this thread
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
  // Whether the calling thread holds the turn beside others, or others took
  // it beside the calling thread: then each opening found room for itself
  // alone, and more may be open than the limit.
  bool SideBySide();

 private:
  struct Holder {
    std::thread::id thread;
    int depth;
    ThreadClock clock;
    // The processor time last seen, and when it was first seen so.
    int64_t used;  // ThreadClock::Reading
    std::chrono::steady_clock::time_point usedSince;
    bool besides = false;  // another thread took the turn beside this one
  };

  // With the mutex held: the calling thread's place among the holders.
  std::vector<Holder>::iterator Mine();
  // With the mutex held: adds the calling thread as a holder.
  void AddHolder();
  // With the mutex held, as a thread takes the turn beside the holders:
  // marks them.
  void MarkBesides();
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

  // Takes it, waiting while that can end.
  void Take() {
    taking_ = OpeningTurn::instance().Take();
    held_ = true;
  }
  void Release() {
    if (held_) OpeningTurn::instance().Give();
    held_ = false;
  }
  // How it was taken.
  OpeningTurn::Taking taking() const { return taking_; }

 private:
  bool held_ = false;
  OpeningTurn::Taking taking_ = OpeningTurn::Taking::Taken;
};
