#include "process_wide.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

namespace {

struct Kept {
  void* object;
  void (*destroy)(void*);
};

struct Objects {
  std::atomic<std::size_t> holds{0};
  std::mutex mutex;  // guards `kept`
  std::vector<Kept> kept;
};

Objects& objects() {
  static Objects* const all = new Objects;
  return *all;
}

// The module's own hold, from the moment it loads until its static objects
// are destroyed.
const ProcessHold moduleHold;

}  // namespace

ProcessHold::ProcessHold() { objects().holds.fetch_add(1, std::memory_order_relaxed); }

ProcessHold::~ProcessHold() {
  Objects& all = objects();
  if (all.holds.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // Nothing else reaches them now. The newest go first: an object made
  // later may use an older one as it goes.
  for (auto kept = all.kept.rbegin(); kept != all.kept.rend(); ++kept) kept->destroy(kept->object);
  delete &all;
}

void* process_wide::Keep(void* object, void (*destroy)(void*)) {
  Objects& all = objects();
  std::lock_guard<std::mutex> lock(all.mutex);
  all.kept.push_back({object, destroy});
  return object;
}
