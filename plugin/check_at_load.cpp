#include "check_at_load.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "deferred/frame_time.h"

namespace {

struct Switched {
  IScriptEnvironment* env;
  std::thread::id loader;
};

std::mutex switchedMutex;
// The environments whose scripts switched the check on, with the thread that
// did; an environment leaves when the host deletes it, before another could
// take its address.
std::vector<Switched> switchedOn;
// Environments that were told to forget their switch when they are deleted.
std::vector<IScriptEnvironment*> watched;

void DORVEL_CDECL Forget(void* user_data, IScriptEnvironment*) {
  auto* env = static_cast<IScriptEnvironment*>(user_data);
  std::lock_guard<std::mutex> lock(switchedMutex);
  switchedOn.erase(
      std::remove_if(switchedOn.begin(), switchedOn.end(), [env](const Switched& entry) { return entry.env == env; }),
      switchedOn.end());
  watched.erase(std::remove(watched.begin(), watched.end(), env), watched.end());
}

// The host's runtime filters (ScriptClip and its kin) give the script they
// run at frame time the frame's number as "current_frame"; a script being
// loaded has no such variable unless it made one itself.
bool InRuntimeScript(IScriptEnvironment* env) {
  try {
    return env->GetVar("current_frame").Defined();
  } catch (const IScriptEnvironment::NotFound&) {
    return false;
  }
}

}  // namespace

AVSValue DORVEL_CDECL SetDorvelFilterCheck(AVSValue args, void*, IScriptEnvironment* env) {
  const bool enable = args[0].Defined() ? args[0].AsBool() : true;
  // A script run at frame time switches nothing: the check is for loading.
  if (InsideModuleCall()) return false;
  bool watch = false;
  {
    std::lock_guard<std::mutex> lock(switchedMutex);
    switchedOn.erase(
        std::remove_if(switchedOn.begin(), switchedOn.end(), [env](const Switched& entry) { return entry.env == env; }),
        switchedOn.end());
    if (enable) switchedOn.push_back(Switched{env, std::this_thread::get_id()});
    if (std::find(watched.begin(), watched.end(), env) == watched.end()) {
      watched.push_back(env);
      watch = true;
    }
  }
  if (watch) env->AtExit(Forget, env);
  return enable;
}

bool CheckAtLoad(IScriptEnvironment* env) {
  if (InsideModuleCall()) return false;
  const std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(switchedMutex);
    const bool on = std::any_of(switchedOn.begin(), switchedOn.end(),
                                [&](const Switched& entry) { return entry.env == env && entry.loader == self; });
    if (!on) return false;
  }
  return !InRuntimeScript(env);
}
