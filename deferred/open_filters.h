// The process-wide record of open filters, shared by every script
// environment in the process: the list, oldest opening first, and the limit
// on how many may be open.
//
// One mutex guards the list and the limit. Whoever holds it may also take a
// filter's own mutex, never the other way round. Nothing that can run host
// code (a script function, the release of a clip) runs while it is held.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>

class DorvelFilter;

class OpenFilters {
 public:
  using Place = std::list<DorvelFilter*>::iterator;

  static OpenFilters& instance();

  std::mutex& mutex() { return mutex_; }

  // The calls below need mutex() held.

  // The filter to close before the next opening, or null when there is room:
  // the oldest one, when the number open is not less than the limit, both
  // taken as unsigned 32-bit numbers. So 0 keeps at most one open and a
  // negative limit keeps all.
  DorvelFilter* VictimForNextOpening() const;
  Place Append(DorvelFilter* filter) { return filters_.insert(filters_.end(), filter); }
  void Remove(Place place) { filters_.erase(place); }
  std::size_t size() const { return filters_.size(); }

  void SetLimit(int32_t limit) { limit_ = limit; }

 private:
  std::mutex mutex_;
  std::list<DorvelFilter*> filters_;
  int32_t limit_ = 4;
};

// Sets the process-wide limit; it applies from the next opening on.
void SetOpenLimit(int32_t limit);
