// The module's process-wide objects (the list of open filters, the frame
// budget, the turn to open, the records of waiting threads and working
// folders, the registries of environments): each is made on its first use,
// and none is destroyed with the module's static objects. They go together
// when the last hold on them is let go. The module holds them until its
// static objects are destroyed (as it unloads, or as the process exits);
// every filter, every environment's life and every environment that loaded
// the module holds them too. So whichever goes last at process exit, the
// module's statics or a client's environment deleted from a static
// destructor, its filters find every object they touch; and an unload with
// nothing of the module alive leaves nothing behind.
//
// Holds are taken only by what the module itself makes. Once the last is gone
// a new one may still come, where the module stays loaded after its static
// objects are destroyed (a client that keeps its own handle on it makes a new
// environment at exit): the objects are then made anew on their first use.
#pragma once

#include <atomic>

class ProcessHold {
 public:
  ProcessHold();
  ~ProcessHold();
  ProcessHold(const ProcessHold&) = delete;
  ProcessHold& operator=(const ProcessHold&) = delete;
};

namespace process_wide {
// The object of `slot`: made with `make` and kept with the other process-wide
// objects when the slot is empty, to be destroyed with `destroy` and the slot
// emptied when the last hold goes, so that a later hold finds it made anew.
void* Make(std::atomic<void*>& slot, void* (*make)(), void (*destroy)(void*));
}  // namespace process_wide

// The process's one T, made on first use and again on the first use after the
// last hold went.
template <typename T>
T& ProcessWide() {
  // Trivially destroyed, so static destruction leaves it alone.
  static std::atomic<void*> slot{nullptr};
  void* object = slot.load(std::memory_order_acquire);
  if (object == nullptr) {
    object = process_wide::Make(
        slot, []() -> void* { return new T; }, [](void* kept) { delete static_cast<T*>(kept); });
  }
  return *static_cast<T*>(object);
}
