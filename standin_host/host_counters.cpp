#include "host_counters.h"

HostCounters& hostCounters() {
  static HostCounters counters;
  return counters;
}
