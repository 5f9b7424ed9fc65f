// The state (file_state.h) of a file the process holds open, from its
// descriptor or handle; the path is left for the caller.
#pragma once

#include "deferred/description_cache/made_from/file_state.h"

#if defined(_WIN32)
#include <windows.h>

enum class OpenFileState {
  Told,
  NotAFile,  // a folder, or no file on a disk
  Untold,    // a file whose system keeps no change time or file ID (FAT, some
             // network shares), or that this handle may not ask: its state
             // could not show that it was replaced
};
OpenFileState StateOfOpenFile(HANDLE file, FileState& state);
#else
#include <sys/stat.h>

FileState StateOfStat(const struct stat& info);
#endif
