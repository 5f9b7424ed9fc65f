#include "environment_life.h"

#include <algorithm>
#include <vector>

namespace {

// The lives whose exit callbacks have not all run yet. Once they have, the
// environment is past the point where openings matter, and a new
// environment at the same address gets a life of its own.
std::mutex registryMutex;
std::vector<std::shared_ptr<EnvironmentLife>>& lives() {
  static std::vector<std::shared_ptr<EnvironmentLife>> all;
  return all;
}

}  // namespace

std::shared_ptr<EnvironmentLife> EnvironmentLife::Of(IScriptEnvironment* env) {
  std::shared_ptr<EnvironmentLife> life;
  {
    std::lock_guard<std::mutex> registry(registryMutex);
    for (const auto& known : lives()) {
      if (known->env_ == env) life = known;
    }
    if (!life) {
      life = std::make_shared<EnvironmentLife>();
      life->env_ = env;
      lives().push_back(life);
    }
    {
      std::lock_guard<std::mutex> lock(life->mutex_);
      // Exit callbacks are running: one registered now might never run.
      if (life->closing_) return life;
    }
    ++life->pendingCallbacks_;
  }
  // Registered anew for every filter, so that it runs before the functions
  // of scripts read since the last one (an Import's) are deleted.
  env->AtExit(&EnvironmentLife::OnExit, life.get());
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

void DORVEL_STDCALL EnvironmentLife::OnExit(void* user_data, IScriptEnvironment*) {
  auto* life = static_cast<EnvironmentLife*>(user_data);
  {
    std::unique_lock<std::mutex> lock(life->mutex_);
    life->closing_ = true;
    life->idle_.wait(lock, [life] { return life->uses_ == 0; });
  }
  std::lock_guard<std::mutex> registry(registryMutex);
  if (--life->pendingCallbacks_ > 0) return;
  auto& all = lives();
  // The registry's reference goes; filters still alive keep theirs.
  all.erase(std::remove_if(all.begin(), all.end(), [life](const auto& known) { return known.get() == life; }),
            all.end());
}
