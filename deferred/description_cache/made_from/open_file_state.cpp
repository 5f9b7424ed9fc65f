#include "open_file_state.h"

#if defined(_WIN32)

namespace {
int64_t Join(DWORD high, DWORD low) { return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low); }
}  // namespace

OpenFileState StateOfOpenFile(HANDLE file, FileState& state) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandle(file, &info)) return OpenFileState::Untold;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return OpenFileState::NotAFile;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) return OpenFileState::Untold;
  state.size = Join(info.nFileSizeHigh, info.nFileSizeLow);
  state.modified = Join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
  state.changed = basic.ChangeTime.QuadPart;
  state.volume = info.dwVolumeSerialNumber;
  state.id = Join(info.nFileIndexHigh, info.nFileIndexLow);
  // Size and write time alone survive a copy that keeps the time.
  if (state.changed == 0 || state.id == 0) return OpenFileState::Untold;
  return OpenFileState::Told;
}

#else

namespace {
constexpr int64_t kBillion = 1000000000;
}  // namespace

FileState StateOfStat(const struct stat& info) {
  FileState state;
  state.size = static_cast<int64_t>(info.st_size);
#if defined(__APPLE__)
  state.modified = static_cast<int64_t>(info.st_mtimespec.tv_sec) * kBillion + info.st_mtimespec.tv_nsec;
  state.changed = static_cast<int64_t>(info.st_ctimespec.tv_sec) * kBillion + info.st_ctimespec.tv_nsec;
#else
  state.modified = static_cast<int64_t>(info.st_mtim.tv_sec) * kBillion + info.st_mtim.tv_nsec;
  state.changed = static_cast<int64_t>(info.st_ctim.tv_sec) * kBillion + info.st_ctim.tv_nsec;
#endif
  state.volume = static_cast<int64_t>(info.st_dev);
  state.id = static_cast<int64_t>(info.st_ino);
  return state;
}

#endif
