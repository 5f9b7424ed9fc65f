// The opening of one filter, under way on one thread. Openings on other
// threads run beside it only when the turn to open was taken beside stopped
// holders (opening_turn.h); a thread that then needs the same filter open
// waits for this opening to end rather than call the function a second time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "deferred/turns/thread_clock.h"
#include "deferred/turns/waits.h"

class FilterOpening final : public Awaited {
 public:
  // `mutex` guards the opening along with whatever its owner keeps beside it.
  explicit FilterOpening(std::mutex& mutex) : mutex_(mutex) {}
  FilterOpening(const FilterOpening&) = delete;
  FilterOpening& operator=(const FilterOpening&) = delete;

  // The rest with the mutex held.
  bool UnderWay() const { return opener_ != std::thread::id(); }
  bool ByThisThread() const { return opener_ == std::this_thread::get_id(); }
  void Start() {
    opener_ = std::this_thread::get_id();
    clock_ = ThreadClock::OfThisThread();
  }
  void End() {
    opener_ = std::thread::id();
    clock_ = ThreadClock();  // lets go of the thread (a handle, on Windows)
    if (waiting_ > 0) ended_.notify_all();
  }
  // With `lock` holding the mutex: waits until no opening is under way;
  // false, with no wait, when the opener waits in the end for this thread.
  bool WaitForEnd(std::unique_lock<std::mutex>& lock) {
    return waits::WaitAndTake(
        *this, lock, ended_, waiting_, [this] { return !UnderWay(); }, [] {});
  }
  // As WaitForEnd, but false too once the opener has used no processor time
  // for `stillFor`: it may wait, inside the host, for this thread.
  bool WaitForEndWhileItGoesOn(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds stillFor) {
    int64_t seen = clock_.Reading();
    auto since = std::chrono::steady_clock::now();
    bool gaveUp = false;
    const bool ended = waits::WaitAndTake(
        *this, lock, ended_, waiting_, std::chrono::milliseconds(50),
        [&] {
          if (!UnderWay()) return true;
          const int64_t used = clock_.Reading();
          const auto now = std::chrono::steady_clock::now();
          if (used >= 0 && used != seen) {
            seen = used;
            since = now;
          } else if (now - since >= stillFor) {
            gaveUp = true;
            return true;
          }
          return false;
        },
        [] {});
    return ended && !gaveUp;
  }

 private:
  void AddBlockers(std::thread::id waiter, std::vector<std::thread::id>& blockers) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (UnderWay() && opener_ != waiter) blockers.push_back(opener_);
  }

  std::mutex& mutex_;
  std::thread::id opener_;
  ThreadClock clock_;  // the opener's
  int waiting_ = 0;
  std::condition_variable ended_;
};
