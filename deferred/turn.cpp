#include "turn.h"

#include <algorithm>
#include <vector>

namespace {

// Which turn each waiting thread waits for. Touched only by threads about to
// wait and by those done waiting, never on a request that finds its turn free.
//
// Lock order: this record's mutex before any turn's mutex, and never the
// other way round.
struct Waiting {
  std::thread::id thread;
  Turn* turn;
};

std::mutex waitingMutex;
std::vector<Waiting>& waitingThreads() {
  static std::vector<Waiting> threads;
  return threads;
}

std::vector<Waiting>::iterator FindWaiting(std::thread::id thread) {
  std::vector<Waiting>& threads = waitingThreads();
  return std::find_if(threads.begin(), threads.end(), [&](const Waiting& w) { return w.thread == thread; });
}

}  // namespace

Turn::Taking Turn::Take(std::unique_lock<std::mutex>& lock) {
  const std::thread::id self = std::this_thread::get_id();
  if (holder_ == std::thread::id()) {
    holder_ = self;
    return Taking::Taken;
  }
  if (holder_ == self) return Taking::HeldByThisThread;

  // The record is locked before any turn's mutex, so this one is let go
  // first. Whatever changes meanwhile is seen by the walk below, or later by
  // the thread that changes it.
  ++waiting_;
  lock.unlock();
  bool waitsForItself;
  {
    std::lock_guard<std::mutex> record(waitingMutex);
    waitsForItself = HolderWaitsFor(self);
    // Of the threads that close a ring of waits, the last one to come here
    // sees the whole ring, and refuses.
    if (!waitsForItself) waitingThreads().push_back({self, this});
  }
  lock.lock();
  if (!waitsForItself) {
    given_.wait(lock, [this] { return holder_ == std::thread::id(); });
    holder_ = self;
  }
  --waiting_;
  if (waitsForItself) return Taking::WouldWaitForItself;

  lock.unlock();
  {
    std::lock_guard<std::mutex> record(waitingMutex);
    waitingThreads().erase(FindWaiting(self));
  }
  lock.lock();
  return Taking::Taken;
}

void Turn::Give() {
  holder_ = std::thread::id();
  if (waiting_ > 0) given_.notify_one();
}

bool Turn::HolderWaitsFor(std::thread::id thread) {
  // Each step goes from a turn to its holder, and from a waiting holder to
  // the turn it waits for. A thread that took its turn and has not yet left
  // the record leads back to a turn it holds, so the walk is bounded by the
  // number of waiting threads.
  Turn* turn = this;
  const std::size_t steps = waitingThreads().size() + 1;
  for (std::size_t step = 0; step < steps; ++step) {
    std::thread::id holder;
    {
      // A turn in the record belongs to a filter that its waiting thread is
      // still inside, so it is alive while the record is locked.
      std::lock_guard<std::mutex> guard(turn->mutex_);
      holder = turn->holder_;
    }
    if (holder == std::thread::id()) return false;
    if (holder == thread) return true;
    const auto waiting = FindWaiting(holder);
    if (waiting == waitingThreads().end()) return false;
    turn = waiting->turn;
  }
  return false;
}
