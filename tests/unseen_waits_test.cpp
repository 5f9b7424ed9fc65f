// Waits inside the host, which the module cannot see. A mutex of the test's
// own stands for a serialized filter's lock: the thread that holds it asks a
// closed filter to open while the opening under way waits for that lock. The
// waiting thread must open beside the stopped holder, and say so in the log;
// a holder that works, though, is waited for. A hang ends the test process.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "module_test.h"

namespace {

using Clock = std::chrono::steady_clock;

class UnseenWaitsTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    env->StopRecording();
    logPath = ::testing::TempDir() + "dorvel_unseen_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
              std::to_string(Clock::now().time_since_epoch().count()) + ".txt";
    env->Call("SetLogParams", {AVSValue(logPath.c_str()), AVSValue(2)});
    settings.stats = &stats;
  }
  void TearDown() override {
    std::remove(logPath.c_str());
    ModuleTest::TearDown();
  }
  std::string Log() const {
    std::ostringstream text;
    text << std::ifstream(logPath).rdbuf();
    return text.str();
  }

  SourceSettings settings;
  std::string logPath;
};

TEST_F(UnseenWaitsTest, AThreadHoldingALockTheOpeningWaitsForOpensBesideIt) {
  std::mutex hostLock;  // a serialized filter's guard, in the host
  std::atomic<bool> openingStarted{false}, lockHeld{false};
  const PClip shape = Template();
  const PClip b = Deferred(2, shape);
  // A's function reads a frame of B through the guarded filter while it
  // makes its clip.
  env->AddFunction("PartA", "", [&](const AVSValue&, IScriptEnvironment* callEnv) -> AVSValue {
    openingStarted = true;
    while (!lockHeld) std::this_thread::yield();
    {
      const std::lock_guard<std::mutex> guard(hostLock);
      b->GetFrame(0, callEnv);
    }
    return AVSValue(new SourceClip(1, settings));
  });
  const PClip a = Deferred("PartA", ArrayOf({}), shape);

  int fromA = -1, fromB = -1;
  RunOrAbort({[&] { fromA = SourceOf(a, 3); },
              [&] {
                while (!openingStarted) std::this_thread::yield();
                const std::lock_guard<std::mutex> guard(hostLock);
                lockHeld = true;
                fromB = SourceOf(b, 4);
              }});
  EXPECT_EQ(fromA, 1);
  EXPECT_EQ(fromB, 2);
  EXPECT_NE(Log().find("DorvelFilter: opening Source(2) beside the opening under way on another thread"),
            std::string::npos)
      << Log();
}

TEST_F(UnseenWaitsTest, AHolderThatUsesTheProcessorIsWaitedFor) {
  // An opening that works (an indexing decoder) for three times as long as
  // a stop lasts; another thread's opening must not start before it ends.
  // This holds only where the holder's processor time can be read.
  const auto busyFor = 3 * std::chrono::milliseconds(500);
  std::atomic<bool> openingStarted{false};
  Clock::time_point aEnded, bStarted;
  env->AddFunction("Indexing", "", [&](const AVSValue&, IScriptEnvironment*) -> AVSValue {
    openingStarted = true;
    const auto until = Clock::now() + busyFor;
    volatile unsigned spin = 0;
    while (Clock::now() < until) spin = spin + 1;
    aEnded = Clock::now();
    return AVSValue(new SourceClip(1, settings));
  });
  env->AddFunction("Quick", "", [&](const AVSValue&, IScriptEnvironment*) -> AVSValue {
    bStarted = Clock::now();
    return AVSValue(new SourceClip(2, settings));
  });
  const PClip shape = Template();
  const PClip a = Deferred("Indexing", ArrayOf({}), shape);
  const PClip b = Deferred("Quick", ArrayOf({}), shape);
  RunOrAbort({[&] { SourceOf(a, 0); },
              [&] {
                while (!openingStarted) std::this_thread::yield();
                SourceOf(b, 0);
              }});
  EXPECT_GE(bStarted, aEnded) << "opened beside a holder that was working";
  EXPECT_EQ(Log().find("beside"), std::string::npos) << Log();
}

}  // namespace
