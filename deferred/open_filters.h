// The process-wide record of open filters, shared by every script
// environment in the process: the list, oldest opening first, and the limit
// on how many may be open.
//
// The list runs through the filters themselves, so that a filter joins and
// leaves it in constant time and no opening allocates.
//
// One mutex guards the list and the limit. Whoever holds it may also take a
// filter's own mutex, never the other way round. Nothing that can run host
// code (a script function, the release of a clip) runs while it is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

class DorvelFilter;

// A filter's place in the list; both null while it is not in it.
struct OpenListLink {
  DorvelFilter* older = nullptr;
  DorvelFilter* newer = nullptr;
};

class OpenFilters {
 public:
  static OpenFilters& instance();

  std::mutex& mutex() { return mutex_; }

  // The calls below need mutex() held.

  // The filter to close before the next opening, or null when there is room:
  // the oldest one, when the number open is not less than the limit, both
  // taken as unsigned 32-bit numbers. So 0 keeps at most one open and a
  // negative limit keeps all.
  DorvelFilter* VictimForNextOpening() const;
  // Whether more are open than the limit allows (0 allows one).
  bool OverLimit() const;
  // The filter opened longest ago, or null.
  DorvelFilter* Oldest() const { return oldest_; }
  // The filter opened next after `filter`, or null.
  static DorvelFilter* Newer(DorvelFilter* filter) { return LinkOf(filter).newer; }
  // Puts a filter that is not in the list at its back, as the newest.
  void Append(DorvelFilter* filter);
  // Takes a filter that is in the list out of it.
  void Remove(DorvelFilter* filter);

  void SetLimit(int32_t limit) { limit_ = limit; }
  int32_t limit() const { return limit_; }
  std::size_t size() const { return size_; }

 private:
  static OpenListLink& LinkOf(DorvelFilter* filter);

  std::mutex mutex_;
  DorvelFilter* oldest_ = nullptr;
  DorvelFilter* newest_ = nullptr;
  std::size_t size_ = 0;
  int32_t limit_ = 4;
};

// Sets the process-wide limit; it applies from the next opening on.
void SetOpenLimit(int32_t limit);
