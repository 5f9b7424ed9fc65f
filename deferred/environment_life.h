// What the module knows of the script environment a filter was made in: that
// it is being deleted, and which of the module's work in it is still running.
//
// When a client deletes an environment, the host first runs its exit
// callbacks, the last registered first, and deletes the script's own
// functions there; only later does it stop the threads of its Prefetch, which
// may still be asking filters for frames, and so opening them. A filter's
// function called after that point runs code that is gone. So the module
// registers an exit callback with the environment as a filter is made, after
// the functions it may call were read, so that the callback runs before they
// go; the callback refuses every later opening in that environment and waits
// for those still running, and for closings that release one of its clips
// from another environment's thread, to return.
//
// Only the last registration matters (it runs first), and it needs renewing
// only when functions were added since: a filter made after a script was
// read (an Import, an Eval of a definition) registers again, one made after
// nothing new does not. So a read that keeps reopening parts whose functions
// make filters of their own, or a ScriptClip that makes one each frame,
// registers nothing more once the first is made.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "deferred/calls/saved_strings.h"
#include "deferred/process_wide.h"
#include "plugin/avisynth_interface.h"

// What a request meets when it would open a filter whose environment is being
// deleted. It is no script error of the host's: raising one takes a lock that
// the thread deleting the environment holds while it waits for this thread
// (seen in 3.7.3 and the development builds). Nobody reads the frame by then;
// the host's threads pass the exception on to nobody and end.
class EnvironmentDeleted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class EnvironmentLife {
 public:
  // The life of `env`, shared by every filter made in it, with an exit
  // callback registered after every function added to `env` so far (none
  // once it is being deleted).
  static std::shared_ptr<EnvironmentLife> Of(IScriptEnvironment* env);

  // Starts work that calls into the environment (an opening, or the release
  // of one of its clips); false, and nothing started, once it is being
  // deleted. Each true answer is ended by EndUse.
  bool TryUse();
  void EndUse();

  // Set once the environment is being deleted, for good; read without a lock
  // by a request that waits, to stop waiting.
  const std::atomic<bool>& closing() const { return closing_; }

  // The environment itself: the one the filters were made in.
  IScriptEnvironment* env() const { return env_; }
  // The environment's copies of the strings its filters keep.
  SavedStrings& strings() { return strings_; }

  EnvironmentLife() = default;
  EnvironmentLife(const EnvironmentLife&) = delete;
  EnvironmentLife& operator=(const EnvironmentLife&) = delete;

 private:
  static void DORVEL_CDECL OnExit(void* life, IScriptEnvironment* env);

  // The host's lists of added functions, as read for a registration.
  struct FunctionLists {
    const char* user;
    const char* plugin;
  };

  // Its exit callback leaves the process-wide registry, perhaps after the
  // module's static objects are gone.
  const ProcessHold hold_;
  std::mutex mutex_;
  std::condition_variable idle_;
  std::atomic<bool> closing_{false};
  int uses_ = 0;
  bool registered_ = false;
  FunctionLists registeredWith_{nullptr, nullptr};  // when it last registered
  IScriptEnvironment* env_ = nullptr;               // set once, before the life is shared
  SavedStrings strings_;
};

// An opening's or a release's use of an environment, ended on every way out.
class EnvironmentUse {
 public:
  EnvironmentUse() = default;
  // Starts a use of `life`; used() tells whether it could.
  explicit EnvironmentUse(EnvironmentLife* life) : life_(life != nullptr && life->TryUse() ? life : nullptr) {}
  ~EnvironmentUse() {
    if (life_ != nullptr) life_->EndUse();
  }
  EnvironmentUse(EnvironmentUse&& other) noexcept : life_(other.life_) { other.life_ = nullptr; }
  EnvironmentUse& operator=(EnvironmentUse&& other) noexcept {
    if (this != &other) {
      if (life_ != nullptr) life_->EndUse();
      life_ = other.life_;
      other.life_ = nullptr;
    }
    return *this;
  }
  bool used() const { return life_ != nullptr; }

 private:
  EnvironmentLife* life_ = nullptr;
};
