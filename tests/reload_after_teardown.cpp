// A client that keeps the module loaded (its own handle, as a library that
// links the module would) and, after the module's static objects are gone at
// exit, deletes its environment and then makes a new one that loads the
// module again: the module is not loaded afresh, so its static objects are
// not made again, yet everything process-wide went with the last hold. The
// new environment's filters must find the process-wide objects made anew and
// give every frame from their own source; valgrind must see no invalid access
// (the suite runs it under valgrind too).
//
//   dorvel_reload_after_teardown
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "script_environment.h"
#include "source_clip.h"
#include "video_frame.h"

namespace {

// Plays a few frames of three filters in `env`, with a limit of one, so that
// the open list, the frame budget and the turn to open all take part. Answers
// whether every frame came from its own source.
bool PlayThree(ScriptEnvironment& env) {
  env.LoadPlugin(DORVEL_MODULE_PATH);
  AddSourceFunction(env, "Source", SourceSettings{});
  env.Call("DorvelFilterLimit", {AVSValue(1)});
  std::vector<PClip> filters;
  for (int i = 0; i < 3; ++i) filters.push_back(CallDorvelFilter(env, "Source", ArrayOf({AVSValue(i)})).AsClip());
  bool right = true;
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 3; ++i) {
      for (int n = 0; n < 3; ++n) {
        const PVideoFrame frame = filters[i]->GetFrame(n, &env);
        right = right && frame && frame->source() == i;
      }
    }
  }
  return right;
}

struct LateClient {
  void* module = nullptr;
  std::unique_ptr<ScriptEnvironment> env;
  ~LateClient() {
    env.reset();  // the last hold on the process-wide objects goes here
    ScriptEnvironment again;
    const bool right = PlayThree(again);
    std::puts(right ? "a new environment after the last hold played its frames" : "wrong frames after the last hold");
    if (!right) std::_Exit(1);
  }
};

LateClient client;

}  // namespace

int main() {
  client.module = dlopen(DORVEL_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  if (client.module == nullptr) return 2;
  client.env = std::make_unique<ScriptEnvironment>();
  if (!PlayThree(*client.env)) return 1;
  std::puts("leaving main");
  return 0;
}
