// A script environment being deleted while its filters are opened on other
// threads, as a client does after its last frame while the host's Prefetch
// threads still work: no function of it is called once its exit callbacks
// have run, and its deletion waits for the openings and releases under way.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "module_test.h"

namespace {

using namespace std::chrono_literals;

class EnvironmentLifeTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    env->StopRecording();
    second = std::make_unique<ScriptEnvironment>();
    ASSERT_STREQ(second->LoadPlugin(DORVEL_MODULE_PATH), "DorvelFilter");
  }
  void TearDown() override {
    EXPECT_EQ(hostCounters().callsAfterExit.load(), 0) << "a function was called after its environment deleted it";
    ModuleTest::TearDown();
  }

  // A filter of the second environment calling `function` there.
  PClip MadeInSecond(const char* function, int id) {
    return CallDorvelFilter(*second, function, ArrayOf({AVSValue(id)}), Template()).AsClip();
  }

  // Marks the start of its deletion: registered after the module's
  // callbacks, it runs before them.
  static void DORVEL_CDECL Deleting(void* flag, IScriptEnvironment*) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
  }

  std::unique_ptr<ScriptEnvironment> second;
};

TEST_F(EnvironmentLifeTest, ItsDeletionWaitsForTheOpeningUnderWayAndRefusesTheNext) {
  std::atomic<bool> inside{false}, returned{false};
  // Registered before the filters, so it runs after the module's callbacks
  // and before the functions go, and holds the deletion there until the
  // next opening was tried.
  struct Hold {
    std::atomic<bool>* returned;
    std::atomic<bool> held{false}, done{false}, returnedThen{false};
    static void DORVEL_CDECL Until(void* self, IScriptEnvironment*) {
      auto* hold = static_cast<Hold*>(self);
      hold->returnedThen = hold->returned->load();
      hold->held = true;
      while (!hold->done) std::this_thread::yield();
    }
  } hold{&returned};
  second->AtExit(&Hold::Until, &hold);
  SourceSettings settings;
  settings.stats = &stats;
  second->AddFunction("Slow", "i", [&](const AVSValue& args, IScriptEnvironment*) {
    inside = true;
    std::this_thread::sleep_for(300ms);
    returned = true;
    return AVSValue(new SourceClip(args[0].AsInt(), settings));
  });
  AddSourceFunction(*second, "Quick", settings);
  AddSourceFunction(*env, "Quick", settings);
  const PClip slow = MadeInSecond("Slow", 1);
  const PClip quick = MadeInSecond("Quick", 2);

  int slowSource = -1;
  std::string quickError;
  RunOrAbort({[&] { slowSource = slow->GetFrame(0, second.get())->source(); },
              [&] {
                while (!inside) std::this_thread::yield();
                second.reset();
              },
              [&] {
                while (!hold.held) std::this_thread::yield();
                // Asked on a thread of the client's own environment.
                try {
                  quick->GetFrame(0, env.get());
                } catch (const std::runtime_error& error) {
                  quickError = error.what();
                }
                hold.done = true;
              }});
  EXPECT_EQ(slowSource, 1) << "the opening under way ends as usual";
  EXPECT_TRUE(hold.returnedThen) << "the environment went on being deleted while its function ran";
  EXPECT_EQ(quickError, "DorvelFilter: Quick is not called: its script environment is being deleted (in Quick(2))");
}

TEST_F(EnvironmentLifeTest, AClipClosedFromAnotherEnvironmentIsReleasedBeforeItsOwnIsGone) {
  // The second environment's filter is the oldest open one; an opening in
  // the first closes it and releases its clip slowly, while the second is
  // being deleted.
  std::atomic<bool> releasing{false}, released{false};
  SourceSettings settings;
  settings.stats = &stats;
  settings.onRelease = [&](int id) {
    if (id != 7) return;
    releasing = true;
    std::this_thread::sleep_for(300ms);
    released = true;
  };
  AddSourceFunction(*second, "Held", settings);
  Limit(1);
  const PClip victim = MadeInSecond("Held", 7);
  EXPECT_EQ(victim->GetFrame(0, second.get())->source(), 7);
  const PClip opener = Deferred(3, Template());

  bool releasedWhenDeleted = false;
  RunOrAbort({[&] { EXPECT_EQ(SourceOf(opener), 3); },
              [&] {
                while (!releasing) std::this_thread::yield();
                second.reset();
                releasedWhenDeleted = released;
              }});
  EXPECT_TRUE(releasedWhenDeleted) << "the environment was gone before its clip was released";
}

TEST_F(EnvironmentLifeTest, AFilterOfAnEnvironmentBeingDeletedIsNotClosedByAnother) {
  // Its own deletion releases it; another environment's opening leaves it
  // and goes over the limit for the while.
  struct Hold {
    std::atomic<bool> held{false}, done{false};
    // Registered before the filter, so it runs after the module's callback.
    static void DORVEL_CDECL Until(void* self, IScriptEnvironment*) {
      auto* hold = static_cast<Hold*>(self);
      hold->held = true;
      while (!hold->done) std::this_thread::yield();
    }
  } hold;
  second->AtExit(&Hold::Until, &hold);
  SourceSettings settings;
  settings.stats = &stats;
  AddSourceFunction(*second, "Held", settings);
  Limit(1);
  const PClip victim = MadeInSecond("Held", 7);
  EXPECT_EQ(victim->GetFrame(0, second.get())->source(), 7);
  const PClip opener = Deferred(3, Template());

  RunOrAbort({[&] { second.reset(); },
              [&] {
                while (!hold.held) std::this_thread::yield();
                EXPECT_EQ(SourceOf(opener), 3);
                EXPECT_EQ(stats.alive, 2) << "the filter of the environment being deleted was closed";
                hold.done = true;
              }});
  EXPECT_EQ(victim->GetFrame(1, env.get())->source(), 7) << "still open";
}

TEST_F(EnvironmentLifeTest, FiltersMadeWithNoFunctionAddedRegisterNoMoreExitCallbacks) {
  SourceSettings settings;
  settings.stats = &stats;
  AddSourceFunction(*second, "Quick", settings);
  const std::size_t before = second->ExitCallbacks();
  std::vector<PClip> filters;
  for (int i = 0; i < 1000; ++i) filters.push_back(MadeInSecond("Quick", i));
  EXPECT_EQ(second->ExitCallbacks(), before + 1) << "one for the environment";
  // A script's definition read since: its deletion is registered after the
  // module's callback, so the next filter registers one more.
  second->DefineScriptFunction("Late", "i", [&](const AVSValue& args, IScriptEnvironment*) {
    return AVSValue(new SourceClip(args[0].AsInt(), settings));
  });
  for (int i = 0; i < 1000; ++i) filters.push_back(MadeInSecond("Late", i));
  EXPECT_EQ(second->ExitCallbacks(), before + 3);
}

TEST_F(EnvironmentLifeTest, FiltersMadeWithTheSameCallSaveItsStringsOnce) {
  SourceSettings settings;
  settings.stats = &stats;
  second->AddFunction("Named", "i[file]s", [&](const AVSValue& args, IScriptEnvironment*) {
    return AVSValue(new SourceClip(args[0].AsInt(), settings));
  });
  const AVSValue call = ArrayOf({AVSValue(1), ArrayOf({AVSValue("file"), AVSValue("part001.mkv")})});
  const auto make = [&] { return CallDorvelFilter(*second, "Named", call, Template()).AsClip(); };
  const PClip first = make();
  const std::size_t saved = second->SavedBytes();
  EXPECT_GT(saved, 0u) << "the filter keeps the environment's copies";
  for (int i = 0; i < 100; ++i) {
    const PClip again = make();
    ASSERT_EQ(again->GetFrame(0, second.get())->source(), 1);
  }
  EXPECT_EQ(second->SavedBytes(), saved) << "each filter saved its strings anew";
}

TEST_F(EnvironmentLifeTest, AFunctionDefinedAfterTheFirstFilterIsNotDeletedUnderItsOpening) {
  SourceSettings settings;
  settings.stats = &stats;
  AddSourceFunction(*second, "Quick", settings);
  const PClip first = MadeInSecond("Quick", 1);
  // As an Import that defines the part's function after the first filter
  // was made.
  std::atomic<bool> inside{false};
  second->DefineScriptFunction("Late", "i", [&](const AVSValue& args, IScriptEnvironment*) {
    inside = true;
    std::this_thread::sleep_for(300ms);
    return AVSValue(new SourceClip(args[0].AsInt(), settings));
  });
  const PClip late = MadeInSecond("Late", 2);
  int lateSource = -1;
  RunOrAbort({[&] { lateSource = late->GetFrame(0, second.get())->source(); },
              [&] {
                while (!inside) std::this_thread::yield();
                second.reset();
              }});
  EXPECT_EQ(lateSource, 2);
  // TearDown: Late was not deleted while it ran.
}

// Works, using processor time, until `until` is set: a thread waiting to open
// beside it in the same folder keeps waiting meanwhile.
void WorkUntil(const std::atomic<bool>& until) {
  volatile unsigned long spin = 0;
  while (!until) spin = spin + 1;
}

TEST_F(EnvironmentLifeTest, ARequestOfAnotherEnvironmentWaitingForAnOpeningUnderWayGetsItsFrame) {
  // The second environment's thread opens the filter, and works at it; a
  // request of the client's own environment for the same filter waits for
  // the turn meanwhile. The second environment is deleted: its deletion
  // waits for the opening under way, which ends as usual, and the waiting
  // request is served by it, as a request to an open clip is.
  std::atomic<bool> inside{false}, asking{false}, deleting{false}, done{false};
  SourceSettings settings;
  settings.stats = &stats;
  second->AddFunction("Working", "i", [&](const AVSValue& args, IScriptEnvironment*) {
    inside = true;
    WorkUntil(done);
    return AVSValue(new SourceClip(args[0].AsInt(), settings));
  });
  const PClip working = MadeInSecond("Working", 1);
  second->AtExit(&Deleting, &deleting);  // runs before the module's callback

  int ownSource = -1, otherSource = -1;
  std::string otherError;
  // Its threads' environment, read before any thread may delete it.
  IScriptEnvironment* const threads = second.get();
  RunOrAbort({[&] { ownSource = working->GetFrame(0, threads)->source(); },
              [&] {
                while (!inside) std::this_thread::yield();
                asking = true;
                // A client of a live environment knows the host's errors
                // only: anything else it meets ends it.
                try {
                  otherSource = working->GetFrame(0, env.get())->source();
                } catch (const AvisynthError& error) {
                  otherError = error.what();
                } catch (const std::exception& error) {
                  otherError = std::string("not a script error: ") + error.what();
                }
              },
              [&] {
                while (!asking) std::this_thread::yield();
                std::this_thread::sleep_for(200ms);
                second.reset();
              },
              [&] {
                while (!deleting) std::this_thread::yield();
                // Longer than the waiting request takes to look again.
                std::this_thread::sleep_for(400ms);
                done = true;
              }});
  EXPECT_EQ(ownSource, 1) << "the opening under way ends as usual";
  EXPECT_EQ(otherError, "");
  EXPECT_EQ(otherSource, 1);
  EXPECT_EQ(stats.opens.load(), 1);
}

TEST_F(EnvironmentLifeTest, ARequestThatStopsWaitingAsItsEnvironmentIsDeletedLeavesTheTurnFree) {
  // A filter of the client's environment works at its opening; a request
  // for a filter of the second environment waits behind it, and stops as
  // that environment is deleted. Once the first opening ends, the next
  // openings take the turn alone at once (no waiter or holder is left
  // behind to wait for, or to open beside), and the limit holds.
  std::atomic<bool> inside{false}, asking{false}, done{false};
  SourceSettings settings;
  settings.stats = &stats;
  env->AddFunction("Working", "i", [&](const AVSValue& args, IScriptEnvironment*) {
    inside = true;
    WorkUntil(done);
    return AVSValue(new SourceClip(args[0].AsInt(), settings));
  });
  AddSourceFunction(*second, "Quick", settings);
  const PClip working = Deferred("Working", ArrayOf({AVSValue(1)}), Template());
  PClip waiting = MadeInSecond("Quick", 2);

  int workingSource = -1;
  std::string waitingError;
  RunOrAbort({[&] { workingSource = SourceOf(working); },
              [&] {
                while (!inside) std::this_thread::yield();
                asking = true;
                // Asked on a thread of the client's own environment, which
                // the second one's deletion does not wait for.
                try {
                  waiting->GetFrame(0, env.get());
                } catch (const std::runtime_error& error) {
                  waitingError = error.what();
                }
                waiting = PClip();
              },
              [&] {
                while (!asking) std::this_thread::yield();
                std::this_thread::sleep_for(200ms);
                second.reset();
                // The waiting request has stopped by now; the holder goes on.
                std::this_thread::sleep_for(300ms);
                done = true;
              }});
  EXPECT_EQ(workingSource, 1);
  EXPECT_EQ(waitingError, "DorvelFilter: Quick is not called: its script environment is being deleted (in Quick(2))");

  // A holder or a waiter left behind would have the next openings wait for
  // it and then go beside it, which the host's log tells.
  const std::string logPath = ::testing::TempDir() + "dorvel_turn_left_free_" +
                              std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".txt";
  env->Call("SetLogParams", {AVSValue(logPath.c_str()), AVSValue(3)});
  Limit(1);
  for (int id = 3; id < 6; ++id) {
    const PClip next = Deferred(id, Template());
    int nextSource = -1;
    RunOrAbort({[&] { nextSource = SourceOf(next); }});
    EXPECT_EQ(nextSource, id);
    EXPECT_LE(stats.alive.load(), 1) << "the limit was lost";
  }
  std::ostringstream log;
  log << std::ifstream(logPath).rdbuf();
  std::remove(logPath.c_str());
  EXPECT_NE(log.str().find("DorvelFilter: opened Source(5)"), std::string::npos) << log.str();
  EXPECT_EQ(log.str().find(" beside "), std::string::npos) << log.str();
}

TEST_F(EnvironmentLifeTest, AClosedFilterOfADeletedEnvironmentAskedFromAnotherFailsClearly) {
  // Handed to the client's environment, never opened, and asked for a frame
  // only once its own environment is gone: it opens nothing, and says so
  // with its own name and call.
  SourceSettings settings;
  settings.stats = &stats;
  AddSourceFunction(*second, "Quick", settings);
  const PClip handed = MadeInSecond("Quick", 4);
  second.reset();
  std::string error;
  try {
    handed->GetFrame(0, env.get());
  } catch (const std::runtime_error& e) {
    error = e.what();
  }
  EXPECT_EQ(error, "DorvelFilter: Quick is not called: its script environment is being deleted (in Quick(4))");
  EXPECT_EQ(stats.opens.load(), 0);
}

}  // namespace
