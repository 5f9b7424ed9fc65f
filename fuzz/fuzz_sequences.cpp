// libFuzzer target: each input is a sequence of steps run against the built
// module through the stand-in host; a broken rule is a crash.
#include <cstdio>
#include <cstdlib>

#include "script_environment.h"
#include "sequence_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // One host and one loaded module for the whole run; every input ends with
  // all its filters dropped, so none carries state into the next.
  static ScriptEnvironment* env = [] {
    auto* made = new ScriptEnvironment;
    made->LoadPlugin(DORVEL_MODULE_PATH);
    return made;
  }();
  static SequenceDriver driver(*env);
  const SequenceResult result = driver.Run(data, size, 400);
  if (!result.failure.empty()) {
    std::fprintf(stderr, "broken after %d steps: %s\n", result.steps, result.failure.c_str());
    std::abort();
  }
  return 0;
}
