#include "cache_key.h"

#include <algorithm>

#include "deferred/calls/call_text.h"
#include "deferred/description_cache/store/cache_text.h"

namespace {

// Adds the states of the files `value`'s strings name; false when it holds a
// clip.
bool AddFilesOf(const AVSValue& value, const Folder* folder, std::vector<FileState>& named) {
  if (value.IsClip()) return false;
  if (value.IsString()) {
    FileState state;
    const char* name = value.AsString();
    const auto same = [&state](const FileState& known) { return known.path == state.path; };
    if (name != nullptr && StateOfNamedFile(name, folder, state) && std::none_of(named.begin(), named.end(), same)) {
      named.push_back(std::move(state));
    }
  } else if (value.IsArray()) {
    for (int i = 0; i < value.ArraySize(); ++i) {
      if (!AddFilesOf(value[i], folder, named)) return false;
    }
  }
  return true;
}

}  // namespace

bool StateOfNamedFile(const std::string& name, const Folder* folder, FileState& state) {
  if (name.empty()) return false;
  Folder path(name);
  if (path.is_relative() && folder != nullptr) path = *folder / path;
  return StateOfFile(path.lexically_normal().u8string(), state);
}

bool MakeCacheKey(const char* functionName, const ArgumentList& args, const Folder* folder, std::string& key,
                  std::vector<FileState>& named) {
  key = "call " + EscapeForCacheLine(CallText(functionName, args, true)) + "\n";
  if (folder != nullptr) key += "folder " + EscapeForCacheLine(folder->u8string()) + "\n";
  named.clear();
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!AddFilesOf(args.values()[i], folder, named)) return false;
  }
  return true;
}
