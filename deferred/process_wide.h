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
// Once the last hold is gone nothing of the module runs again in the process:
// holds are taken only by what the module itself makes, while it is loaded.
#pragma once

class ProcessHold {
 public:
  ProcessHold();
  ~ProcessHold();
  ProcessHold(const ProcessHold&) = delete;
  ProcessHold& operator=(const ProcessHold&) = delete;
};

namespace process_wide {
// Takes `object` into the process-wide objects, to be destroyed with
// `destroy` when the last hold goes; answers it.
void* Keep(void* object, void (*destroy)(void*));
}  // namespace process_wide

// The process's one T, made on first use.
template <typename T>
T& ProcessWide() {
  // A plain pointer: never destroyed, so static destruction leaves it alone.
  static T* const object = static_cast<T*>(process_wide::Keep(new T, [](void* kept) { delete static_cast<T*>(kept); }));
  return *object;
}
