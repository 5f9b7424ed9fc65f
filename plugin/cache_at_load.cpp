#include "cache_at_load.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include "deferred/calls/frame_time.h"
#include "deferred/calls/script_var.h"
#include "deferred/log/host_log.h"
#include "deferred/process_wide.h"
#include "deferred/turns/working_folder.h"

namespace {

struct TurnedOn {
  IScriptEnvironment* env;
  std::shared_ptr<DescriptionCache> cache;
};

struct Caches {
  std::mutex mutex;
  // The environments whose scripts turned a cache on; an environment leaves
  // when the host deletes it, before another could take its address.
  std::vector<TurnedOn> turnedOn;
  std::vector<IScriptEnvironment*> watched;
};
Caches& caches() { return ProcessWide<Caches>(); }

void DORVEL_CDECL WriteAndForget(void* user_data, IScriptEnvironment*) {
  Caches& all = caches();
  auto* env = static_cast<IScriptEnvironment*>(user_data);
  std::shared_ptr<DescriptionCache> cache;
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    for (TurnedOn& entry : all.turnedOn) {
      if (entry.env == env) cache = std::move(entry.cache);
    }
    all.turnedOn.erase(
        std::remove_if(all.turnedOn.begin(), all.turnedOn.end(), [env](const TurnedOn& e) { return e.env == env; }),
        all.turnedOn.end());
    all.watched.erase(std::remove(all.watched.begin(), all.watched.end(), env), all.watched.end());
  }
  // The environment is being deleted: nothing more goes to its log.
  if (cache) cache->EndOfLoad();
}

// The script being loaded, as the host names it while it imports one: the
// script that calls DorvelFilterCache (a chunk's script that imports the
// whole one finds the whole one's cache), else the outermost script.
std::string ScriptFile(IScriptEnvironment* env) {
  for (const char* name : {"$ScriptName$", "$MainScriptName$"}) {
    std::string file = StringVar(env, name);
    if (!file.empty()) return file;
  }
  return "";
}

}  // namespace

AVSValue DORVEL_CDECL SetDorvelFilterCache(AVSValue args, void*, IScriptEnvironment* env) {
  Caches& all = caches();
  // A script run at frame time turns nothing on: the cache is for loading.
  if (InsideModuleCall()) return "";
  std::string file = args[0].Defined() ? args[0].AsString() : "";
  if (!args[0].Defined()) {
    const std::string script = ScriptFile(env);
    if (script.empty()) {
      env->ThrowError(
          "DorvelFilterCache: this script was not loaded from a file, so the cache has no name of its own: "
          "name one, as in DorvelFilterCache(\"parts.dorvelcache\")");
    }
    // A script imported by a relative name is named relative to the folder
    // it was imported from, not to its own, which is the working folder
    // now: its own name alone is taken there.
    const CachePath named(script);
    file = (named.is_relative() ? named.filename().string() : script) + ".dorvelcache";
  }
  if (file.empty()) env->ThrowError("DorvelFilterCache: the cache file's name is empty");
  // A relative name is taken where the script's own relative names are.
  CachePath path(file);
  Folder inDoubt;
  const std::shared_ptr<const Folder> folder = RecordWorkingFolder(&inDoubt);
  if (path.is_relative() && !folder) env->ThrowError("DorvelFilterCache: cannot tell where %s is", file.c_str());
  if (path.is_relative() && !inDoubt.empty()) {
    const std::string now = inDoubt.u8string();
    env->ThrowError(
        "DorvelFilterCache: cannot tell where %s is: a part's function ran on another thread, which may move the "
        "working folder (now %s) at any moment. Load scripts while no part opens on another thread, or name the "
        "cache file in full",
        file.c_str(), now.c_str());
  }
  if (path.is_relative()) path = *folder / path;
  path = path.lexically_normal();
  // Named first, so that a warning of the opening below has its file.
  WriteHostLog(env, LogLevel::Info, "DorvelFilterCache: the cache file is " + path.u8string());
  std::shared_ptr<DescriptionCache> cache = DescriptionCache::Open(path, env);
  std::shared_ptr<DescriptionCache> previous;
  bool watch = false;
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    for (TurnedOn& entry : all.turnedOn) {
      if (entry.env == env) previous = std::exchange(entry.cache, nullptr);
    }
    all.turnedOn.erase(
        std::remove_if(all.turnedOn.begin(), all.turnedOn.end(), [env](const TurnedOn& e) { return e.env == env; }),
        all.turnedOn.end());
    if (cache) all.turnedOn.push_back(TurnedOn{env, cache});
    if (std::find(all.watched.begin(), all.watched.end(), env) == all.watched.end()) {
      all.watched.push_back(env);
      watch = true;
    }
  }
  if (previous) previous->Flush(env);
  if (watch) env->AtExit(WriteAndForget, env);
  return cache ? env->SaveString(path.u8string().c_str()) : "";
}

std::shared_ptr<DescriptionCache> CacheOf(IScriptEnvironment* env) {
  Caches& all = caches();
  std::lock_guard<std::mutex> lock(all.mutex);
  for (const TurnedOn& entry : all.turnedOn) {
    if (entry.env == env) return entry.cache;
  }
  return nullptr;
}
