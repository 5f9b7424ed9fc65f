// Openings beside the one under way, when waiting for it could never end. A
// mutex of the test's own stands for a serialized filter's lock in the host,
// which the module cannot see: the thread that holds it asks a closed filter
// to open while the opening under way waits for that lock. The waiting thread
// must open beside the stopped holder, and say so in the log; a holder that
// works, though, is waited for. Openings side by side keep the limit, call a
// function once, and leave the client's working folder as it was. A hang ends
// the test process.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "module_test.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Longer than the holders must stand still before others open beside them.
constexpr std::chrono::milliseconds kStopped{900};

class UnseenWaitsTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    // The cases of a clock that shows a thread waking for a moment; under
    // Wine, where it does not, the holders here still stop and work in
    // ways it shows. One case below is of Wine's clock, everywhere.
    AssumeShortWakesShown(1);
    env->StopRecording();
    logPath = ::testing::TempDir() + "dorvel_unseen_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() +
              std::to_string(Clock::now().time_since_epoch().count()) + ".txt";
    env->Call("SetLogParams", {AVSValue(logPath.c_str()), AVSValue(2)});
    settings.stats = &stats;
  }
  void TearDown() override {
    AssumeShortWakesShown(-1);
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
  std::string PlayTheRingOfThree(bool fAsksFirst, int& fromF, int& fromE);
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
  // A stood still the whole time B opened: neither is made again.
  EXPECT_EQ(stats.opens, 2);
  EXPECT_EQ(Log().find(" again: "), std::string::npos) << Log();
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

TEST_F(UnseenWaitsTest, WhereAClockCannotShowAShortWakeAHolderThatSleepsIsWaitedFor) {
  // Under Wine a holder asleep in its function may wake for a moment, move
  // the working folder and sleep again without its clock showing it: an
  // opening of the same folder must wait for it, not go beside it.
  AssumeShortWakesShown(0);
  std::atomic<bool> openingStarted{false};
  Clock::time_point aEnded, bStarted;
  env->AddFunction("Sleepy", "", [&](const AVSValue&, IScriptEnvironment*) -> AVSValue {
    openingStarted = true;
    std::this_thread::sleep_for(3 * std::chrono::milliseconds(500));
    aEnded = Clock::now();
    return AVSValue(new SourceClip(1, settings));
  });
  env->AddFunction("Quick", "", [&](const AVSValue&, IScriptEnvironment*) -> AVSValue {
    bStarted = Clock::now();
    return AVSValue(new SourceClip(2, settings));
  });
  const PClip shape = Template();
  const PClip a = Deferred("Sleepy", ArrayOf({}), shape);
  const PClip b = Deferred("Quick", ArrayOf({}), shape);
  int fromA = -1, fromB = -1;
  RunOrAbort({[&] { fromA = SourceOf(a, 0); },
              [&] {
                while (!openingStarted) std::this_thread::yield();
                fromB = SourceOf(b, 0);
              }});
  EXPECT_EQ(fromA, 1);
  EXPECT_EQ(fromB, 2);
  EXPECT_GE(bStarted, aEnded) << "opened beside a holder whose waking could not be seen";
  EXPECT_EQ(Log().find("beside"), std::string::npos) << Log();
}

// E's function reads F, and F's clip reads G, closed: no cycle. One thread
// serves F and asks for G to open while another opens E and waits for F.
// With `fAsksFirst` the thread serving F waits to open G before E's opening
// asks for F; else after. Either way E's opening must wait for F, not fail,
// and G open beside it. Answers the error E's request met, or "".
std::string UnseenWaitsTest::PlayTheRingOfThree(bool fAsksFirst, int& fromF, int& fromE) {
  PClip e, f, g;
  std::atomic<bool> servingF{false}, openingE{false};
  SourceSettings forwards = settings;
  forwards.onFrame = [&](int, int n, IScriptEnvironment* callEnv) {
    if (n != 0) return;
    servingF = true;
    while (!openingE) std::this_thread::yield();
    // E's opening waits for F by now, unless F asks first.
    if (!fAsksFirst) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    g->GetFrame(0, callEnv);
  };
  AddSourceFunction(*env, "Forwards", forwards);
  env->AddFunction("ReadsF", "", [&](const AVSValue&, IScriptEnvironment* callEnv) -> AVSValue {
    openingE = true;
    // The other thread waits to open G by now, if it asks first.
    if (fAsksFirst) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    f->GetFrame(1, callEnv);
    return AVSValue(new SourceClip(3, settings));
  });
  const PClip shape = Template();
  f = Deferred("Forwards", ArrayOf({AVSValue(1)}), shape);
  g = Deferred(7, shape);
  e = Deferred("ReadsF", ArrayOf({}), shape);
  SourceOf(f, 1);  // F open, G and E closed

  std::string errorE;
  RunOrAbort({[&] { fromF = SourceOf(f, 0); },
              [&] {
                while (!servingF) std::this_thread::yield();
                errorE = ErrorOf([&] { fromE = SourceOf(e, 0); });
              }});
  return errorE;
}

TEST_F(UnseenWaitsTest, AnOpeningBehindAFilterThisThreadServesGoesBeside) {
  int fromF = -1, fromE = -1;
  EXPECT_EQ(PlayTheRingOfThree(false, fromF, fromE), "");
  EXPECT_EQ(fromF, 1);
  EXPECT_EQ(fromE, 3);
  EXPECT_NE(Log().find("DorvelFilter: opening Source(7) beside the opening under way on another thread, which "
                       "waits for a clip this thread is serving"),
            std::string::npos)
      << Log();
}

TEST_F(UnseenWaitsTest, AnOpeningThatComesToWaitForAThreadWaitingToOpenWaitsAndThatThreadGoesBeside) {
  int fromF = -1, fromE = -1;
  EXPECT_EQ(PlayTheRingOfThree(true, fromF, fromE), "");
  EXPECT_EQ(fromF, 1);
  EXPECT_EQ(fromE, 3);
  EXPECT_NE(Log().find("DorvelFilter: opening Source(7) beside the opening under way on another thread"),
            std::string::npos)
      << Log();
}

TEST_F(UnseenWaitsTest, ASecondRequestWaitsForTheOpeningBesideAndTheLimitHolds) {
  // A's opening stands still until B's request has been served, as one
  // waiting for a serialized filter's lock that the thread asking for B
  // holds; B opens beside it, slowly; a third thread asks for B meanwhile
  // and must get the same clip. Each opening found room for itself alone,
  // under limit 1.
  Limit(1);
  std::atomic<int> callsOfB{0};
  std::mutex hostLock;  // the serialized filter's guard
  std::atomic<bool> openingA{false}, openingB{false}, lockHeld{false};
  env->AddFunction("Still", "i", [&](const AVSValue& args, IScriptEnvironment*) -> AVSValue {
    const int id = args[0].AsInt();
    (id == 1 ? openingA : openingB) = true;
    if (id == 2) ++callsOfB;
    if (id == 1) {
      while (!lockHeld) std::this_thread::yield();
      const std::lock_guard<std::mutex> guard(hostLock);
    } else {
      // For long enough that the third thread, too, opens beside.
      std::this_thread::sleep_for(3 * kStopped);
    }
    return AVSValue(new SourceClip(id, settings));
  });
  const PClip shape = Template();
  const PClip a = Deferred("Still", ArrayOf({AVSValue(1)}), shape);
  const PClip b = Deferred("Still", ArrayOf({AVSValue(2)}), shape);
  int fromA = -1, fromB = -1, fromBAgain = -1;
  std::atomic<bool> servedAgain{false};
  RunOrAbort({[&] { fromA = SourceOf(a, 0); },
              [&] {
                while (!openingA) std::this_thread::yield();
                const std::lock_guard<std::mutex> guard(hostLock);
                lockHeld = true;
                fromB = SourceOf(b, 0);
                // A stands still until the third thread was served too: A's
                // opening, once it ends, closes B for the limit, and a B
                // asked for after that is rightly opened again.
                while (!servedAgain) std::this_thread::yield();
              },
              [&] {
                while (!openingB) std::this_thread::yield();
                fromBAgain = SourceOf(b, 1);
                servedAgain = true;
              }});
  EXPECT_EQ(fromA, 1);
  EXPECT_EQ(fromB, 2);
  EXPECT_EQ(fromBAgain, 2);
  EXPECT_EQ(callsOfB, 1) << "B's function was called again while its opening was under way";
  const PClip c = Deferred(3, shape);
  SourceOf(c, 0);
  int open = 0;
  for (const PClip* filter : {&a, &b, &c}) open += IsOpen(*filter) ? 1 : 0;
  EXPECT_EQ(open, 1) << "more open than the limit after openings side by side";
}

TEST_F(UnseenWaitsTest, AnOpeningThatEndsAfterTheOneBesideItKeepsTheLimitToo) {
  // The opening beside ends first, within the limit; the stopped holder
  // joins the list after it, and must not leave one too many open.
  Limit(1);
  std::atomic<bool> openingA{false};
  env->AddFunction("Slow", "i", [&](const AVSValue& args, IScriptEnvironment*) -> AVSValue {
    openingA = true;
    std::this_thread::sleep_for(2 * kStopped);
    return AVSValue(new SourceClip(args[0].AsInt(), settings));
  });
  const PClip shape = Template();
  const PClip a = Deferred("Slow", ArrayOf({AVSValue(1)}), shape);
  const PClip b = Deferred(2, shape);
  RunOrAbort({[&] { SourceOf(a, 0); },
              [&] {
                while (!openingA) std::this_thread::yield();
                SourceOf(b, 0);
              }});
  const PClip c = Deferred(3, shape);
  SourceOf(c, 0);
  int open = 0;
  for (const PClip* filter : {&a, &b, &c}) open += IsOpen(*filter) ? 1 : 0;
  EXPECT_EQ(open, 1) << "more open than the limit after openings side by side";
}

// A source whose first look at its description, the module's check of the
// clip just made, is where the thread loses the processor: `atCheck` runs
// there, once.
class PausedAtCheckClip : public SourceClip {
 public:
  PausedAtCheckClip(int id, const SourceSettings& settings, std::function<void()> atCheck)
      : SourceClip(id, settings), atCheck_(std::move(atCheck)) {}
  const VideoInfo& DORVEL_STDCALL GetVideoInfo() override {
    if (atCheck_) std::exchange(atCheck_, nullptr)();
    return SourceClip::GetVideoInfo();
  }

 private:
  std::function<void()> atCheck_;
};

TEST_F(UnseenWaitsTest, AStoppedHolderThatEndsBeforeTheOpeningBesideItIsListedKeepsTheLimit) {
  // A sleeps on a slow disk long enough for B to open beside it; A's disk
  // answers just after B's function returned, and A ends and gives the turn
  // back while B's thread has not yet listed its clip. B, alone in the turn
  // by then, still opened beside another and must trim to the limit.
  Limit(1);
  std::mutex disk;
  std::condition_variable answered;
  bool diskAnswered = false;
  std::atomic<bool> openingA{false}, aEnded{false};
  env->AddFunction("SlowDisk", "i", [&](const AVSValue& args, IScriptEnvironment*) -> AVSValue {
    const int id = args[0].AsInt();
    if (id == 1) {
      openingA = true;
      std::unique_lock<std::mutex> lock(disk);
      answered.wait(lock, [&] { return diskAnswered; });
      return AVSValue(new SourceClip(id, settings));
    }
    return AVSValue(new PausedAtCheckClip(id, settings, [&] {
      {
        const std::lock_guard<std::mutex> lock(disk);
        diskAnswered = true;
      }
      answered.notify_all();
      while (!aEnded) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }));
  });
  const PClip shape = Template();
  const PClip a = Deferred("SlowDisk", ArrayOf({AVSValue(1)}), shape);
  const PClip b = Deferred("SlowDisk", ArrayOf({AVSValue(2)}), shape);
  int fromA = -1, fromB = -1;
  RunOrAbort({[&] {
                fromA = SourceOf(a, 0);
                aEnded = true;
              },
              [&] {
                while (!openingA) std::this_thread::yield();
                fromB = SourceOf(b, 0);
              }});
  EXPECT_EQ(fromA, 1);
  EXPECT_EQ(fromB, 2);
  EXPECT_NE(Log().find("DorvelFilter: opening SlowDisk(2) beside the opening under way on another thread"),
            std::string::npos)
      << Log();
  int open = 0;
  for (const PClip* filter : {&a, &b}) open += IsOpen(*filter) ? 1 : 0;
  EXPECT_EQ(open, 1) << "more open than the limit after openings side by side";
}

TEST_F(UnseenWaitsTest, OpeningsBesideEachOtherInOneFolderLeaveTheClientsFolder) {
  // Both filters were made in one folder and read a file there by a relative
  // name before and after standing still. The first opening ends first; the
  // second must still read its file, and the client's folder come back.
  const fs::path client = fs::current_path();
  const fs::path folder = fs::temp_directory_path() / ("dorvel-beside-" + std::to_string(std::random_device()()));
  fs::create_directories(folder);
  std::ofstream(folder / "part.txt") << "7";
  const auto readPart = [] {
    std::ifstream file("part.txt");
    int id = -1;
    file >> id;
    return id;
  };
  env->AddFunction("ReadsTwice", "i", [&](const AVSValue& args, IScriptEnvironment* callEnv) -> AVSValue {
    const int before = readPart();
    std::this_thread::sleep_for(args[0].AsInt() == 1 ? kStopped : 2 * kStopped);
    const int after = readPart();
    if (before != 7 || after != 7) callEnv->ThrowError("ReadsTwice: part.txt read %d, then %d", before, after);
    return AVSValue(new SourceClip(args[0].AsInt(), settings));
  });
  fs::current_path(folder);
  const PClip shape = Template();
  const PClip a = Deferred("ReadsTwice", ArrayOf({AVSValue(1)}), shape);
  const PClip b = Deferred("ReadsTwice", ArrayOf({AVSValue(2)}), shape);
  fs::current_path(client);

  std::atomic<bool> openingA{false};
  std::string errorA, errorB;
  RunOrAbort({[&] {
                openingA = true;
                errorA = ErrorOf([&] { a->GetFrame(0, env.get()); });
              },
              [&] {
                while (!openingA) std::this_thread::yield();
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                errorB = ErrorOf([&] { b->GetFrame(0, env.get()); });
              }});
  EXPECT_EQ(errorA, "");
  EXPECT_EQ(errorB, "");
  EXPECT_EQ(fs::current_path(), client);
  fs::current_path(client);
  fs::remove_all(folder);
}

}  // namespace
