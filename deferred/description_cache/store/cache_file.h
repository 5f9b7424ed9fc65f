// The file operations the description cache needs, for every platform: a
// whole file read, a whole file put in place of another at once, a lock file
// that one process at a time holds, and setting a file aside.
//
// Every update writes a new file beside the cache and renames it over the
// cache (on Windows MoveFileExW with MOVEFILE_REPLACE_EXISTING), so a reader
// sees the old file or the new one, never part of one. Updates of several
// processes, on one machine or over a shared folder, take turns through the
// lock file, created only when absent (O_EXCL, CREATE_NEW), which works
// across machines where a lock call may not.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

using CachePath = std::filesystem::path;

enum class ReadResult { Read, Missing, Failed, TooLarge };

// The largest file taken for a cache: some 200,000 parts. Anything larger is
// another program's file, and is not read into memory.
constexpr std::uintmax_t kLargestCacheBytes = 64u << 20;

// The whole of `path` into `text`; TooLarge (`why` saying so) past `largest`
// bytes, of which no more are read.
ReadResult ReadWholeFile(const CachePath& path, std::string& text, std::string& why,
                         std::uintmax_t largest = kLargestCacheBytes);

// `text` written to a new file beside `path`, then renamed over it: in place
// of the old file at once.
bool WriteInPlaceOf(const CachePath& path, const std::string& text, std::string& why);

// `path` renamed to `path`.bad, replacing an older one; false when it could
// not be (the name then says what became of it).
bool SetAside(const CachePath& path, std::string& why);

// Whether a file can be made in `path`'s folder: a scratch file is made and
// removed.
bool FolderWritable(const CachePath& path, std::string& why);

// `path`.lock, held from construction while held() is true. A lock file
// older than a minute is taken to be left by a process that ended, and
// removed. Waits at most `seconds`.
class CacheLock {
 public:
  CacheLock(const CachePath& path, double seconds);
  ~CacheLock();
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

  bool held() const { return held_; }

 private:
  CachePath lock_;
  bool held_ = false;
};
