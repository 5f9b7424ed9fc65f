#include "opening_turn.h"

OpeningTurn& OpeningTurn::instance() {
  static OpeningTurn turn;
  return turn;
}

bool OpeningTurn::TryTake() {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(mutex_);
  if (holder_ != std::thread::id() && holder_ != self) return false;
  holder_ = self;
  ++depth_;
  return true;
}

OpeningTurn::Taking OpeningTurn::Take() {
  if (TryTake()) return Taking::Taken;
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  // The record of waiting threads is locked before this mutex, so it is let
  // go while the record looks for a ring.
  ++waiting_;
  lock.unlock();
  bool waits;
  try {
    waits = waits::Begin(*this);
  } catch (...) {  // the record could not grow
    lock.lock();
    --waiting_;
    throw;
  }
  lock.lock();
  if (!waits) {
    --waiting_;
    return Taking::WouldWaitForItself;
  }
  given_.wait(lock, [this] { return holder_ == std::thread::id(); });
  holder_ = self;
  depth_ = 1;
  --waiting_;
  lock.unlock();
  waits::End();
  return Taking::Taken;
}

void OpeningTurn::Give() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--depth_ > 0) return;
  holder_ = std::thread::id();
  if (waiting_ > 0) given_.notify_one();
}

bool OpeningTurn::HeldByThisThread() {
  std::lock_guard<std::mutex> lock(mutex_);
  return holder_ == std::this_thread::get_id();
}

void OpeningTurn::AddBlockers(std::thread::id waiter, std::vector<std::thread::id>& blockers) {
  // A waiter that has taken the turn and not yet left the record waits for
  // nobody.
  std::lock_guard<std::mutex> lock(mutex_);
  if (holder_ != std::thread::id() && holder_ != waiter) blockers.push_back(holder_);
}
