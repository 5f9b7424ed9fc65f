#include "cache_file.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <system_error>
#include <thread>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

CachePath WithEnding(const CachePath& path, const std::string& ending) {
  CachePath named = path;
  named += ending;
  return named;
}

// A name beside `path` that no other process or thread uses.
CachePath ScratchName(const CachePath& path, const char* what) {
  static std::atomic<unsigned> counter{0};
#if defined(_WIN32)
  const long pid = static_cast<long>(_getpid());
#else
  const long pid = static_cast<long>(getpid());
#endif
  return WithEnding(path, std::string(".") + what + "-" + std::to_string(pid) + "-" + std::to_string(++counter));
}

bool WriteNew(const CachePath& path, const std::string& text, std::string& why) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) {
    why = "cannot write " + path.u8string();
    return false;
  }
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) {
    why = "cannot write " + path.u8string();
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return false;
  }
  return true;
}

// Renames `from` over `to` at once.
bool RenameOver(const CachePath& from, const CachePath& to, std::string& why) {
#if defined(_WIN32)
  // A reader that has the old file open refuses the replacement for a
  // moment: tried again for up to a second.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  why = "cannot replace " + to.u8string() + " (error " + std::to_string(GetLastError()) + ")";
  return false;
#else
  std::error_code error;
  std::filesystem::rename(from, to, error);
  if (!error) return true;
  why = "cannot replace " + to.u8string() + ": " + error.message();
  return false;
#endif
}

// Creates `path` only when it does not exist.
bool CreateExclusive(const CachePath& path) {
#if defined(_WIN32)
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
#else
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
#endif
}

}  // namespace

ReadResult ReadWholeFile(const CachePath& path, std::string& text, std::string& why, std::uintmax_t largest) {
  std::error_code error;
  if (!std::filesystem::exists(path, error) && !error) return ReadResult::Missing;
  std::ifstream file(path, std::ios::binary);
  // On Windows a file that another process is replacing at this moment does
  // not open for a few milliseconds: that is not a file that cannot be read.
  for (int tries = 0; !file && tries < 20; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!std::filesystem::exists(path, error) && !error) return ReadResult::Missing;
    file.open(path, std::ios::binary);
  }
  if (!file) {
    why = "cannot read " + path.u8string();
    return ReadResult::Failed;
  }
  std::string read;
  char block[65536];
  while (file) {
    file.read(block, sizeof block);
    read.append(block, static_cast<std::size_t>(file.gcount()));
    if (read.size() > largest) {
      why = "the file is larger than " + std::to_string(largest) + " bytes";
      return ReadResult::TooLarge;
    }
  }
  if (file.bad()) {
    why = "cannot read " + path.u8string();
    return ReadResult::Failed;
  }
  text = std::move(read);
  return ReadResult::Read;
}

bool WriteInPlaceOf(const CachePath& path, const std::string& text, std::string& why) {
  const CachePath scratch = ScratchName(path, "new");
  if (!WriteNew(scratch, text, why)) return false;
  if (RenameOver(scratch, path, why)) return true;
  std::error_code ignored;
  std::filesystem::remove(scratch, ignored);
  return false;
}

bool SetAside(const CachePath& path, std::string& why) { return RenameOver(path, WithEnding(path, ".bad"), why); }

bool FolderWritable(const CachePath& path, std::string& why) {
  const CachePath scratch = ScratchName(path, "probe");
  if (!CreateExclusive(scratch)) {
    why = "cannot make files in " + path.parent_path().u8string();
    return false;
  }
  std::error_code ignored;
  std::filesystem::remove(scratch, ignored);
  return true;
}

CacheLock::CacheLock(const CachePath& path, double seconds) : lock_(WithEnding(path, ".lock")) {
  using Clock = std::chrono::steady_clock;
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (CreateExclusive(lock_)) {
      held_ = true;
      return;
    }
    std::error_code error;
    const auto made = std::filesystem::last_write_time(lock_, error);
    if (!error && std::filesystem::file_time_type::clock::now() - made > std::chrono::minutes(1)) {
      std::filesystem::remove(lock_, error);
      continue;
    }
    if (Clock::now() >= until) return;
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(50)) pause *= 2;
  }
}

CacheLock::~CacheLock() {
  if (!held_) return;
  std::error_code ignored;
  std::filesystem::remove(lock_, ignored);
}
