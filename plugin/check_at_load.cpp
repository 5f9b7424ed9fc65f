#include "check_at_load.h"

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "deferred/calls/frame_time.h"
#include "deferred/process_wide.h"

namespace {

struct Switched {
  IScriptEnvironment* env;
  std::thread::id loader;
};

struct Switches {
  std::mutex mutex;
  // The environments whose scripts switched the check on, with the thread
  // that did; an environment leaves when the host deletes it, before another
  // could take its address.
  std::vector<Switched> on;
  // Environments that were told to forget their switch when they are deleted.
  std::vector<IScriptEnvironment*> watched;
};
Switches& switches() { return ProcessWide<Switches>(); }

void DORVEL_CDECL Forget(void* user_data, IScriptEnvironment*) {
  Switches& all = switches();
  auto* env = static_cast<IScriptEnvironment*>(user_data);
  std::lock_guard<std::mutex> lock(all.mutex);
  all.on.erase(std::remove_if(all.on.begin(), all.on.end(), [env](const Switched& entry) { return entry.env == env; }),
               all.on.end());
  all.watched.erase(std::remove(all.watched.begin(), all.watched.end(), env), all.watched.end());
}

// Whether the host is serving a frame or audio request on the calling
// thread. Its runtime filters (ScriptClip and its kin) run their scripts
// inside their own GetFrame, which the host counts as it passes its caches
// and thread guards; a script being loaded runs outside every request, even
// one that sets "current_frame" to call a runtime function. A host that
// cannot say is taken to be loading: the check then checks.
bool InHostRequest(IScriptEnvironment* env) {
  try {
    env->CheckVersion(8);  // the first interface with GetEnvProperty
    return env->GetEnvProperty(kEnvPropertyGetFrameDepth) > 0;
  } catch (...) {
    return false;
  }
}

constexpr const char* kInsideModuleCall =
    "it was made at frame time, while another DorvelFilter opened or served a request";
constexpr const char* kOnAnotherThread = "it was made on another thread than the one that loads the script";
constexpr const char* kInHostRequest =
    "it was made at frame time, by a script that the host runs for a frame or audio request (a runtime "
    "filter's, such as ScriptClip's)";

}  // namespace

AVSValue DORVEL_CDECL SetDorvelFilterCheck(AVSValue args, void*, IScriptEnvironment* env) {
  Switches& all = switches();
  const bool enable = args[0].Defined() ? args[0].AsBool() : true;
  // A script run at frame time switches nothing: the check is for loading.
  if (InsideModuleCall() || InHostRequest(env)) return false;
  bool watch = false;
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    all.on.erase(
        std::remove_if(all.on.begin(), all.on.end(), [env](const Switched& entry) { return entry.env == env; }),
        all.on.end());
    if (enable) all.on.push_back(Switched{env, std::this_thread::get_id()});
    if (std::find(all.watched.begin(), all.watched.end(), env) == all.watched.end()) {
      all.watched.push_back(env);
      watch = true;
    }
  }
  if (watch) env->AtExit(Forget, env);
  return enable;
}

LoadCheck CheckAtLoad(IScriptEnvironment* env) {
  Switches& all = switches();
  bool on = false;
  bool loader = false;
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    for (const Switched& entry : all.on) {
      if (entry.env != env) continue;
      on = true;
      loader = entry.loader == std::this_thread::get_id();
    }
  }
  if (!on) return LoadCheck{false, nullptr};
  if (InsideModuleCall()) return LoadCheck{false, kInsideModuleCall};
  if (!loader) return LoadCheck{false, kOnAnotherThread};
  if (InHostRequest(env)) return LoadCheck{false, kInHostRequest};
  return LoadCheck{true, nullptr};
}
