#include "turn.h"

Turn::Taking Turn::Take(std::unique_lock<std::mutex>& lock) {
  const std::thread::id self = std::this_thread::get_id();
  if (holder_ == std::thread::id()) {
    holder_ = self;
    return Taking::Taken;
  }
  if (holder_ == self) return Taking::HeldByThisThread;

  // The record of waiting threads is locked before any turn's mutex, so this
  // one is let go first. Whatever changes meanwhile is seen by the record's
  // walk, or later by the thread that changes it.
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
  if (waits) {
    given_.wait(lock, [this] { return holder_ == std::thread::id(); });
    holder_ = self;
  }
  --waiting_;
  if (!waits) return Taking::WouldWaitForItself;

  lock.unlock();
  waits::End();
  lock.lock();
  return Taking::Taken;
}

bool Turn::TryTake() {
  if (holder_ != std::thread::id()) return false;
  holder_ = std::this_thread::get_id();
  return true;
}

void Turn::Give() {
  holder_ = std::thread::id();
  if (waiting_ > 0) given_.notify_one();
}

void Turn::AddBlockers(std::thread::id waiter, std::vector<std::thread::id>& blockers) {
  // A waiter that has taken the turn and not yet left the record waits for
  // nobody.
  std::lock_guard<std::mutex> guard(mutex_);
  if (holder_ != std::thread::id() && holder_ != waiter) blockers.push_back(holder_);
}
