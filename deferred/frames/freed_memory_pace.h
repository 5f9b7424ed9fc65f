// When freed memory goes back to the system: at most once per interval, and
// not while clips are released in a burst.
//
// Returning memory costs in proportion to what is free at that moment. When
// filters are released one at a time (a part closed for the next one while a
// splice plays, ten milliseconds apart or more), what lies free is mostly the
// last decoder's leftovers, and giving it back keeps the process small. A
// teardown of many filters frees memory a microsecond at a time; most of it is
// taken again by the filters made next (a script loaded anew), and a trim in
// its middle hands back, page by page, tens of megabytes of it, at a cost that
// grows with the teardown. What a burst leaves goes back at the first look
// after it that finds releases spaced again.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

class FreedMemoryPace {
 public:
  // At most one return per interval.
  static constexpr std::chrono::milliseconds kInterval{75};
  // Releases that came closer than this to each other, on average over the
  // time since the last look, are a burst.
  static constexpr std::chrono::milliseconds kBurstSpacing{1};

  // Counts a release at `now` (on a steady clock, from any epoch) and tells
  // whether memory is to be returned now. Once an interval has passed since
  // the last look, the first caller to see it looks: memory is returned unless
  // the releases since the last look came, on average, closer together than
  // kBurstSpacing; either way the next look is an interval later. So a burst
  // of any length returns memory at most once, and then near its start, with
  // little of it yet freed; releases spaced as playback spaces them return it
  // once an interval, as if there were no burst rule. An average rather than
  // the gap to the previous release: a thread that tears down many filters on
  // a loaded machine is preempted for milliseconds in the middle, and such a
  // gap must not end the burst. Lock-free; any number of threads may call at
  // once, and at most one of them is told at a look.
  bool Due(std::chrono::nanoseconds now);

 private:
  static constexpr int64_t kNever = INT64_MIN;

  std::atomic<int64_t> lookedAt{kNever};  // nanoseconds
  std::atomic<int64_t> releases{0};       // since the last look
};
