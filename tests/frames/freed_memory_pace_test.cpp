// Freed memory goes back once an interval while parts close one at a time,
// and at most once, near its start, in a burst of releases: a teardown of many
// filters, from one thread or several.
#include "deferred/frames/freed_memory_pace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr nanoseconds kInterval = FreedMemoryPace::kInterval;

// The times at which `count` releases `spacing` apart from `start` were told
// to return memory.
std::vector<nanoseconds> Returns(FreedMemoryPace& pace, nanoseconds start, nanoseconds spacing, int count) {
  std::vector<nanoseconds> returned;
  for (int i = 0; i < count; ++i) {
    const nanoseconds now = start + spacing * i;
    if (pace.Due(now)) returned.push_back(now);
  }
  return returned;
}

// Returns of a part closed every `spacing` come once an interval: never
// closer, never further apart than the interval and one spacing more.
void ExpectOnceAnInterval(const std::vector<nanoseconds>& returned, nanoseconds spacing) {
  for (std::size_t i = 1; i < returned.size(); ++i) {
    const nanoseconds apart = returned[i] - returned[i - 1];
    EXPECT_GE(apart, kInterval) << "return " << i;
    EXPECT_LE(apart, kInterval + spacing) << "return " << i;
  }
}

TEST(FreedMemoryPace, PlaybackClosingEvery11MsReturnsOnceAnInterval) {
  FreedMemoryPace pace;
  const nanoseconds spacing = milliseconds(11);
  const auto returned = Returns(pace, milliseconds(5000), spacing, 300);
  ASSERT_FALSE(returned.empty());
  EXPECT_EQ(returned.front(), milliseconds(5000)) << "the first release ever returns memory";
  // 3.3 s of playback: 3289 ms after the first return, one every 77 ms.
  EXPECT_EQ(returned.size(), 1u + 3289 / 77);
  ExpectOnceAnInterval(returned, spacing);
}

TEST(FreedMemoryPace, ReleasesJustSlowerThanABurstStillReturn) {
  FreedMemoryPace pace;
  const nanoseconds spacing = microseconds(1001);
  const auto returned = Returns(pace, milliseconds(1000), spacing, 1000);
  EXPECT_GE(returned.size(), 10u);
  ExpectOnceAnInterval(returned, spacing);
}

TEST(FreedMemoryPace, TeardownReturnsAtMostOnceAndOnlyAtItsStart) {
  // 100,000 filters a microsecond apart: 100 ms, longer than the interval.
  {
    FreedMemoryPace pace;  // the process's first releases
    const auto returned = Returns(pace, milliseconds(1000), microseconds(1), 100000);
    ASSERT_EQ(returned.size(), 1u);
    EXPECT_EQ(returned.front(), milliseconds(1000));
  }
  {
    // After a quiet second: a look is due at once, and the burst has not
    // yet begun to count against it.
    FreedMemoryPace pace;
    ASSERT_TRUE(pace.Due(milliseconds(1000)));
    const auto returned = Returns(pace, milliseconds(2000), microseconds(1), 100000);
    ASSERT_EQ(returned.size(), 1u);
    EXPECT_EQ(returned.front(), milliseconds(2000));
  }
  {
    // Right after a return: none at all, however long the burst.
    FreedMemoryPace pace;
    ASSERT_TRUE(pace.Due(milliseconds(1000)));
    EXPECT_TRUE(Returns(pace, milliseconds(1001), microseconds(1), 1000000).empty());
  }
  {
    // Slower destructions (a filter of a heavier clip), still a burst.
    FreedMemoryPace pace;
    ASSERT_TRUE(pace.Due(milliseconds(1000)));
    EXPECT_TRUE(Returns(pace, milliseconds(1001), microseconds(200), 10000).empty());
  }
}

TEST(FreedMemoryPace, PreemptionInsideATeardownDoesNotEndTheBurst) {
  FreedMemoryPace pace;
  ASSERT_TRUE(pace.Due(milliseconds(1000)));
  // 144 ms of destructions, the thread away for 10 ms, then 80 ms more: the
  // first destruction after the pause is the first due for a look since
  // 1075 ms, and the pause alone must not make it return.
  EXPECT_TRUE(Returns(pace, milliseconds(1001), microseconds(1), 144000).empty());
  EXPECT_TRUE(Returns(pace, milliseconds(1155), microseconds(1), 80000).empty());
}

TEST(FreedMemoryPace, TeardownDuringPlaybackThenPlaybackAgain) {
  FreedMemoryPace pace;
  const nanoseconds spacing = milliseconds(11);
  auto before = Returns(pace, milliseconds(1000), spacing, 50);  // to 1539 ms
  ASSERT_FALSE(before.empty());
  // A script reloaded while it plays: 100,000 filters go, 1 µs apart, then
  // the new script plays on.
  const auto inTeardown = Returns(pace, milliseconds(1550), microseconds(1), 100000);
  EXPECT_LE(inTeardown.size(), 1u);
  for (const nanoseconds at : inTeardown) EXPECT_LT(at, milliseconds(1550) + microseconds(100)) << "late in the burst";
  const auto after = Returns(pace, milliseconds(1700), spacing, 100);
  ASSERT_FALSE(after.empty());
  // The first look after the burst still counts its releases; the next
  // returns what the teardown left.
  EXPECT_LE(after.front(), milliseconds(1650) + 2 * kInterval + spacing);
  ExpectOnceAnInterval(after, spacing);
}

TEST(FreedMemoryPace, ThreadsTearingDownAtOnceReturnOnce) {
  // Each thread destroys its own filters, a microsecond apart on a clock the
  // threads share; 4 × 50,000 releases make 200 ms.
  FreedMemoryPace pace;
  std::atomic<int64_t> clock{nanoseconds(milliseconds(1000)).count()};
  std::atomic<int> returned{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50000; ++i) {
        if (pace.Due(nanoseconds(clock.fetch_add(1000)))) returned.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(returned.load(), 1);
}

TEST(FreedMemoryPace, ThreadsClosingInTurnAreToldOnceALook) {
  // Four threads, each closing every 11 ms at the same moments as the
  // others: all four are told at once that a look is due, and one returns.
  constexpr int kThreads = 4;
  FreedMemoryPace pace;
  std::atomic<int> returned{0};
  std::atomic<int> arrived{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        if (pace.Due(milliseconds(1000) + milliseconds(11) * i)) returned.fetch_add(1);
        // No thread goes on to the next moment before all have had this one.
        arrived.fetch_add(1);
        while (arrived.load() < kThreads * (i + 1)) std::this_thread::yield();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  // 3289 ms after the first, one every 77 ms, as from a single thread. Each
  // moment is counted four times (0.36 releases a millisecond): no burst.
  EXPECT_EQ(returned.load(), 1 + 3289 / 77);
}

}  // namespace
