// A long read whose openings make filters of their own stays within bounds in
// a real host: the module registers no exit callback, and saves no string,
// per filter made, so its memory does not grow with the number of
// reopenings. The figures go to docs/benchmarks.md (ctest -R ExitCallbacks
// -V prints them).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "counting_source.h"
#include "host_session.h"
#include "peak_memory.h"

namespace {

constexpr int kFew = 4000, kMany = 40000;

struct Peaks {
  double few = -1, many = -1;
  double growth() const { return many - few; }
};

// Runs `prepare` in a fresh host session of a child process of its own (so
// that the peak is this read's alone), then `step` for i from 0: the peak
// after kFew steps and after kMany. A step returns false when it went wrong.
Peaks PeaksOfARead(const std::function<void(HostSession&)>& prepare,
                   const std::function<bool(HostSession&, int)>& step) {
  int fds[2];
  if (pipe(fds) != 0) return Peaks{};
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    Peaks peaks;
    {
      HostSession host;
      prepare(host);
      int i = 0;
      bool ok = true;
      for (; ok && i < kFew; ++i) ok = step(host, i);
      peaks.few = PeakMiB();
      for (; ok && i < kMany; ++i) ok = step(host, i);
      peaks.many = ok ? PeakMiB() : -1;
    }
    const bool written = write(fds[1], &peaks, sizeof peaks) == static_cast<ssize_t>(sizeof peaks);
    _exit(written ? 0 : 1);
  }
  close(fds[1]);
  Peaks peaks;
  if (read(fds[0], &peaks, sizeof peaks) != static_cast<ssize_t>(sizeof peaks)) peaks = Peaks{};
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return peaks;
}

void Report(const std::string& what, const Peaks& peaks) {
  std::printf("%s: peak %.2f MiB after %d, %.2f MiB after %d (%+.2f MiB)\n", what.c_str(), peaks.few, kFew,
              peaks.many, kMany, peaks.growth());
  ::testing::Test::RecordProperty(what, std::to_string(peaks.growth()));
}

TEST(RealHostExitCallbacks, PartsReopenedInTurnThatMakeInnerPartsStayFlat) {
  // Two outer parts read in turn under limit 1: each reading reopens one,
  // and its function makes a new inner part, which opens in its turn.
  PClip parts[2];
  const Peaks peaks = PeaksOfARead(
      [&](HostSession& host) {
        host.Eval("global T = " + CountingTemplate(kMany) +
                  "\nfunction Outer(int i) { return DorvelFilter(\"CountingSource\", [i, [\"frames\", " +
                  std::to_string(kMany) + "]], T) }\nDorvelFilterLimit(1)");
        parts[0] = host.Clip("DorvelFilter(\"Outer\", [1], T)");
        parts[1] = host.Clip("DorvelFilter(\"Outer\", [2], T)");
      },
      [&](HostSession& host, int i) {
        // Each reading opened the part's own source anew.
        const int before = counting::Opens(i % 2 + 1);
        return counting::TagOf(parts[i % 2]->GetFrame(i / 2, host.env())).id == i % 2 + 1 &&
               counting::Opens(i % 2 + 1) == before + 1;
      });
  Report("reopenings", peaks);
  ASSERT_GT(peaks.many, 0) << "a reading went wrong";
  EXPECT_LE(peaks.growth(), 1.0) << "memory grew with the number of reopenings";
}

TEST(RealHostExitCallbacks, AScriptClipThatMakesAPartEachFrameGrowsNoMoreThanTheHostAlone) {
  // The same runtime script, once calling a function of its own that makes
  // the same source: the host's own growth (3.7.3 keeps about 40 bytes a
  // frame of a runtime script; later releases nothing).
  const std::string call = "(\"CountingSource\", [7, [\"frames\", " + std::to_string(kMany) + "]], T)";
  PClip clip;
  const auto read = [&](const std::string& script) {
    return PeaksOfARead(
        [&](HostSession& host) {
          host.Eval("global T = " + CountingTemplate(kMany) + "\nfunction Alone(string f, val p, clip t) { " +
                    "return CountingSource(7, frames=" + std::to_string(kMany) + ") }");
          clip = host.Clip("ScriptClip(T, \"\"\"" + script + "\"\"\")");
        },
        [&](HostSession& host, int n) {
          const int before = counting::Opens(7);
          return counting::TagOf(clip->GetFrame(n, host.env())).id == 7 && counting::Opens(7) == before + 1;
        });
  };
  const Peaks alone = read("Alone" + call);
  const Peaks deferred = read("DorvelFilter" + call);
  Report("ScriptClip frames, the host alone", alone);
  Report("ScriptClip frames, with DorvelFilter", deferred);
  ASSERT_GT(alone.many, 0) << "a frame went wrong";
  ASSERT_GT(deferred.many, 0) << "a frame went wrong";
  EXPECT_LE(deferred.growth() - alone.growth(), 1.0) << "memory grew with the number of frames";
}

}  // namespace
