// What shows that a file is the one it was: its size and modification time,
// which a program may keep when it rewrites the file, and its change time
// and identity on its volume, which copying or replacing it always changes
// (st_ctime and st_dev/st_ino on Linux and macOS; ChangeTime, the volume's
// serial number and the file ID on Windows).
#pragma once

#include <cstdint>
#include <string>

struct FileState {
  std::string path;  // full, UTF-8
  int64_t size = 0;
  int64_t modified = 0;  // in the system's own units
  int64_t changed = 0;
  int64_t volume = 0;  // the device, or the volume's serial number
  int64_t id = 0;      // the inode number, or the file ID
  bool operator==(const FileState& other) const;
  bool operator!=(const FileState& other) const { return !(*this == other); }
};

// The state of the regular file `path` now; false when there is none, or
// when its system keeps no change time or file ID to show it replaced.
bool StateOfFile(const std::string& path, FileState& state);
