// Loads a plugin the way the real host does: dlopen (lazy, local scope) on
// Linux, LoadLibrary on Windows; look up the entry function under the names
// a host of this build's family tries; call it with a script environment
// and the host's linkage table.
#pragma once

#include <string>

#include "plugin/avisynth_interface.h"

class PluginLibrary {
 public:
  // Throws std::runtime_error when the library or its entry function is missing.
  explicit PluginLibrary(const std::string& path);
  ~PluginLibrary();  // unloads the library
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  // Calls the entry function with `table` (the stand-in host's own by
  // default); answers the plugin's description text.
  const char* Init(IScriptEnvironment* env, const AVS_Linkage* table = nullptr) const;
  // A symbol the library exports, or null.
  void* Symbol(const char* name) const;
  // Whether the library at `path` is loaded in this process.
  static bool IsLoaded(const std::string& path);

 private:
  void* handle_;
  PluginInitFunc entry_;
};
