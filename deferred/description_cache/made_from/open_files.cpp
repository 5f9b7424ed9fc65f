#include "open_files.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "deferred/description_cache/made_from/open_file_state.h"

#if defined(_WIN32)
#include <windows.h>

#include <filesystem>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <dlfcn.h>
#include <sys/param.h>
#else
#include <dirent.h>
#endif
#endif

namespace {

bool SameOpening(const HeldFile& a, const HeldFile& b) {
  if (a.handle != b.handle || a.known != b.known) return false;
  return !a.known || (a.state.volume == b.state.volume && a.state.id == b.state.id);
}

#if defined(_WIN32)

// The process's handles and the access each was opened with. Windows 8 and
// later list one process's handles; Windows 7 and Wine only every process's,
// from which ours are taken. Walking handle values instead would need to
// know how many handles there are, which Wine does not say (it answers 0).
using QueryProcess = LONG(WINAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
using QuerySystem = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG kProcessHandleInformation = 51;
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr LONG kBufferTooSmall = static_cast<LONG>(0xC0000023);

// The entries of either list, as the system lays them out.
struct ProcessHandleEntry {
  HANDLE value;
  ULONG_PTR handleCount;
  ULONG_PTR pointerCount;
  ACCESS_MASK access;
  ULONG typeIndex;
  ULONG attributes;
  ULONG reserved;
};
struct SystemHandleEntry {
  PVOID object;
  ULONG_PTR process;
  ULONG_PTR value;
  ACCESS_MASK access;
  USHORT backTrace;
  USHORT typeIndex;
  ULONG attributes;
  ULONG reserved;
};
// Both lists begin with the count and a word kept for the system.
constexpr std::size_t kListHead = 2 * sizeof(ULONG_PTR);

struct Handle {
  HANDLE value;
  ACCESS_MASK access;
};

template <class Ask>
bool AskGrowing(Ask ask, std::vector<unsigned char>& list) {
  list.resize(std::size_t{1} << 16);
  for (int tries = 0; tries < 16; ++tries) {
    ULONG needed = 0;
    const LONG status = ask(list.data(), static_cast<ULONG>(list.size()), &needed);
    if (status >= 0) return list.size() >= kListHead;
    if (status != kInfoLengthMismatch && status != kBufferTooSmall) return false;
    // Handles come and go between asks: some room to spare.
    list.resize(std::max<std::size_t>(list.size() * 2, std::size_t{needed} + (std::size_t{1} << 14)));
  }
  return false;
}

template <class Entry, class Keep>
bool EntriesOf(const std::vector<unsigned char>& list, Keep keep) {
  ULONG_PTR count = 0;
  std::memcpy(&count, list.data(), sizeof count);
  if (count > (list.size() - kListHead) / sizeof(Entry)) return false;
  for (ULONG_PTR i = 0; i < count; ++i) {
    Entry entry;
    std::memcpy(&entry, list.data() + kListHead + i * sizeof(Entry), sizeof entry);
    keep(entry);
  }
  return true;
}

bool ProcessHandles(std::vector<Handle>& handles) {
  handles.clear();
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return false;
  std::vector<unsigned char> list;
  const auto queryProcess =
      reinterpret_cast<QueryProcess>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationProcess")));
  const auto askProcess = [queryProcess](void* data, ULONG size, ULONG* needed) {
    return queryProcess(GetCurrentProcess(), kProcessHandleInformation, data, size, needed);
  };
  if (queryProcess != nullptr && AskGrowing(askProcess, list)) {
    return EntriesOf<ProcessHandleEntry>(list, [&handles](const ProcessHandleEntry& e) {
      handles.push_back(Handle{e.value, e.access});
    });
  }
  const auto querySystem =
      reinterpret_cast<QuerySystem>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
  const auto askSystem = [querySystem](void* data, ULONG size, ULONG* needed) {
    return querySystem(kSystemExtendedHandleInformation, data, size, needed);
  };
  if (querySystem == nullptr || !AskGrowing(askSystem, list)) return false;
  const ULONG_PTR self = GetCurrentProcessId();
  return EntriesOf<SystemHandleEntry>(list, [&handles, self](const SystemHandleEntry& e) {
    if (e.process == self) handles.push_back(Handle{reinterpret_cast<HANDLE>(e.value), e.access});
  });
}

// The file a handle holds, by its full name; false when it names none.
bool PathOf(HANDLE handle, std::string& path) {
  std::vector<wchar_t> name(32768);
  const DWORD size = static_cast<DWORD>(name.size());
  const DWORD length = GetFinalPathNameByHandleW(handle, name.data(), size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= size) return false;
  std::wstring wide(name.data(), length);
  if (wide.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    wide = L"\\\\" + wide.substr(8);
  } else if (wide.rfind(L"\\\\?\\", 0) == 0) {
    wide = wide.substr(4);
  }
  path = std::filesystem::path(wide).u8string();
  return true;
}

bool ListHeldFiles(std::vector<HeldFile>& files) {
  files.clear();
  std::vector<Handle> handles;
  if (!ProcessHandles(handles)) return false;
  for (const Handle& handle : handles) {
    // A file handle that may not read the file's data is not read through.
    if ((handle.access & FILE_READ_DATA) == 0 || GetFileType(handle.value) != FILE_TYPE_DISK) continue;
    HeldFile file{static_cast<long long>(reinterpret_cast<uintptr_t>(handle.value)), true, FileState{}};
    const OpenFileState told = StateOfOpenFile(handle.value, file.state);
    if (told == OpenFileState::NotAFile) continue;
    file.known = told == OpenFileState::Told && PathOf(handle.value, file.state.path);
    files.push_back(std::move(file));
  }
  return true;
}

// A file this process opens for reading itself: its own module.
class OwnFile {
 public:
  OwnFile() {
    HMODULE module = nullptr;
    std::vector<wchar_t> name(32768);
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ListOpenFiles)), &module)) {
      return;
    }
    const DWORD length = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0 || length >= name.size()) return;
    handle_ = CreateFileW(name.data(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    told_ = handle_ != INVALID_HANDLE_VALUE && StateOfOpenFile(handle_, state_) == OpenFileState::Told;
  }
  ~OwnFile() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  OwnFile(const OwnFile&) = delete;
  OwnFile& operator=(const OwnFile&) = delete;
  bool told() const { return told_; }
  long long handle() const { return static_cast<long long>(reinterpret_cast<uintptr_t>(handle_)); }
  const FileState& state() const { return state_; }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool told_ = false;
  FileState state_;
};

#else

// The descriptor's file, when it is a regular file open for reading.
void ReadOpen(int fd, const std::string& path, std::vector<HeldFile>& files) {
  struct stat info;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return;
  HeldFile file{fd, true, StateOfStat(info)};
  file.state.path = path;
  files.push_back(std::move(file));
}

#if defined(__APPLE__)

bool ListHeldFiles(std::vector<HeldFile>& files) {
  files.clear();
  const int limit = std::min(getdtablesize(), 1 << 16);
  for (int fd = 0; fd < limit; ++fd) {
    char path[MAXPATHLEN];
    if (fcntl(fd, F_GETPATH, path) == 0) ReadOpen(fd, path, files);
  }
  return true;
}

// The module's own file, by the name it was loaded by.
std::string OwnFileName() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&ListOpenFiles), &info) == 0 || info.dli_fname == nullptr) return "";
  return info.dli_fname;
}

#else

bool ListHeldFiles(std::vector<HeldFile>& files) {
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

std::string OwnFileName() { return "/proc/self/exe"; }

#endif

// A file this process opens for reading itself: the program or module.
class OwnFile {
 public:
  OwnFile() {
    const std::string name = OwnFileName();
    if (name.empty()) return;
    fd_ = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    told_ = fd_ >= 0 && fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
    if (told_) state_ = StateOfStat(info);
  }
  ~OwnFile() {
    if (fd_ >= 0) close(fd_);
  }
  OwnFile(const OwnFile&) = delete;
  OwnFile& operator=(const OwnFile&) = delete;
  bool told() const { return told_; }
  long long handle() const { return fd_; }
  const FileState& state() const { return state_; }

 private:
  int fd_ = -1;
  bool told_ = false;
  FileState state_;
};

#endif

}  // namespace

bool ListOpenFiles(std::vector<HeldFile>& files) {
  // The list is trusted only when it shows a file opened here to see it.
  const OwnFile own;
  if (!own.told() || !ListHeldFiles(files)) return false;
  const auto isOwn = [&own](const HeldFile& file) {
    return file.handle == own.handle() && file.known && file.state.volume == own.state().volume &&
           file.state.id == own.state().id;
  };
  const auto found = std::find_if(files.begin(), files.end(), isOwn);
  if (found == files.end()) return false;
  files.erase(found);
  return true;
}

bool NewlyOpened(const std::vector<HeldFile>& before, const std::vector<HeldFile>& after,
                 std::vector<FileState>& opened) {
  opened.clear();
  for (const HeldFile& file : after) {
    const auto held = [&file](const HeldFile& old) { return SameOpening(old, file); };
    if (std::any_of(before.begin(), before.end(), held)) continue;
    if (!file.known) return false;
    const auto same = [&file](const FileState& known) {
      return known.volume == file.state.volume && known.id == file.state.id;
    };
    if (std::none_of(opened.begin(), opened.end(), same)) opened.push_back(file.state);
  }
  return true;
}

OpeningWatch::OpeningWatch(bool watch) : watched_(Watched::NotWatched) {
  if (watch) watched_ = ListOpenFiles(before_) ? Watched::Told : Watched::Unlistable;
}

Watched OpeningWatch::Opened(std::vector<FileState>& files) const {
  files.clear();
  if (watched_ != Watched::Told) return watched_;
  std::vector<HeldFile> after;
  if (!ListOpenFiles(after)) return Watched::Unlistable;
  return NewlyOpened(before_, after, files) ? Watched::Told : Watched::UnknownFile;
}
