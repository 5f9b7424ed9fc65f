#include "plugin_library.h"

#include <stdexcept>

#include "linkage_table.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

// The names a host looks the entry up by, in its order. On 32-bit Windows
// the entry is __stdcall, and each compiler family decorates such a name its
// own way; a GCC-built host tries the plain C name, then MinGW's.
#if defined(_WIN32) && !defined(_WIN64) && defined(_MSC_VER)
const char* const kEntryNames[] = {"AvisynthPluginInit3", "_AvisynthPluginInit3@8"};
#elif defined(_WIN32) && !defined(_WIN64)
const char* const kEntryNames[] = {"_AvisynthPluginInit3", "AvisynthPluginInit3@8"};
#else
const char* const kEntryNames[] = {"AvisynthPluginInit3"};
#endif

#if defined(_WIN32)
void* Load(const std::string& path) { return reinterpret_cast<void*>(LoadLibraryA(path.c_str())); }
void Unload(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }
void* Find(void* handle, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}
std::string LastError() { return "error " + std::to_string(GetLastError()); }
#else
void* Load(const std::string& path) { return dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL); }
void Unload(void* handle) { dlclose(handle); }
void* Find(void* handle, const char* name) { return dlsym(handle, name); }
std::string LastError() { return dlerror(); }
#endif

}  // namespace

PluginLibrary::PluginLibrary(const std::string& path) : handle_(Load(path)), entry_(nullptr) {
  if (handle_ == nullptr) throw std::runtime_error("cannot load " + path + ": " + LastError());
  for (const char* name : kEntryNames) {
    entry_ = reinterpret_cast<PluginInitFunc>(Find(handle_, name));
    if (entry_ != nullptr) return;
  }
  Unload(handle_);
  throw std::runtime_error(path + " has no AvisynthPluginInit3");
}

PluginLibrary::~PluginLibrary() { Unload(handle_); }

const char* PluginLibrary::Init(IScriptEnvironment* env, const AVS_Linkage* table) const {
  return entry_(env, table != nullptr ? table : &standInLinkage());
}

void* PluginLibrary::Symbol(const char* name) const { return Find(handle_, name); }

bool PluginLibrary::IsLoaded(const std::string& path) {
#if defined(_WIN32)
  // A loaded module is found by its file name alone.
  const std::string::size_type slash = path.find_last_of("/\\");
  return GetModuleHandleA(path.substr(slash == std::string::npos ? 0 : slash + 1).c_str()) != nullptr;
#else
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
#endif
}
