// A client that deletes its script environment from a static destructor of
// its own, after the module's static objects are gone: the client's object
// was made before main, the module's as it loaded, later, so theirs are
// destroyed first at exit. Open filters, filters closed to make room, kept
// frames, a switched-on check and threads that read side by side all meet
// their end then. The process must end with status 0, and valgrind must see
// no invalid access (the suite runs it under valgrind too).
//
//   dorvel_late_deletion
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "script_environment.h"
#include "source_clip.h"
#include "video_frame.h"

namespace {

struct LateClient {
  std::unique_ptr<ScriptEnvironment> env;
  std::vector<PClip> filters;
  ~LateClient() {
    // As a client drops its clips and then the environment: the filters go
    // first, the environment's exit callbacks after, then the module unloads.
    filters.clear();
    env.reset();
    std::puts("deleted after the module's static objects");
  }
};

LateClient client;

}  // namespace

int main() {
  client.env = std::make_unique<ScriptEnvironment>();
  ScriptEnvironment& env = *client.env;
  env.LoadPlugin(DORVEL_MODULE_PATH);
  SourceSettings settings;
  settings.requestDelay = std::chrono::microseconds(200);
  AddSourceFunction(env, "Source", settings);
  env.Call("DorvelFilterLimit", {AVSValue(3)});
  env.Call("DorvelFilterCheck", {AVSValue(true)});
  for (int i = 0; i < 6; ++i)
    client.filters.push_back(CallDorvelFilter(env, "Source", ArrayOf({AVSValue(i)})).AsClip());
  // Two threads read every filter, so that frames are kept, filters close to
  // make room and threads wait for each other's turns.
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        for (std::size_t f = 0; f < client.filters.size(); ++f) {
          for (int n = 0; n < 4; ++n) client.filters[(f + t) % client.filters.size()]->GetFrame(n + t, &env);
        }
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  // The last filters read stay open, with their frames kept.
  std::puts("leaving main with filters open");
  return 0;
}
