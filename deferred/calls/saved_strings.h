// The strings a filter keeps, as the environment's own copies, so that they
// live as long as the environment, as the strings of script values do (a
// function the filter calls may keep a pointer to them). Each text is saved
// once per environment: AviSynth+ 3.7.5 answers the same copy for the same
// text by itself, but 3.7.3 saves a new copy at every call, and filters made
// at frame time (a ScriptClip that makes one each frame, a part whose
// function makes one at each reopening) would add copies without end.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

#include "plugin/avisynth_interface.h"

class SavedStrings {
 public:
  // The environment's copy of `text`, saved through `env` the first time.
  const char* Save(IScriptEnvironment* env, const char* text);

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, const char*> saved_;
};
