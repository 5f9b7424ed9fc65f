#include "freed_memory_pace.h"

bool FreedMemoryPace::Due(std::chrono::nanoseconds now) {
  releases.fetch_add(1, std::memory_order_relaxed);
  const int64_t at = now.count();
  int64_t last = lookedAt.load(std::memory_order_relaxed);
  if (last != kNever && at - last < std::chrono::nanoseconds(kInterval).count()) return false;
  // One thread of those that get here at once looks.
  if (!lookedAt.compare_exchange_strong(last, at, std::memory_order_relaxed)) return false;
  // Releases counted after the exchange above but before this one fall to the
  // look just ended rather than the next: it only makes a burst look denser.
  const int64_t counted = releases.exchange(0, std::memory_order_relaxed);
  if (last == kNever) return true;
  return counted * std::chrono::nanoseconds(kBurstSpacing).count() <= at - last;
}
