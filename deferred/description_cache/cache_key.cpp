#include "cache_key.h"

#include <filesystem>
#include <system_error>

#include "deferred/calls/call_text.h"
#include "deferred/description_cache/cache_text.h"

namespace {

// The "file" line for `name`, when it names an existing file.
void AppendFile(const char* name, const Folder* folder, std::string& key) {
  if (name == nullptr || *name == '\0') return;
  std::error_code error;
  Folder path(name);
  if (path.is_relative() && folder != nullptr) path = *folder / path;
  if (!std::filesystem::is_regular_file(path, error) || error) return;
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error) return;
  const auto time = std::filesystem::last_write_time(path, error);
  if (error) return;
  path = path.lexically_normal();
  key += "file " + std::to_string(size) + " " + std::to_string(time.time_since_epoch().count()) + " " +
         EscapeForCacheLine(path.u8string()) + "\n";
}

// Appends the file lines of `value`'s strings; false when it holds a clip.
bool AppendFilesOf(const AVSValue& value, const Folder* folder, std::string& key) {
  if (value.IsClip()) return false;
  if (value.IsString()) {
    AppendFile(value.AsString(), folder, key);
  } else if (value.IsArray()) {
    for (int i = 0; i < value.ArraySize(); ++i) {
      if (!AppendFilesOf(value[i], folder, key)) return false;
    }
  }
  return true;
}

}  // namespace

bool MakeCacheKey(const char* functionName, const ArgumentList& args, const Folder* folder, std::string& key) {
  key = "call " + EscapeForCacheLine(CallText(functionName, args, true)) + "\n";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!AppendFilesOf(args.values()[i], folder, key)) return false;
  }
  return true;
}
