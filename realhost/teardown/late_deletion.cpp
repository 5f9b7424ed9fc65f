// A client that deletes its environment from a static destructor of its
// own, after the module's static objects are gone (the client's object was
// made before main, the module's as the host loaded it, later). The script's
// clip is kept by the environment alone, in a global variable, so its
// filters, open ones with kept frames among them, are destroyed by the
// deletion itself; with --prefetch the host's threads read ahead while the
// environment goes. The process must end with status 0, and valgrind must
// see no invalid access and nothing lost (the suite runs it under valgrind).
//
//   dorvel_late_deletion [--prefetch]
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "counting_source.h"
#include "host_session.h"

namespace {

struct LateClient {
  std::unique_ptr<HostSession> session;
  // The counting source's own records are made first, so that they outlive
  // the client: only the module's are made after it.
  LateClient() { counting::Reset(); }
  ~LateClient() {
    session.reset();
    std::printf("deleted after the module's static objects; %d counting sources alive\n", counting::Alive());
  }
};

LateClient client;

}  // namespace

int main(int argc, char** argv) {
  const bool prefetch = argc > 1 && std::strcmp(argv[1], "--prefetch") == 0;
  client.session = std::make_unique<HostSession>();
  HostSession& host = *client.session;
  constexpr int kSources = 8, kFrames = 20;
  std::string script = "t = " + CountingTemplate(kFrames) + "\nDorvelFilterLimit(3)\nDorvelFilterCheck(true)\n";
  script += "global kept = " + SpliceOf(kSources, [&](int id) {
              return "DorvelFilter(\"CountingSource\", [" + std::to_string(id) + ", [\"frames\", " +
                     std::to_string(kFrames) + "]], t).TemporalSoften(2, 4, 4)";
            });
  if (prefetch) script += ".Prefetch(2)";
  script += "\nkept";
  {
    // Frames of the last parts read, so that their filters stay open with
    // frames kept; the client's own reference goes before main returns.
    const PClip clip = host.Clip(script);
    for (int n = (kSources - 2) * kFrames; n < kSources * kFrames; ++n) clip->GetFrame(n, host.env());
    for (int n = 0; n < 5; ++n) clip->GetFrame(n, host.env());
  }
  std::printf("leaving main with filters open\n");
  std::fflush(stdout);
  return 0;
}
