// Every filter's kept frames count against one budget, a share of the host's
// frame memory limit: frames of filters no longer read go first, a filter being
// read keeps its window while the windows fit, and when they do not, fewer
// frames are kept and the host's log says so once.
#include "deferred/frames/frame_budget.h"

#include <mutex>
#include <string>
#include <thread>

#include "module_test.h"

namespace {

// 512x512, four bytes a pixel: a frame counts as 1 MiB of rows and 4 KiB
// for the frame's own record.
constexpr std::size_t kFrameBytes = 512 * 512 * 4 + 4096;
constexpr std::size_t kMiB = 1024 * 1024;

// How many such frames the budget holds under a limit of `memoryMax` MB.
int FramesWithin(int memoryMax) {
  return static_cast<int>(memoryMax * kMiB / FrameBudget::kShareDenominator * FrameBudget::kShareNumerator /
                          kFrameBytes);
}

// The least limit whose budget holds `frames` such frames.
int MemoryMaxFor(int frames) {
  int memoryMax = 1;
  while (FramesWithin(memoryMax) < frames) ++memoryMax;
  return memoryMax;
}

VideoInfo LargeFrames() {
  VideoInfo vi = SourceSettings::DefaultVideoInfo();
  vi.width = 512;
  vi.height = 512;
  vi.pixel_type = (1 << 1) | (1 << 28) | (1 << 30);  // the host's 32-bit RGB
  return vi;
}

class FrameBudgetTest : public ModuleTest {
 protected:
  static constexpr int kRadius = 5;  // TemporalSoften(5) reads 11 frames
  // What a filter keeps for that window: 11, and room for 8 threads.
  static constexpr int kWindowKept = 2 * kRadius + 1 + 8;

  void SetUp() override {
    ModuleTest::SetUp();
    env->StopRecording();
    SourceSettings settings;
    settings.vi = LargeFrames();
    settings.stats = &stats;
    settings.serialized = false;
    settings.onFrame = [this](int, int, IScriptEnvironment*) { ++made; };
    AddSourceFunction(*env, "Large", settings);
    env->AddFunction("LogMsg", "si", [this](const AVSValue& args, IScriptEnvironment*) {
      std::lock_guard<std::mutex> lock(logMutex);
      logLines.push_back(std::to_string(args[1].AsInt()) + " " + args[0].AsString());
      return AVSValue();
    });
  }

  // A filter of its own source, told that its consumer reads windows of 11.
  PClip Part(int id) {
    const PClip filter = Deferred("Large", ArrayOf({AVSValue(id)}), Template(LargeFrames()));
    filter->SetCacheHints(CACHE_WINDOW, 2 * kRadius + 1);
    return filter;
  }

  // Reads the windows around frames first..last-1 as a temporal filter does;
  // the number of frames it got from the wrong source or number.
  int ReadWindows(const PClip& part, int id, int first, int last, long mostFrames = -1) {
    int wrong = 0;
    for (int n = first; n < last; ++n) {
      for (int k = n - kRadius; k <= n + kRadius; ++k) {
        const PVideoFrame frame = part->GetFrame(k, env.get());
        if (frame->source() != id || frame->number() != k) ++wrong;
      }
      if (mostFrames >= 0) {
        EXPECT_LE(hostCounters().liveFrames, mostFrames) << "after the window around " << n;
      }
    }
    return wrong;
  }

  // The lines about kept frames; openings and closings are logged too.
  std::vector<std::string> Logged() {
    std::lock_guard<std::mutex> lock(logMutex);
    std::vector<std::string> aboutFrames;
    for (const std::string& line : logLines) {
      if (line.find("SetMemoryMax") != std::string::npos) aboutFrames.push_back(line);
    }
    return aboutFrames;
  }

  std::atomic<int> made{0};
  std::mutex logMutex;
  std::vector<std::string> logLines;
};

TEST_F(FrameBudgetTest, APartNoLongerReadGivesItsFramesUpFirstAndThePartBeingReadKeepsItsWindow) {
  // Room for one window (19) but not two.
  const int budget = FramesWithin(env->SetMemoryMax(MemoryMaxFor(29)));
  ASSERT_LT(budget, 2 * kWindowKept);
  const PClip first = Part(1);
  const PClip second = Part(2);
  EXPECT_EQ(ReadWindows(first, 1, kRadius, 60), 0);
  EXPECT_EQ(hostCounters().liveFrames, kWindowKept) << "the part being read keeps its window";
  EXPECT_TRUE(IsOpen(first)) << "played to its end, the part stays open";

  made = 0;
  EXPECT_EQ(ReadWindows(second, 2, kRadius, 60, budget), 0);
  EXPECT_EQ(made, 60 + kRadius) << "each frame of the next part made once: its window is kept whole";
  EXPECT_EQ(hostCounters().liveFrames, budget) << "the finished part keeps only what the budget leaves";

  // Back to the first: the second, no longer read, gives way in turn.
  made = 0;
  EXPECT_EQ(ReadWindows(first, 1, 200, 240, budget), 0);
  EXPECT_EQ(made, 40 + 2 * kRadius);
  EXPECT_TRUE(Logged().empty()) << "every window fitted: nothing to report";
}

TEST_F(FrameBudgetTest, TheBudgetFollowsALimitSetAfterTheScriptLoadedFromTheNextOpening) {
  Limit(1);
  const PClip first = Part(1);
  const PClip other = Part(2);
  EXPECT_EQ(ReadWindows(first, 1, kRadius, 40), 0);
  EXPECT_EQ(hostCounters().liveFrames, kWindowKept);
  const int budget = FramesWithin(env->SetMemoryMax(MemoryMaxFor(9)));
  other->GetFrame(0, env.get());  // closes the first, which then reopens
  EXPECT_EQ(ReadWindows(first, 1, 100, 140, budget), 0);
}

TEST_F(FrameBudgetTest, WindowsLargerThanTheBudgetKeepFewerFramesAndTheLogSaysSoOnce) {
  // Seven frames, for a window of 11.
  const int memoryMax = env->SetMemoryMax(MemoryMaxFor(7));
  const int budget = FramesWithin(memoryMax);
  ASSERT_LT(budget, 2 * kRadius + 1);
  const PClip part = Part(3);
  made = 0;
  EXPECT_EQ(ReadWindows(part, 3, kRadius, 40, budget), 0);
  EXPECT_GT(made, 35 + 2 * kRadius) << "frames let go for the budget are made again";
  const std::vector<std::string> lines = Logged();
  ASSERT_EQ(lines.size(), 1u) << "said once, however often it happens";
  EXPECT_EQ(lines[0].rfind("2 DorvelFilter: ", 0), 0u) << lines[0] << ": a warning, the module's name first";
  EXPECT_NE(lines[0].find("SetMemoryMax"), std::string::npos) << lines[0];
  const std::size_t budgetMb = memoryMax * kMiB / FrameBudget::kShareDenominator * FrameBudget::kShareNumerator / kMiB;
  EXPECT_NE(lines[0].find(" " + std::to_string(budgetMb) + " MB"), std::string::npos) << lines[0];
}

TEST_F(FrameBudgetTest, ThreadsReadingFiltersAtOnceStayWithinTheBudgetAndGetTheirOwnFrames) {
  // Eleven frames among four filters read side by side, each taking the
  // others' frames away while they read.
  const int budget = FramesWithin(env->SetMemoryMax(MemoryMaxFor(11)));
  constexpr int kThreads = 4;
  std::vector<PClip> parts;
  for (int t = 0; t < kThreads; ++t) parts.push_back(Part(10 + t));
  std::atomic<int> wrong{0};
  std::vector<std::function<void()>> work;
  for (int t = 0; t < kThreads; ++t) {
    work.push_back([&, t] {
      for (int n = kRadius; n < 80; ++n) {
        for (int k = n - kRadius; k <= n + kRadius; ++k) {
          const PVideoFrame frame = parts[t]->GetFrame(k, env.get());
          if (frame->source() != 10 + t || frame->number() != k) ++wrong;
        }
      }
    });
  }
  RunOrAbort(work, std::chrono::seconds(60));
  EXPECT_EQ(wrong, 0);
  EXPECT_LE(hostCounters().liveFrames, budget);
  parts.clear();
  EXPECT_EQ(hostCounters().liveFrames, 0) << "every kept frame released with its filter";
}

}  // namespace
