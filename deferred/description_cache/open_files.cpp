#include "open_files.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include "deferred/description_cache/open_file_state.h"

#if defined(_WIN32)
#include <windows.h>

#include <filesystem>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/param.h>
#else
#include <dirent.h>
#endif
#endif

namespace {

bool SameOpening(const HeldFile& a, const HeldFile& b) {
  return a.handle == b.handle && a.state.volume == b.state.volume && a.state.id == b.state.id;
}

#if !defined(_WIN32)
// The descriptor's file, when it is a regular file open for reading.
bool ReadOpen(int fd, const std::string& path, std::vector<HeldFile>& files) {
  struct stat info;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  HeldFile file{fd, StateOfStat(info)};
  file.state.path = path;
  files.push_back(std::move(file));
  return true;
}
#endif

}  // namespace

#if defined(_WIN32)

bool ListOpenFiles(std::vector<HeldFile>& files) {
  files.clear();
  // Handle values are multiples of four; the walk ends once it has met as
  // many handles as the process holds, or at a bound far past any real count.
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count)) return false;
  DWORD met = 0;
  std::vector<wchar_t> name(32768);
  for (uintptr_t value = 4; met < count && value < (uintptr_t{1} << 24); value += 4) {
    const HANDLE handle = reinterpret_cast<HANDLE>(value);
    DWORD flags = 0;
    if (!GetHandleInformation(handle, &flags)) continue;
    ++met;
    if (GetFileType(handle) != FILE_TYPE_DISK) continue;
    FileState state;
    if (!StateOfOpenFile(handle, state)) continue;
    const DWORD size = static_cast<DWORD>(name.size());
    const DWORD length = GetFinalPathNameByHandleW(handle, name.data(), size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= size) continue;
    std::wstring path(name.data(), length);
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
      path = L"\\\\" + path.substr(8);
    } else if (path.rfind(L"\\\\?\\", 0) == 0) {
      path = path.substr(4);
    }
    state.path = std::filesystem::path(path).u8string();
    files.push_back(HeldFile{static_cast<long long>(value), std::move(state)});
  }
  return true;
}

#elif defined(__APPLE__)

bool ListOpenFiles(std::vector<HeldFile>& files) {
  files.clear();
  const int limit = std::min(getdtablesize(), 1 << 16);
  for (int fd = 0; fd < limit; ++fd) {
    char path[MAXPATHLEN];
    if (fcntl(fd, F_GETPATH, path) == 0) ReadOpen(fd, path, files);
  }
  return true;
}

#else

bool ListOpenFiles(std::vector<HeldFile>& files) {
  files.clear();
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) return false;
  const int own = dirfd(folder);
  while (const dirent* entry = readdir(folder)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    char path[4096];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t length = readlink(link.c_str(), path, sizeof path);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path || path[0] != '/') continue;
    ReadOpen(static_cast<int>(fd), std::string(path, static_cast<std::size_t>(length)), files);
  }
  closedir(folder);
  return true;
}

#endif

std::vector<FileState> NewlyOpened(const std::vector<HeldFile>& before, const std::vector<HeldFile>& after) {
  std::vector<FileState> opened;
  for (const HeldFile& file : after) {
    const auto held = [&file](const HeldFile& old) { return SameOpening(old, file); };
    if (std::any_of(before.begin(), before.end(), held)) continue;
    const auto same = [&file](const FileState& known) {
      return known.volume == file.state.volume && known.id == file.state.id;
    };
    if (std::none_of(opened.begin(), opened.end(), same)) opened.push_back(file.state);
  }
  return opened;
}

bool OpeningWatch::Opened(std::vector<FileState>& files) const {
  std::vector<HeldFile> after;
  if (!listed_ || !ListOpenFiles(after)) return false;
  files = NewlyOpened(before_, after);
  return true;
}
