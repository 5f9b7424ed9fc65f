// The host's multithreading: requests from many threads on many filters at
// once, filters dropped and made again meanwhile, and one closed filter asked
// by several threads at the same moment.
#include <functional>
#include <random>
#include <thread>

#include "module_test.h"

namespace {

constexpr int kThreads = 8;

// Runs `work(t)` on kThreads threads that all start at the same moment.
void AllAtOnce(const std::function<void(int)>& work) {
  std::atomic<int> arrived{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++arrived;
      while (arrived < kThreads) std::this_thread::yield();
      work(t);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

class ThreadsTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    env->StopRecording();
    settings.vi.width = 8;
    settings.vi.height = 8;
    settings.openDelay = std::chrono::microseconds(200);
    settings.stats = &stats;
    AddSourceFunction(*env, "Slow", settings);
  }

  PClip Slow(int id, const PClip& viClip) { return Deferred("Slow", ArrayOf({AVSValue(id)}), viClip); }

  SourceSettings settings;
};

TEST_F(ThreadsTest, ManyThreadsOnManyFiltersAlwaysGetTheirOwnSourcesFrames) {
  constexpr int kFilters = 120;
  constexpr int kRequestsPerThread = 600;
  Limit(2);
  const PClip shape = Template(settings.vi);

  std::mutex slotsMutex;
  std::vector<PClip> slots;
  std::vector<int> ids;
  for (int i = 0; i < kFilters; ++i) {
    slots.push_back(Slow(i, shape));
    ids.push_back(i);
  }

  std::atomic<int> wrong{0};
  std::atomic<int> remade{0};
  auto worker = [&](unsigned seed) {
    std::mt19937 random(seed);
    int16_t samples[16];
    for (int request = 0; request < kRequestsPerThread; ++request) {
      const std::size_t slot = random() % kFilters;
      const int action = static_cast<int>(random() % 16);
      PClip filter;
      int id;
      {
        std::lock_guard<std::mutex> lock(slotsMutex);
        filter = slots[slot];
        id = ids[slot];
      }
      if (action == 0) {
        // Drop the filter and make a new one in its place, sometimes
        // opening it at once; the old one dies with its last reference.
        const int newId = kFilters + remade++;
        PClip fresh = random() % 2 ? Slow(newId, shape) : Slow(newId, PClip());
        std::lock_guard<std::mutex> lock(slotsMutex);
        std::swap(slots[slot], fresh);
        ids[slot] = newId;
      } else if (action < 4) {
        filter->GetAudio(samples, 0, 16, env.get());
        if (samples[0] != id || samples[15] != id) ++wrong;
      } else if (action < 6) {
        filter->GetParity(0);
      } else {
        const int n = static_cast<int>(random() % 100);
        const PVideoFrame frame = filter->GetFrame(n, env.get());
        if (!frame || frame->source() != id || frame->number() != n) ++wrong;
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < kThreads; ++t) threads.emplace_back(worker, 1000 + t);
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(wrong, 0) << "frames or audio from the wrong source";
  EXPECT_GT(remade, 0);
  // Openings running at once each count as nested ones do, so up to
  // limit - 1 + kThreads filters are open; besides, each thread may hold one
  // clip that is in no list: one it is making, or one closed (or destroyed)
  // under its request, or one it is releasing.
  EXPECT_LE(stats.peakAlive, 2 - 1 + 2 * kThreads);
  int open = 0;
  for (const PClip& filter : slots) open += IsOpen(filter) ? 1 : 0;
  EXPECT_EQ(open, stats.alive) << "the filters' open states and the clips they hold disagree";

  // Asked in turn on one thread, the filters settle at the number left open.
  for (const PClip& filter : slots) filter->GetFrame(0, env.get());
  EXPECT_EQ(stats.alive, open);
  slots.clear();
}

TEST_F(ThreadsTest, ThreadsOnOneFilterReachItsSourceOneAtATime) {
  // The host's prefetch threads ask one filter for neighbouring frames, its
  // audio and its parity at once. Its source, made during a request, has no
  // guard of the host's, and may be entered by one thread at a time.
  settings.requestDelay = std::chrono::microseconds(100);
  AddSourceFunction(*env, "Serialized", settings);
  const PClip shape = Template(settings.vi);
  const PClip filter = Deferred("Serialized", ArrayOf({AVSValue(3)}), shape);

  std::atomic<int> wrong{0};
  AllAtOnce([&](int t) {
    int16_t samples[4];
    for (int request = 0; request < 30; ++request) {
      const int n = t * 30 + request;
      const PVideoFrame frame = filter->GetFrame(n, env.get());
      if (!frame || frame->source() != 3 || frame->number() != n) ++wrong;
      filter->GetAudio(samples, n, 4, env.get());
      if (samples[3] != 3) ++wrong;
      filter->GetParity(n);
    }
  });
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(stats.overlaps, 0) << "threads were inside the source together";
  EXPECT_EQ(stats.opens, 1);
}

TEST_F(ThreadsTest, ThreadsAskingOneClosedFilterAtOnceOpenItOnce) {
  settings.openDelay = std::chrono::milliseconds(20);
  AddSourceFunction(*env, "VerySlow", settings);
  const PClip shape = Template(settings.vi);
  const PClip filter = Deferred("VerySlow", ArrayOf({AVSValue(7)}), shape);

  std::atomic<int> right{0};
  AllAtOnce([&](int t) {
    const PVideoFrame frame = filter->GetFrame(t, env.get());
    if (frame && frame->source() == 7 && frame->number() == t) ++right;
  });
  EXPECT_EQ(right, kThreads);
  EXPECT_EQ(stats.opens, 1);
  EXPECT_EQ(stats.alive, 1);
}

TEST_F(ThreadsTest, AFailedOpeningReleasesTheThreadsWaitingForIt) {
  std::atomic<int> calls{0};
  env->AddFunction("Broken", "i", [&](const AVSValue&, IScriptEnvironment* callEnv) -> AVSValue {
    ++calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    callEnv->ThrowError("Broken: no decoder");
    return AVSValue();
  });
  const PClip shape = Template(settings.vi);
  const PClip filter = Deferred("Broken", ArrayOf({AVSValue(1)}), shape);
  std::atomic<int> failed{0};
  AllAtOnce([&](int) {
    try {
      filter->GetFrame(0, env.get());
    } catch (const AvisynthError&) {
      ++failed;
    }
  });
  EXPECT_EQ(failed, kThreads) << "every request fails with the function's error; none hangs";
  EXPECT_GE(calls, 1);
  EXPECT_FALSE(IsOpen(filter));
}

}  // namespace
