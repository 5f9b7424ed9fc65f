#include "process_wide.h"

#include <cstddef>
#include <stdexcept>
#include <thread>

namespace {

struct Kept {
  std::atomic<void*>* slot;
  void* object;
  void (*destroy)(void*);
};

// Everything here is trivially destroyed, so the records stay whole after the
// module's static objects are gone. A lock of its own for the same reason: it
// is taken only to make an object and to take or let go a hold.
class Lock {
 public:
  Lock() {
    while (taken.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  ~Lock() { taken.clear(std::memory_order_release); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  static std::atomic_flag taken;
};
std::atomic_flag Lock::taken = ATOMIC_FLAG_INIT;

constexpr std::size_t kMostKept = 64;
std::size_t holds = 0;      // guarded by Lock
Kept kept[kMostKept]{};     // guarded by Lock
std::size_t keptCount = 0;  // guarded by Lock

// The module's own hold, from the moment it loads until its static objects
// are destroyed.
const ProcessHold moduleHold;

}  // namespace

ProcessHold::ProcessHold() {
  Lock lock;
  ++holds;
}

ProcessHold::~ProcessHold() {
  Kept going[kMostKept];
  std::size_t count = 0;
  {
    Lock lock;
    if (--holds != 0) return;
    // Nothing reaches them now; a hold taken from here on finds the slots
    // empty and makes its own.
    for (; count < keptCount; ++count) {
      going[count] = kept[count];
      going[count].slot->store(nullptr, std::memory_order_release);
    }
    keptCount = 0;
  }
  // Outside the lock, for an object may use another as it goes. The newest go
  // first: an object made later may use an older one.
  while (count > 0) {
    --count;
    going[count].destroy(going[count].object);
  }
}

void* process_wide::Make(std::atomic<void*>& slot, void* (*make)(), void (*destroy)(void*)) {
  // Made outside the lock, for an object may use another as it is made.
  void* made = make();
  void* object = nullptr;
  {
    Lock lock;
    object = slot.load(std::memory_order_acquire);
    if (object == nullptr && keptCount < kMostKept) {
      object = made;
      kept[keptCount++] = {&slot, object, destroy};
      slot.store(object, std::memory_order_release);
      return object;
    }
  }
  destroy(made);
  // Made by another thread meanwhile, or more kinds than there is room for.
  if (object == nullptr) throw std::logic_error("more process-wide objects than the module keeps");
  return object;
}
