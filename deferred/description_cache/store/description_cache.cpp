#include "description_cache.h"

#include "deferred/log/host_log.h"

#ifndef DORVEL_VERSION
#define DORVEL_VERSION "unknown"
#endif

namespace {

// How long an update waits for another process's: longer than any write of
// a cache takes, short enough that a lock left by a process that died stops
// nobody for long (it is broken after a minute).
constexpr double kLockSeconds = 10.0;
// How long a part learned while the script loads waits: a write of the cache
// takes far less, and a lock held longer (by a process that died, until it
// is broken) must not hold up every part's load; what it learned is written
// at a later turn.
constexpr double kLearnedLockSeconds = 0.25;
constexpr auto kWriteEvery = std::chrono::milliseconds(500);

constexpr const char* kFieldNames[11] = {"width",
                                         "height",
                                         "frame rate numerator",
                                         "frame rate denominator",
                                         "frame count",
                                         "pixel type",
                                         "audio rate",
                                         "sample type",
                                         "audio sample count",
                                         "channel count",
                                         "image type (field order)"};

void Warn(IScriptEnvironment* env, const std::string& line) {
  WriteHostLog(env, LogLevel::Warning, "DorvelFilterCache: " + line);
}

// Written once the cache's mutex is let go: the host's log runs a script
// function.
void WarnAll(IScriptEnvironment* env, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) Warn(env, line);
}

}  // namespace

const char* ModuleVersion() { return DORVEL_VERSION; }

CachedDescription DescriptionOf(const VideoInfo& vi) {
  CachedDescription d;
  const int64_t fields[11] = {vi.width,
                              vi.height,
                              vi.fps_numerator,
                              vi.fps_denominator,
                              vi.num_frames,
                              vi.pixel_type,
                              vi.audio_samples_per_second,
                              vi.sample_type,
                              vi.num_audio_samples,
                              vi.nchannels,
                              vi.image_type};
  for (int i = 0; i < 11; ++i) d.fields[i] = fields[i];
  return d;
}

VideoInfo VideoInfoOf(const CachedDescription& d) {
  VideoInfo vi{};
  vi.width = static_cast<int>(d.fields[0]);
  vi.height = static_cast<int>(d.fields[1]);
  vi.fps_numerator = static_cast<unsigned>(d.fields[2]);
  vi.fps_denominator = static_cast<unsigned>(d.fields[3]);
  vi.num_frames = static_cast<int>(d.fields[4]);
  vi.pixel_type = static_cast<int>(d.fields[5]);
  vi.audio_samples_per_second = static_cast<int>(d.fields[6]);
  vi.sample_type = static_cast<int>(d.fields[7]);
  vi.num_audio_samples = d.fields[8];
  vi.nchannels = static_cast<int>(d.fields[9]);
  vi.image_type = static_cast<int>(d.fields[10]);
  return vi;
}

std::string CacheMismatch(const CachedDescription& cached, const CachedDescription& made, const std::string& call,
                          const CachePath& file) {
  for (int i = 0; i < 11; ++i) {
    if (cached.fields[i] == made.fields[i]) continue;
    return "DorvelFilter: " + call + " made a clip other than its description in the cache " + file.u8string() + " (" +
           kFieldNames[i] + " " + std::to_string(made.fields[i]) + ", not " + std::to_string(cached.fields[i]) +
           "); every entry this load took from the cache is dropped, and the next load of the script learns them again";
  }
  return "";
}

std::shared_ptr<DescriptionCache> DescriptionCache::Open(const CachePath& path, IScriptEnvironment* env) {
  std::string why;
  if (!FolderWritable(path, why)) {
    Warn(env, "not used: " + why + "; the script runs without it");
    return nullptr;
  }
  std::shared_ptr<DescriptionCache> cache(new DescriptionCache(path));
  std::string text;
  const ReadResult read = ReadWholeFile(path, text, why);
  if (read == ReadResult::Failed) {
    Warn(env, "not used: " + why + "; the script runs without it");
    return nullptr;
  }
  std::vector<CacheEntry> entries;
  std::vector<std::string> warnings;
  if (read == ReadResult::TooLarge || (read == ReadResult::Read && !ReadCacheText(text, entries, why))) {
    // Set aside under the lock, and only if it still does not read: another
    // process may have rebuilt it meanwhile.
    const CacheLock lock(path, kLockSeconds);
    if (lock.held()) {
      bool readable = false;
      for (auto& entry : cache->ReadForUpdate(warnings, readable)) entries.push_back(std::move(entry.second));
    }
  }
  WarnAll(env, warnings);
  for (CacheEntry& entry : entries) cache->known_[entry.key] = std::move(entry);
  return cache;
}

bool DescriptionCache::Find(const std::string& key, CacheEntry& found) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = known_.find(key);
    if (it == known_.end() || it->second.module != ModuleVersion()) return false;
    found = it->second;
  }
  // Looked at with no lock held: another thread's filters find at once.
  for (const FileState& file : found.files) {
    FileState now;
    if (!StateOfFile(file.path, now) || now != file) return false;
  }
  return true;
}

void DescriptionCache::Record(const std::string& key, std::vector<FileState> files,
                              const CachedDescription& description, bool checked, IScriptEnvironment* env) {
  std::vector<std::string> warnings;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CacheEntry entry{key, std::move(files), description, ModuleVersion(), checked};
    known_[key] = entry;
    pending_.push_back(Change{key, std::move(entry), false});
    if (std::chrono::steady_clock::now() - lastWrite_ >= kWriteEvery) WriteLocked(warnings, kLearnedLockSeconds);
  }
  WarnAll(env, warnings);
}

void DescriptionCache::Using(const CacheEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  used_[entry.key] = entry.description;
}

void DescriptionCache::Served() {
  std::lock_guard<std::mutex> lock(mutex_);
  served_ = true;
}

void DescriptionCache::DropUsedLocked() {
  for (const auto& used : used_) {
    const auto it = known_.find(used.first);
    if (it != known_.end() && it->second.description == used.second) known_.erase(it);
    pending_.push_back(Change{used.first, CacheEntry{used.first, {}, used.second, "", false}, true});
  }
  used_.clear();
}

void DescriptionCache::DropUsed(IScriptEnvironment* env) {
  std::vector<std::string> warnings;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DropUsedLocked();
    WriteLocked(warnings, kLockSeconds);
  }
  WarnAll(env, warnings);
}

void DescriptionCache::EndOfLoad() {
  std::vector<std::string> warnings;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!served_) DropUsedLocked();
  if (!pending_.empty()) WriteLocked(warnings, kLockSeconds);
}

void DescriptionCache::Flush(IScriptEnvironment* env) {
  std::vector<std::string> warnings;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty()) WriteLocked(warnings, kLockSeconds);
  }
  WarnAll(env, warnings);
}

std::map<std::string, CacheEntry> DescriptionCache::ReadForUpdate(std::vector<std::string>& warnings, bool& readable) {
  std::map<std::string, CacheEntry> entries;
  std::string text, why;
  const ReadResult result = ReadWholeFile(path_, text, why);
  readable = result != ReadResult::Failed;
  if (result == ReadResult::Failed) warnings.push_back(why + "; what this process learned is written later");
  if (result == ReadResult::Missing || result == ReadResult::Failed) return entries;
  std::vector<CacheEntry> read;
  if (result == ReadResult::TooLarge || !ReadCacheText(text, read, why)) {
    std::string moved;
    const bool aside = SetAside(path_, moved);
    warnings.push_back(path_.u8string() + " does not read (" + why + "); " +
                       (aside ? "set aside as " + path_.u8string() + ".bad" : "cannot be set aside: " + moved) +
                       ", and a new cache is begun");
    return entries;
  }
  for (CacheEntry& entry : read) entries[entry.key] = std::move(entry);
  return entries;
}

void DescriptionCache::WriteLocked(std::vector<std::string>& warnings, double lockSeconds) {
  const CacheLock lock(path_, lockSeconds);
  lastWrite_ = std::chrono::steady_clock::now();
  if (!lock.held()) {
    warnings.push_back("another process holds " + path_.u8string() + ".lock; what this one learned is written later");
    return;
  }
  bool readable = false;
  std::map<std::string, CacheEntry> entries = ReadForUpdate(warnings, readable);
  // Written over, a file that is there but did not read now would lose
  // every entry of other processes.
  if (!readable) return;
  for (const Change& change : pending_) {
    const auto it = entries.find(change.key);
    if (change.drop) {
      if (it != entries.end() && it->second.description == change.entry.description) entries.erase(it);
    } else if (it != entries.end() && it->second.description == change.entry.description &&
               it->second.module == change.entry.module && it->second.files == change.entry.files) {
      it->second.checked = it->second.checked || change.entry.checked;
    } else {
      entries[change.key] = change.entry;
    }
  }
  std::vector<CacheEntry> all;
  all.reserve(entries.size());
  for (auto& entry : entries) all.push_back(std::move(entry.second));
  std::string why;
  if (!WriteInPlaceOf(path_, WriteCacheText(all), why)) {
    warnings.push_back(why + "; what this process learned is written later");
    return;
  }
  pending_.clear();
}
