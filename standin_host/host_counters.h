// What the stand-in host counts of the values, frames and clip references it
// hands out, so tests can prove that every one of them was released once.
#pragma once

#include <atomic>

struct HostCounters {
  std::atomic<long> liveValues{0};      // AVSValue handles constructed and not yet released
  std::atomic<long> liveArrays{0};      // element storage of array values
  std::atomic<long> liveFrames{0};      // frame objects
  std::atomic<long> doubleReleases{0};  // a value or frame released again after its release
  std::atomic<long> overReleases{0};    // a clip reference dropped below zero
  // Script functions called after their environment's exit callbacks ran:
  // the host has deleted them by then, and such a call reads freed memory.
  std::atomic<long> callsAfterExit{0};
  // Fault injection: the next that many colour space questions throw
  // std::bad_alloc, as a host whose memory is exhausted would.
  std::atomic<int> colourSpaceFailures{0};
};

HostCounters& hostCounters();
