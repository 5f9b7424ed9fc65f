// The description cache's file, as text: what is written, and a reader that
// takes any bytes at all. A file is either read whole or refused whole: a
// reader never acts on part of a file.
//
//   DorvelFilterCache 1
//   entry
//   call FFVideoSource("p1.mkv")
//   file 1048576 1767225600000000000 /media/p1.mkv
//   description 320 240 25 1 50 -1610612728 48000 2 96000 2 0
//   module 1.1.0
//   checked 1
//   end
//   entries 1
//
// An entry's "call" and "file" lines, joined with line ends, are its key: the
// call as the host's log writes it (whole strings, clips refused) and, for
// each of its strings that names an existing file, that file's size, time
// and full path. "description" holds the clip's width, height, frame rate
// (numerator, denominator), frame count, pixel type, audio rate, sample type,
// audio sample count, channel count and image type (field order and parity).
// Backslashes and line ends inside a call or path are written \\, \n, \r.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The eleven numbers of a clip's description, in the order written.
struct CachedDescription {
  int64_t fields[11] = {};
  bool operator==(const CachedDescription& other) const;
  bool operator!=(const CachedDescription& other) const { return !(*this == other); }
};

struct CacheEntry {
  std::string key;  // the "call" and "file" lines, each ended by '\n'
  CachedDescription description;
  std::string module;    // the version of the module that wrote it
  bool checked = false;  // opened and found to fit while a script loaded
};

// The format this module writes; a file of another number is set aside.
constexpr int kCacheFormat = 1;

std::string WriteCacheText(const std::vector<CacheEntry>& entries);

// The entries of `text`; false (with `why` saying what is wrong, and
// `entries` left empty) when it is not a whole cache file of this format.
bool ReadCacheText(const std::string& text, std::vector<CacheEntry>& entries, std::string& why);

// `key` without the sizes and times of its files: the same for an entry
// and the one that replaces it once its files changed.
std::string CallAndPaths(const std::string& key);

// `text` with backslashes and line ends escaped, for one line of the file.
std::string EscapeForCacheLine(const std::string& text);
