#include "environment_life.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "deferred/process_wide.h"

namespace {

// The lives of environments whose exit callbacks have not started yet, to be
// found by the environment's address.
struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<EnvironmentLife>> lives;
};
std::mutex& registryMutex() { return ProcessWide<Registry>().mutex; }
std::vector<std::shared_ptr<EnvironmentLife>>& lives() { return ProcessWide<Registry>().lives; }

// One of the host's lists of the names of functions added to an environment:
// "$UserFunctions$" gets a name for each function a script defines (as the
// host reads the definition, and registers the exit callback that deletes
// it), "$PluginFunctions$" for each one a plugin adds. Each addition makes a
// new string, and the host keeps every string until the environment goes, so
// the same pointer means nothing was added. Null while the list is missing.
const char* FunctionList(IScriptEnvironment* env, const char* name) {
  try {
    const AVSValue list = env->GetVar(name);
    return list.IsString() ? list.AsString() : nullptr;
  } catch (const IScriptEnvironment::NotFound&) {
    return nullptr;
  }
}

}  // namespace

std::shared_ptr<EnvironmentLife> EnvironmentLife::Of(IScriptEnvironment* env) {
  // Read before anything is locked: the host takes locks of its own.
  const FunctionLists now{FunctionList(env, "$UserFunctions$"), FunctionList(env, "$PluginFunctions$")};
  std::shared_ptr<EnvironmentLife> life;
  {
    std::lock_guard<std::mutex> registry(registryMutex());
    for (const auto& known : lives()) {
      if (known->env_ == env) life = known;
    }
    if (!life) {
      life = std::make_shared<EnvironmentLife>();
      life->env_ = env;
      lives().push_back(life);
    }
  }
  {
    std::lock_guard<std::mutex> lock(life->mutex_);
    // Exit callbacks are running: one registered now might never run.
    if (life->closing_) return life;
    // The last registration runs before the deletion of every function
    // added before it; only functions added since need a new one.
    if (life->registered_ && now.user == life->registeredWith_.user && now.plugin == life->registeredWith_.plugin) {
      return life;
    }
    life->registered_ = true;
    life->registeredWith_ = now;
  }
  // Registered anew when a script was read since the last registration (an
  // Import's, an Eval's), so that it runs before that script's functions are
  // deleted. Each registration keeps the life until its callback has run.
  auto held = std::make_unique<std::shared_ptr<EnvironmentLife>>(life);
  env->AtExit(&EnvironmentLife::OnExit, held.get());
  held.release();
  return life;
}

bool EnvironmentLife::TryUse() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closing_) return false;
  ++uses_;
  return true;
}

void EnvironmentLife::EndUse() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (--uses_ == 0 && closing_) idle_.notify_all();
}

void DORVEL_CDECL EnvironmentLife::OnExit(void* user_data, IScriptEnvironment*) {
  const std::unique_ptr<std::shared_ptr<EnvironmentLife>> held(
      static_cast<std::shared_ptr<EnvironmentLife>*>(user_data));
  EnvironmentLife* life = held->get();
  {
    std::unique_lock<std::mutex> lock(life->mutex_);
    life->closing_ = true;
    life->idle_.wait(lock, [life] { return life->uses_ == 0; });
  }
  // Found no more: a new environment at the same address gets a life of its
  // own. The filters of this one keep theirs.
  std::lock_guard<std::mutex> registry(registryMutex());
  auto& all = lives();
  all.erase(std::remove_if(all.begin(), all.end(), [life](const auto& known) { return known.get() == life; }),
            all.end());
}
