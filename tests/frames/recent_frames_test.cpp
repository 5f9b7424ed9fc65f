// A filter keeps the last few frames its wrapped clip made, in place of the
// host's frame cache: a temporal filter's requests for neighbouring frames
// reach the source once each, and a closed filter keeps no frame.
#include "deferred/frames/recent_frames.h"

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

TEST_F(RecentFramesTest, ATemporalFiltersRequestsReachTheSourceOncePerFrameOnceItAsksAgain) {
  const PClip shape = Template();
  const PClip filter = Deferred("Counted", ArrayOf({AVSValue(4)}), shape);
  constexpr int kRadius = 3, kFrames = 40;
  int wrong = 0;
  std::vector<int> madePerWindow;
  for (int n = kRadius; n < kFrames - kRadius; ++n) {
    const int before = made;
    for (int k = n - kRadius; k <= n + kRadius; ++k) {
      const PVideoFrame frame = filter->GetFrame(k, env.get());
      if (frame->source() != 4 || frame->number() != k) ++wrong;
    }
    madePerWindow.push_back(made - before);
  }
  EXPECT_EQ(wrong, 0);
  // The first window makes all its frames, and the second most of them again
  // (the filter learns there that frames are asked for again); from then on
  // each window adds one new frame.
  EXPECT_EQ(madePerWindow[0], 2 * kRadius + 1);
  for (std::size_t w = 2; w < madePerWindow.size(); ++w) EXPECT_EQ(madePerWindow[w], 1) << "window " << w;
}

TEST_F(RecentFramesTest, AWindowHintKeepsAWideWindowFromTheStartAndAfterReopening) {
  // TemporalSoften(5) tells its clip it reads 11 frames around each one;
  // four prefetch threads read neighbouring windows in turn.
  Limit(1);
  const PClip shape = Template();
  const PClip filter = Deferred("Counted", ArrayOf({AVSValue(6)}), shape);
  const PClip other = Deferred("Counted", ArrayOf({AVSValue(7)}), shape);
  constexpr int kRadius = 5, kThreads = 4;
  filter->SetCacheHints(CACHE_WINDOW, 2 * kRadius + 1);
  auto readWindows = [&](int from, int to) {
    int wrong = 0;
    for (int n = from; n < to; n += kThreads) {
      for (int t = 0; t < kThreads; ++t) {
        for (int k = n + t - kRadius; k <= n + t + kRadius; ++k) {
          if (SourceOf(filter, k) != 6) ++wrong;
        }
      }
    }
    return wrong;
  };
  EXPECT_EQ(readWindows(kRadius, kRadius + 40), 0);
  // 40 windows' centres, and the radius on either side.
  constexpr int kDistinct = 40 + 2 * kRadius;
  EXPECT_EQ(made, kDistinct) << "each frame made once";

  other->GetFrame(0, env.get());  // closes the filter
  made = 0;
  EXPECT_EQ(readWindows(100, 140), 0);
  EXPECT_EQ(made, kDistinct) << "the hint outlives the closing";
}

TEST_F(RecentFramesTest, AClipReadOnceKeepsNoFrameAndAClosedFilterKeepsNone) {
  Limit(1);
  const PClip shape = Template();
  const PClip first = Deferred("Counted", ArrayOf({AVSValue(1)}), shape);
  const PClip second = Deferred("Counted", ArrayOf({AVSValue(2)}), shape);
  for (int n = 0; n < 20; ++n) first->GetFrame(n, env.get());
  EXPECT_EQ(hostCounters().liveFrames, 0) << "frames read once, in order, are not held";

  for (int round = 0; round < 2; ++round) {
    for (int n = 0; n < 3; ++n) first->GetFrame(n, env.get());
  }
  EXPECT_EQ(hostCounters().liveFrames, 3) << "frames asked for again are held";
  for (int n = 0; n < 4 * static_cast<int>(RecentFrames::kCapacity) + 10; ++n) first->GetFrame(100 + n, env.get());
  EXPECT_EQ(hostCounters().liveFrames, 0) << "read straight on again, it holds frames no longer";
  for (int round = 0; round < 2; ++round) {
    for (int n = 0; n < 3; ++n) first->GetFrame(n, env.get());
  }
  second->GetFrame(0, env.get());  // closes the first
  EXPECT_FALSE(IsOpen(first));
  EXPECT_EQ(hostCounters().liveFrames, 0) << "a closed filter holds no frame";
  made = 0;
  EXPECT_EQ(SourceOf(first, 1), 1);
  EXPECT_EQ(made, 1) << "the reopened clip makes the frame anew";
}

}  // namespace
