// Requests that would wait for themselves: a wrapped clip that asks its own
// filter for frames, and functions that ask each other's filters while both
// are being made on two threads. Each must fail as a script error; none may
// hang. A hang is caught by a watchdog that ends the test process.
#include <functional>
#include <string>
#include <thread>

#include "module_test.h"

namespace {

class WaitsTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    env->StopRecording();
  }
};

TEST_F(WaitsTest, AnOpeningThatEndsInAnyExceptionLetsTheNextRequestOpen) {
  // The check of a new clip against the template runs out of memory; the
  // opening must end all the same, or every later request waits for it.
  const PClip shape = Template();
  const PClip filter = Deferred(5, shape);
  hostCounters().colourSpaceFailures = 1;
  EXPECT_THROW(filter->GetFrame(0, env.get()), std::bad_alloc);
  EXPECT_EQ(hostCounters().colourSpaceFailures, 0) << "the check was not reached";
  EXPECT_FALSE(IsOpen(filter));
  int source = -1;
  RunOrAbort({[&] { source = SourceOf(filter, 1); }});
  EXPECT_EQ(source, 5);
}

TEST_F(WaitsTest, AClipThatAsksItsOwnFilterWhileServingARequestFails) {
  // "Echo" makes a source whose frames are made from its own filter's: a
  // function that returns a clip made from the filter itself.
  PClip filter;
  SourceSettings settings;
  settings.stats = &stats;
  settings.onFrame = [&](int, int n, IScriptEnvironment* callEnv) { filter->GetFrame(n, callEnv); };
  AddSourceFunction(*env, "Echo", settings);
  const PClip shape = Template();
  filter = Deferred("Echo", ArrayOf({AVSValue(1)}), shape);
  const std::string expected =
      "DorvelFilter: the clip that Echo made asks its own DorvelFilter for frames or audio (in Echo(1))";

  EXPECT_EQ(ErrorOf([&] { filter->GetFrame(0, env.get()); }), expected);
  std::vector<std::string> errors(4);
  std::vector<std::function<void()>> work;
  for (std::size_t t = 0; t < errors.size(); ++t) {
    work.push_back([&, t] { errors[t] = ErrorOf([&] { filter->GetFrame(static_cast<int>(t), env.get()); }); });
  }
  RunOrAbort(work);
  for (const std::string& error : errors) EXPECT_EQ(error, expected);
  EXPECT_EQ(stats.opens, 1) << "the clip itself was made and kept";
  filter = PClip();
}

TEST_F(WaitsTest, FunctionsThatAskEachOthersFiltersWhileMadeOnTwoThreadsBothFail) {
  // A's function asks B for a frame and B's asks A, and each is asked for
  // on a thread of its own at the same time. Openings take turns, so each
  // request opens the other filter inside its own opening, which then asks
  // for the first, still opening: both fail as on one thread, neither hangs.
  PClip a, b;
  std::atomic<int> inside{0};
  auto askOther = [&](PClip& other) {
    return [&](const AVSValue&, IScriptEnvironment* callEnv) -> AVSValue {
      ++inside;
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
      while (inside < 2 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
      other->GetFrame(0, callEnv);
      return AVSValue(new SourceClip(9, SourceSettings()));
    };
  };
  env->AddFunction("AskB", "", askOther(b));
  env->AddFunction("AskA", "", askOther(a));
  const PClip shape = Template();
  a = Deferred("AskB", ArrayOf({}), shape);
  b = Deferred("AskA", ArrayOf({}), shape);

  std::string errorA, errorB;
  RunOrAbort({[&] { errorA = ErrorOf([&] { a->GetFrame(0, env.get()); }); },
              [&] { errorB = ErrorOf([&] { b->GetFrame(0, env.get()); }); }});
  EXPECT_EQ(errorA, "DorvelFilter: Clip could not be opened (in AskB())");
  EXPECT_EQ(errorB, "DorvelFilter: Clip could not be opened (in AskA())");
  EXPECT_FALSE(IsOpen(a));
  EXPECT_FALSE(IsOpen(b));
  a = b = PClip();
}

TEST_F(WaitsTest, ARingOfThreeFiltersServingEachOtherFailsAndTheFiltersStillServe) {
  // Each filter's clip, once open, asks the next filter for the same frame
  // while the first request of all is still being served, so that three
  // threads each hold one filter and wait for the next. One of them must
  // give up with an error; the others then finish.
  constexpr int kRing = 3;
  PClip ring[kRing];
  std::atomic<int> serving{0};
  std::atomic<bool> asking{true};
  SourceSettings settings;
  settings.stats = &stats;
  settings.onFrame = [&](int id, int n, IScriptEnvironment* callEnv) {
    if (!asking || n != 0) return;
    ++serving;
    while (serving < kRing) std::this_thread::yield();
    ring[(id + 1) % kRing]->GetFrame(5, callEnv);
  };
  AddSourceFunction(*env, "Ring", settings);
  const PClip shape = Template();
  Limit(kRing);
  for (int i = 0; i < kRing; ++i) ring[i] = Deferred("Ring", ArrayOf({AVSValue(i)}), shape);
  for (int i = 0; i < kRing; ++i) ring[i]->GetFrame(1, env.get());  // all open

  std::string errors[kRing];
  std::vector<std::function<void()>> work;
  for (int i = 0; i < kRing; ++i) {
    work.push_back([&, i] { errors[i] = ErrorOf([&] { ring[i]->GetFrame(0, env.get()); }); });
  }
  RunOrAbort(work);
  int failed = 0;
  for (const std::string& error : errors) {
    if (error.empty()) continue;
    ++failed;
    // It names the filter whose turn closed the ring, whichever that was.
    const std::string message =
        "DorvelFilter: the clip that Ring made is serving a thread that waits for this one; clips that ask each "
        "other for frames cannot be read on several threads (in Ring(";
    EXPECT_EQ(error.substr(0, message.size()), message);
    EXPECT_TRUE(error == message + "0))" || error == message + "1))" || error == message + "2))") << error;
  }
  EXPECT_GE(failed, 1) << "three threads waited for each other";
  asking = false;
  for (int i = 0; i < kRing; ++i) EXPECT_EQ(SourceOf(ring[i], 2), i) << "filter " << i << " serves again";
  for (PClip& filter : ring) filter = PClip();
}

}  // namespace
