// A thread's processor time as another thread reads it. The module goes
// beside a holder that stands still only where the clock shows a thread
// that wakes for a moment, so the verdict it measures must match what such
// a moment does to the clock: a thread that works for a millisecond now and
// then, its clock read before and after each time.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "deferred/turns/thread_clock.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <stdlib.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// The verdict measured, not one a test gives.
void LetTheClockBeMeasured() {
#if defined(_WIN32)
  SetEnvironmentVariableA("DORVEL_TEST_SHORT_WAKES_SHOWN", nullptr);
#else
  unsetenv("DORVEL_TEST_SHORT_WAKES_SHOWN");
#endif
}

// How many of `bursts` moments of about a millisecond's work by a thread
// that otherwise sleeps show in its clock, read by this thread.
int ShortWakesSeen(int bursts) {
  std::mutex mutex;
  std::condition_variable changed;
  int asked = 0, done = 0;
  ThreadClock clock;
  bool haveClock = false;
  std::thread worker([&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      clock = ThreadClock::OfThisThread();
      haveClock = true;
    }
    changed.notify_all();
    for (int i = 1; i <= bursts; ++i) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return asked >= i; });
      }
      const auto end = Clock::now() + std::chrono::milliseconds(1);
      while (Clock::now() < end) {
      }
      {
        std::lock_guard<std::mutex> lock(mutex);
        done = i;
      }
      changed.notify_all();
    }
  });
  int seen = 0;
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return haveClock; });
  }
  for (int i = 1; i <= bursts; ++i) {
    // Between bursts the worker sleeps: a few ticks of a coarse clock pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    int64_t before;
    {
      std::lock_guard<std::mutex> lock(mutex);
      before = clock.Reading();
      asked = i;
    }
    changed.notify_all();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return done >= i; });
    if (before >= 0 && clock.Reading() != before) ++seen;
  }
  worker.join();
  return seen;
}

TEST(ThreadClockTest, TheMeasuredVerdictMatchesWhatAMomentsWorkShows) {
  LetTheClockBeMeasured();
  constexpr int kBursts = 20;
  const int seen = ShortWakesSeen(kBursts);
  // Where every moment shows, a stopped holder's waking would too, and
  // refusing to go beside one fails scripts for nothing; where some do not
  // (a clock charged in ticks of 10 ms, as Wine's), going beside one may
  // read files in another folder.
  EXPECT_EQ(ThreadClock::ShowsShortWakes(), seen == kBursts)
      << seen << " of " << kBursts << " moments of work showed in the thread's clock";
}

}  // namespace
