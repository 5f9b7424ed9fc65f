// A long read whose openings make filters of their own stays within bounds in
// a real host: the module registers no exit callback per filter made, so its
// memory does not grow with the number of reopenings. The figures go to
// docs/benchmarks.md (ctest -R ExitCallbacks -V prints them).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "counting_source.h"
#include "host_session.h"
#include "peak_memory.h"

namespace {

constexpr int kFew = 4000, kMany = 40000;

// The peak after `few` and after `many` steps of `step` (step i from 0).
template <typename Step>
std::pair<double, double> PeaksAfter(Step&& step) {
  int i = 0;
  for (; i < kFew; ++i) step(i);
  const double few = PeakMiB();
  for (; i < kMany; ++i) step(i);
  return {few, PeakMiB()};
}

void Report(const char* what, const std::pair<double, double>& peaks) {
  std::printf("%s: peak %.2f MiB after %d, %.2f MiB after %d (%+.2f MiB)\n", what, peaks.first, kFew, peaks.second,
              kMany, peaks.second - peaks.first);
  ::testing::Test::RecordProperty(what, std::to_string(peaks.second - peaks.first));
}

TEST(RealHostExitCallbacks, PartsReopenedInTurnThatMakeInnerPartsStayFlat) {
  HostSession host;
  // Two outer parts read in turn under limit 1: each reading reopens one,
  // and its function makes a new inner part, which opens in its turn.
  host.Eval("global T = " + CountingTemplate(kMany) +
            "\nfunction Outer(int i) { return DorvelFilter(\"CountingSource\", [i, [\"frames\", " +
            std::to_string(kMany) + "]], T) }\nDorvelFilterLimit(1)");
  const PClip a = host.Clip("DorvelFilter(\"Outer\", [1], T)");
  const PClip b = host.Clip("DorvelFilter(\"Outer\", [2], T)");
  const auto peaks = PeaksAfter([&](int i) {
    const PClip& part = i % 2 == 0 ? a : b;
    ASSERT_EQ(counting::TagOf(part->GetFrame(i / 2, host.env())).id, i % 2 + 1);
  });
  EXPECT_GE(counting::Opens(), kMany) << "every reading reopened an outer part and made an inner one";
  Report("reopenings", peaks);
  EXPECT_LE(peaks.second - peaks.first, 1.0) << "memory grew with the number of reopenings";
}

TEST(RealHostExitCallbacks, AScriptClipThatMakesAPartEachFrameStaysFlat) {
  HostSession host;
  host.Eval("global T = " + CountingTemplate(kMany));
  const PClip clip = host.Clip("ScriptClip(T, \"\"\"DorvelFilter(\"CountingSource\", [7, [\"frames\", " +
                               std::to_string(kMany) + "]], T)\"\"\")");
  const auto peaks = PeaksAfter([&](int n) { ASSERT_EQ(counting::TagOf(clip->GetFrame(n, host.env())).id, 7); });
  EXPECT_EQ(counting::Opens(7), kMany);
  Report("ScriptClip frames", peaks);
  // The host's own ScriptClip grows a little (3.7.3: about 0.8 MiB over
  // these frames without the module).
  EXPECT_LE(peaks.second - peaks.first, 1.0) << "memory grew with the number of frames";
}

}  // namespace
