// The description cache: what each part made without a template turned out
// to be, kept in a file between runs so that a later load of the script
// takes the part's description from the file instead of opening the part,
// and a later DorvelFilterCheck() skips parts an earlier run checked.
//
// One object per cache file that a script turned on; filters made while it is
// on hold a reference. Entries are read once, when the cache is turned on.
// Changes (entries learned, checked or found stale) are written back at
// once for a stale entry, otherwise at most every half second and when the
// script's environment is deleted; each write merges with what other
// processes wrote meanwhile (see cache_file.h).
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "deferred/description_cache/store/cache_file.h"
#include "deferred/description_cache/store/cache_text.h"
#include "plugin/avisynth_interface.h"

class DescriptionCache {
 public:
  // The cache in `path`. A file that does not read is set aside (renamed
  // to NAME.bad) with a warning in the host's log, and a new one is begun.
  // Null, with a warning, when the folder takes no new files: the script
  // then runs without a cache.
  static std::shared_ptr<DescriptionCache> Open(const CachePath& path, IScriptEnvironment* env);

  const CachePath& path() const { return path_; }

  // The entry of `key` that this version of the module wrote, when each of
  // its files is as it was then: one look at each file's state.
  bool Find(const std::string& key, CacheEntry& found);
  // Learns (or relearns) `key`'s description, made from `files`; `checked`
  // when it was opened while the script loaded.
  void Record(const std::string& key, std::vector<FileState> files, const CachedDescription& description, bool checked,
              IScriptEnvironment* env);
  // A filter of this load takes its description from `entry`.
  void Using(const CacheEntry& entry);
  // A filter of this load served a frame or audio: the load succeeded.
  void Served();
  // Forgets every entry this load took descriptions from, in the file too,
  // at once: one of them turned out wrong, so any may be.
  void DropUsed(IScriptEnvironment* env);
  // The environment is being deleted. A load that took descriptions from
  // the cache and served nothing may have failed because of them: they are
  // dropped, and the next load learns them again. Then what is not yet
  // written is written.
  void EndOfLoad();
  // Writes what is not yet written; `env` null once the environment is
  // being deleted (no warning can then be logged).
  void Flush(IScriptEnvironment* env);

 private:
  explicit DescriptionCache(CachePath path) : path_(std::move(path)) {}

  struct Change {
    std::string key;
    CacheEntry entry;  // learned; or, for a drop, the stale description
    bool drop = false;
  };
  // With `mutex_` held: the pending changes, merged into the file under its
  // lock, waited for at most `lockSeconds`. Those that cannot be written
  // now stay pending. What went wrong is added to `warnings`, for the
  // host's log once `mutex_` is let go.
  void WriteLocked(std::vector<std::string>& warnings, double lockSeconds);
  void DropUsedLocked();
  // The entries of the file; a file that does not read is set aside first.
  // `readable` false when the file is there but could not be read now. With
  // the lock file held.
  std::map<std::string, CacheEntry> ReadForUpdate(std::vector<std::string>& warnings, bool& readable);

  const CachePath path_;
  std::mutex mutex_;
  std::map<std::string, CacheEntry> known_;
  std::map<std::string, CachedDescription> used_;
  bool served_ = false;
  std::vector<Change> pending_;
  std::chrono::steady_clock::time_point lastWrite_;
};

// A clip's description as the cache keeps it, and back.
CachedDescription DescriptionOf(const VideoInfo& vi);
VideoInfo VideoInfoOf(const CachedDescription& description);

// Empty when `made` is `cached`; otherwise the error line for `call` (the
// host's log text of the filter's call), naming the cache file.
std::string CacheMismatch(const CachedDescription& cached, const CachedDescription& made, const std::string& call,
                          const CachePath& file);

// The module's version, written in each entry.
const char* ModuleVersion();
