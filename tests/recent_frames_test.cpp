// A filter keeps the last few frames its wrapped clip made, in place of the
// host's frame cache: a temporal filter's requests for neighbouring frames
// reach the source once each, and a closed filter keeps no frame.
#include "module_test.h"

namespace {

class RecentFramesTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    env->StopRecording();
    SourceSettings settings;
    settings.stats = &stats;
    settings.onFrame = [this](int, int, IScriptEnvironment*) { ++made; };
    AddSourceFunction(*env, "Counted", settings);
  }

  std::atomic<int> made{0};
};

TEST_F(RecentFramesTest, ATemporalFiltersRequestsReachTheSourceOncePerFrame) {
  const PClip shape = Template();
  const PClip filter = Deferred("Counted", ArrayOf({AVSValue(4)}), shape);
  constexpr int kRadius = 3, kFrames = 40;
  int wrong = 0;
  for (int n = kRadius; n < kFrames - kRadius; ++n) {
    for (int k = n - kRadius; k <= n + kRadius; ++k) {
      const PVideoFrame frame = filter->GetFrame(k, env.get());
      if (frame->source() != 4 || frame->number() != k) ++wrong;
    }
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(made, kFrames) << "a frame already made was asked of the source again";
}

TEST_F(RecentFramesTest, AClosedFilterKeepsNoFrameAndItsNextClipMakesThemAnew) {
  Limit(1);
  const PClip shape = Template();
  const PClip first = Deferred("Counted", ArrayOf({AVSValue(1)}), shape);
  const PClip second = Deferred("Counted", ArrayOf({AVSValue(2)}), shape);
  for (int n = 0; n < 3; ++n) first->GetFrame(n, env.get());
  const long framesWhileOpen = hostCounters().liveFrames;
  EXPECT_GE(framesWhileOpen, 3) << "the open filter keeps its frames";

  second->GetFrame(0, env.get());  // closes the first
  EXPECT_FALSE(IsOpen(first));
  EXPECT_EQ(hostCounters().liveFrames, 1) << "only the open filter's one frame is kept";
  made = 0;
  EXPECT_EQ(SourceOf(first, 1), 1);
  EXPECT_EQ(made, 1) << "the reopened clip makes the frame anew";
}

}  // namespace
