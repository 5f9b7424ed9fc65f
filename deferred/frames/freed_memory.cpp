#include "freed_memory.h"

#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__) && DORVEL_RETURN_FREED_MEMORY
#include <malloc.h>

#include <chrono>

#include "freed_memory_pace.h"

namespace {

// The interval (FreedMemoryPace::kInterval, 75 ms) is short enough that a
// splice of short sources keeps little freed memory, long enough that closing
// many of them in a row does not pay for a trim each time. With a real decoder
// over 300 files of 2 s each (about 90 openings a second, 11 ms apart), peak
// memory at limit 1 against what one arena needs was 2.1 times at 250 ms, 1.4
// to 1.5 at 100 ms, 1.3 at 75 ms and 1.2 at 50 ms; what a trim costs is mostly
// the pages it returns being touched again, a few percent of the run at 75 ms.
// A burst is more than one release a millisecond on average; releases 11 ms
// apart are none, and return memory at the same moments as before the burst
// rule, so these figures stand. A teardown of the benchmarks' 100,000 open
// filters (half a microsecond to a microsecond each) outlasts the interval on
// a loaded machine: without the burst rule trims fell in its middle, and each
// destruction cost about twice what it did at 1,000 filters.
FreedMemoryPace pace;

}  // namespace

void ReturnFreedMemory() {
  if (pace.Due(std::chrono::steady_clock::now().time_since_epoch())) malloc_trim(0);
}

#else

void ReturnFreedMemory() {}

#endif
