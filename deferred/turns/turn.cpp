#include "turn.h"

Turn::Taking Turn::Take(std::unique_lock<std::mutex>& lock) {
  const std::thread::id self = std::this_thread::get_id();
  if (holder_ == std::thread::id()) {
    holder_ = self;
    return Taking::Taken;
  }
  if (holder_ == self) return Taking::HeldByThisThread;

  const bool taken = waits::WaitAndTake(
      *this, lock, given_, waiting_, [this] { return holder_ == std::thread::id(); }, [&] { holder_ = self; });
  return taken ? Taking::Taken : Taking::WouldWaitForItself;
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
