#include "environment_life.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

// The lives of environments whose exit callbacks have not started yet, to be
// found by the environment's address.
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
  }
  {
    std::lock_guard<std::mutex> lock(life->mutex_);
    // Exit callbacks are running: one registered now might never run.
    if (life->closing_) return life;
  }
  // Registered anew for every filter, so that it runs before the functions
  // of scripts read since the last one (an Import's) are deleted. Each
  // registration keeps the life until its callback has run.
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
  std::lock_guard<std::mutex> registry(registryMutex);
  auto& all = lives();
  all.erase(std::remove_if(all.begin(), all.end(), [life](const auto& known) { return known.get() == life; }),
            all.end());
}
