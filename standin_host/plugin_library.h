// Loads a plugin the way the real host does: dlopen (lazy, local scope),
// look up the plain C symbol AvisynthPluginInit3, and call it with a script
// environment and the host's linkage table.
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
