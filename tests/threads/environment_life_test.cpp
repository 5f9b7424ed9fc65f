// A script environment being deleted while its filters are opened on other
// threads, as a client does after its last frame while the host's Prefetch
// threads still work: no function of it is called once its exit callbacks
// have run, and its deletion waits for the openings and releases under way.
#include <atomic>
#include <chrono>
#include <memory>
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

}  // namespace
