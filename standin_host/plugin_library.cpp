#include "plugin_library.h"

#include <dlfcn.h>

#include <stdexcept>

#include "linkage_table.h"

PluginLibrary::PluginLibrary(const std::string& path)
    : handle_(dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL)), entry_(nullptr) {
  if (handle_ == nullptr) throw std::runtime_error("cannot load " + path + ": " + dlerror());
  entry_ = reinterpret_cast<PluginInitFunc>(dlsym(handle_, "AvisynthPluginInit3"));
  if (entry_ == nullptr) {
    dlclose(handle_);
    throw std::runtime_error(path + " has no AvisynthPluginInit3");
  }
}

PluginLibrary::~PluginLibrary() { dlclose(handle_); }

const char* PluginLibrary::Init(IScriptEnvironment* env, const AVS_Linkage* table) const {
  return entry_(env, table != nullptr ? table : &standInLinkage());
}

void* PluginLibrary::Symbol(const char* name) const { return dlsym(handle_, name); }

bool PluginLibrary::IsLoaded(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}
