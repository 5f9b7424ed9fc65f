// The description cache's file, as text: what is written, and a reader that
// takes any bytes at all. A file is either read whole or refused whole: a
// reader never acts on part of a file.
//
//   DorvelFilterCache 2
//   entry
//   call FFVideoSource("p1.mkv")
//   folder /media
//   file 1048576 1767225600000000000 1767225600000000000 2049 1311 /media/p1.mkv
//   file 311 1767225500000000000 1767225500000000000 2049 1290 /media/show.avs
//   description 320 240 25 1 50 -1610612728 48000 2 96000 2 0
//   module 1.1.0
//   checked 1
//   end
//   entries 1
//
// An entry's "call" and "folder" lines, joined with line ends, are its key:
// the call as the host's log writes it (whole strings, clips refused) and the
// working folder where its relative names are taken. Its "file" lines are
// what the description was made from: the files the call names, those its
// opening held open, and the script that made the call, each with its size,
// modification time, change time, volume and identity (file_state.h), then
// its full path. The entry stands only while each is as written.
// "description" holds the clip's width, height, frame rate
// (numerator, denominator), frame count, pixel type, audio rate, sample type,
// audio sample count, channel count and image type (field order and parity).
// Backslashes and line ends inside a call or path are written \\, \n, \r.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "deferred/description_cache/made_from/file_state.h"

// The eleven numbers of a clip's description, in the order written.
struct CachedDescription {
  int64_t fields[11] = {};
  bool operator==(const CachedDescription& other) const;
  bool operator!=(const CachedDescription& other) const { return !(*this == other); }
};

struct CacheEntry {
  std::string key;  // the "call" and "folder" lines, each ended by '\n'
  std::vector<FileState> files;
  CachedDescription description;
  std::string module;    // the version of the module that wrote it
  bool checked = false;  // opened and found to fit while a script loaded
};

// The format this module writes; a file of another number is set aside.
constexpr int kCacheFormat = 2;

std::string WriteCacheText(const std::vector<CacheEntry>& entries);

// The entries of `text`; false (with `why` saying what is wrong, and
// `entries` left empty) when it is not a whole cache file of this format.
bool ReadCacheText(const std::string& text, std::vector<CacheEntry>& entries, std::string& why);

// `text` with backslashes and line ends escaped, for one line of the file.
std::string EscapeForCacheLine(const std::string& text);
