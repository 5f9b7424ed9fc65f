#include "opening_turn.h"

OpeningTurn& OpeningTurn::instance() {
  static OpeningTurn turn;
  return turn;
}

bool OpeningTurn::TryTake() {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(mutex_);
  if (holder_ != std::thread::id() && holder_ != self) return false;
  // Threads already waiting go first: one that only tries never overtakes
  // them, or a thread that keeps opening could starve them.
  if (holder_ != self && waiting_ > 0) return false;
  holder_ = self;
  ++depth_;
  return true;
}

OpeningTurn::Taking OpeningTurn::Take() {
  if (TryTake()) return Taking::Taken;
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  const bool taken = waits::WaitAndTake(
      *this, lock, given_, waiting_, [this] { return holder_ == std::thread::id(); },
      [&] {
        holder_ = self;
        depth_ = 1;
      });
  return taken ? Taking::Taken : Taking::WouldWaitForItself;
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
