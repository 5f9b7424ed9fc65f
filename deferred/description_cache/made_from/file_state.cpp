#include "file_state.h"

#if defined(_WIN32)
#include <windows.h>

#include <filesystem>
#else
#include <sys/stat.h>
#endif

#include "deferred/description_cache/made_from/open_file_state.h"

bool FileState::operator==(const FileState& other) const {
  return path == other.path && size == other.size && modified == other.modified && changed == other.changed &&
         volume == other.volume && id == other.id;
}

#if defined(_WIN32)

bool StateOfFile(const std::string& path, FileState& state) {
  const std::filesystem::path wide = std::filesystem::u8path(path);
  // Opened for its attributes alone, shared every way: a reader or writer
  // of the file is not disturbed.
  const HANDLE file =
      CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = StateOfOpenFile(file, state) == OpenFileState::Told;
  CloseHandle(file);
  state.path = path;
  return known;
}

#else

bool StateOfFile(const std::string& path, FileState& state) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  state = StateOfStat(info);
  state.path = path;
  return true;
}

#endif
