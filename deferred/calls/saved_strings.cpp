#include "saved_strings.h"

const char* SavedStrings::Save(IScriptEnvironment* env, const char* text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = saved_.find(text);
    if (found != saved_.end()) return found->second;
  }
  // Saved with no lock of the module's held; a copy saved at the same time
  // by another thread wins, and this one stays unused.
  const char* copy = env->SaveString(text);
  std::lock_guard<std::mutex> lock(mutex_);
  return saved_.emplace(text, copy).first->second;
}
