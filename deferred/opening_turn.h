// The process's one turn to open: a filter's function runs on one thread at a
// time in the whole process, whatever environment the filter belongs to.
//
// Calling a script function is calling the host's interpreter, and what that
// touches is shared by the whole process: the working folder above all, which
// the host's Import changes while it reads a script and changes back after,
// and which a filter's function may need to be its own folder. Sources that
// several threads open at once meet there. So openings take turns; an opening
// nested in another on the same thread (a function that asks a closed filter
// for frames) goes ahead in the turn its thread holds.
//
// A thread waits for the turn only when the wait can end: the turn's holder
// may wait, in the end, for a filter's turn that the waiting thread holds,
// and then the wait is refused. Frame requests to open filters never take it.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "waits.h"

class OpeningTurn final : public Awaited {
 public:
  enum class Taking {
    Taken,               // this thread may open until it gives the turn back
    WouldWaitForItself,  // the opening under way waits for this thread
  };

  static OpeningTurn& instance();

  // Takes the turn, waiting for it while another thread holds it; a thread
  // that holds it already takes it once more.
  Taking Take();
  // Takes the turn only when that needs no wait.
  bool TryTake();
  // Gives back the calling thread's latest Take.
  void Give();
  // Whether the calling thread holds the turn.
  bool HeldByThisThread();

 private:
  void AddBlockers(std::thread::id waiter, std::vector<std::thread::id>& blockers) override;

  std::mutex mutex_;
  std::condition_variable given_;
  std::thread::id holder_;
  int depth_ = 0;
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
    held_ = OpeningTurn::instance().Take() == OpeningTurn::Taking::Taken;
    return held_;
  }
  bool TryTake() { return held_ = OpeningTurn::instance().TryTake(); }
  void Release() {
    if (held_) OpeningTurn::instance().Give();
    held_ = false;
  }

 private:
  bool held_ = false;
};
