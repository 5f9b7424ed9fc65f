// Field order inside a real host: a closed filter answers parity as the
// host's own clips of its description do, so that Bob and SeparateFields of a
// splice, which ask a part's parity before its first frame, give the frames
// they give without the module.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "counting_source.h"
#include "host_session.h"

namespace {

// Each frame's parity, asked first, as a client asks it before the frame,
// and its digest.
std::vector<std::pair<bool, uint64_t>> ParitiesAndFrames(const PClip& clip, IScriptEnvironment* env) {
  std::vector<std::pair<bool, uint64_t>> played;
  const VideoInfo& vi = clip->GetVideoInfo();
  for (int n = 0; n < vi.num_frames; ++n) {
    const bool parity = clip->GetParity(n);
    played.emplace_back(parity, FrameDigest(clip->GetFrame(n, env), vi));
  }
  return played;
}

class RealHostFieldOrder : public ::testing::Test {
 protected:
  void SetUp() override {
    counting::Reset();
    host.Eval("t = " + CountingTemplate(20));
  }

  HostSession host;
};

TEST_F(RealHostFieldOrder, AClosedFilterAnswersAsItsTemplateDoesAndOpensNothing) {
  for (const char* order :
       {"t", "t.AssumeTFF()", "t.AssumeBFF()", "t.AssumeFieldBased()", "t.AssumeTFF().SeparateFields()",
        "t.AssumeBFF().SeparateFields()", "t.AssumeFieldBased().AssumeTFF()", "t.AssumeTFF().AssumeFrameBased()"}) {
    const PClip shape = host.Clip(order);
    const PClip filter = host.Clip("DorvelFilter(\"CountingSource\", [1], " + std::string(order) + ")");
    for (int n = 0; n < 6; ++n) EXPECT_EQ(filter->GetParity(n), shape->GetParity(n)) << order << ", frame " << n;
  }
  EXPECT_EQ(counting::Opens(), 0);
}

TEST_F(RealHostFieldOrder, BobAndSeparateFieldsOfTopAndBottomFirstSplicesAreThoseWithoutTheModule) {
  for (const char* order : {"AssumeTFF", "AssumeBFF"}) {
    // Each part is a source of that field order; limit 1 closes each part
    // before the next one plays, so every part's first frame finds it closed.
    host.Eval("function Part(int i) { return CountingSource(i, frames=20)." + std::string(order) + "() }");
    const std::string tt = "t." + std::string(order) + "()";
    const std::string deferred = "DorvelFilterLimit(1)\n" + SpliceOf(5, [&](int i) {
                                   return "DorvelFilter(\"Part\", [" + std::to_string(i) + "], " + tt + ")";
                                 });
    const std::string direct = SpliceOf(5, [](int i) { return "Part(" + std::to_string(i) + ")"; });
    for (const char* filter : {".Bob()", ".SeparateFields()", ".SeparateFields().Weave()"}) {
      EXPECT_EQ(ParitiesAndFrames(host.Clip(deferred + filter), host.env()),
                ParitiesAndFrames(host.Clip(direct + filter), host.env()))
          << order << filter;
    }
  }
}

TEST_F(RealHostFieldOrder, FieldBasedPartsWovenAreThoseWithoutTheModule) {
  host.Eval("function Fields(int i) { return CountingSource(i, frames=20).AssumeTFF().SeparateFields() }");
  const std::string deferred =
      "DorvelFilterLimit(1)\n" + SpliceOf(4, [](int i) {
        return "DorvelFilter(\"Fields\", [" + std::to_string(i) + "], t.AssumeTFF().SeparateFields())";
      });
  const std::string direct = SpliceOf(4, [](int i) { return "Fields(" + std::to_string(i) + ")"; });
  EXPECT_EQ(ParitiesAndFrames(host.Clip(deferred + ".Weave()"), host.env()),
            ParitiesAndFrames(host.Clip(direct + ".Weave()"), host.env()));
}

}  // namespace
