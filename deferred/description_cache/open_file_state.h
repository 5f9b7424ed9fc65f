// The state (file_state.h) of a file the process holds open, from its
// descriptor or handle; the path is left for the caller.
#pragma once

#include "deferred/description_cache/file_state.h"

#if defined(_WIN32)
#include <windows.h>

// False when `file` is not a file on a disk.
bool StateOfOpenFile(HANDLE file, FileState& state);
#else
#include <sys/stat.h>

FileState StateOfStat(const struct stat& info);
#endif
