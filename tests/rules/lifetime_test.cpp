// Lifetimes across the boundary: a wrapped clip closed while serving a
// request, functions that themselves make deferred clips, and filters whose
// function asks for the filter being made.
#include "module_test.h"

namespace {

class LifetimeTest : public ModuleTest {};

TEST_F(LifetimeTest, AWrappedClipOutlivesTheRequestDuringWhichItsFilterIsClosed) {
  Limit(1);
  PClip other;
  int aliveDuringRequest = -1;
  SourceSettings settings;
  settings.stats = &stats;
  settings.onFrame = [&](int, int, IScriptEnvironment* callEnv) {
    // Opening the other filter closes the one serving this very request.
    EXPECT_EQ(SourceOf(other), 2);
    (void)callEnv;
    aliveDuringRequest = stats.alive;
  };
  AddSourceFunction(*env, "Busy", settings);

  const PClip shape = Template();
  other = Deferred(2, shape);
  const PClip busy = Deferred("Busy", ArrayOf({AVSValue(1)}), shape);
  EXPECT_EQ(SourceOf(busy), 1) << "the request finished on its own clip";
  EXPECT_EQ(aliveDuringRequest, 2) << "the closed filter's clip was kept for the running request";
  EXPECT_FALSE(IsOpen(busy));
  EXPECT_EQ(stats.alive, 1);
  other = PClip();
}

TEST_F(LifetimeTest, AnOpeningInsideAnotherOpeningCountsOneAboveTheLimit) {
  Limit(2);
  env->AddFunction("Outer", "i", [](const AVSValue& args, IScriptEnvironment* callEnv) {
    const AVSValue id = args[0];
    const AVSValue inner[2] = {AVSValue("Source"), AVSValue(&id, 1)};
    return callEnv->Invoke("DorvelFilter", AVSValue(inner, 2));
  });
  std::vector<PClip> filters{Deferred(1), Deferred(2)};
  filters.push_back(Deferred("Outer", ArrayOf({AVSValue(3)})));
  EXPECT_EQ(SourceOf(filters[2]), 3);
  // The first was closed to make room for the outer one; the inner one opened
  // without counting the outer one, whose call was still running.
  EXPECT_FALSE(IsOpen(filters[0]));
  EXPECT_TRUE(IsOpen(filters[1]));
  EXPECT_EQ(stats.alive, 2);

  // Three are open under a limit of two: each later opening swaps one for one.
  filters.push_back(Deferred(4));
  EXPECT_FALSE(IsOpen(filters[1]));
  EXPECT_TRUE(IsOpen(filters[2]));
  EXPECT_EQ(stats.alive, 2);  // the inner source and source 4

  // The inner filter goes next, while the outer one still holds it, and then
  // the outer one, whose release destroys the inner filter: no lock is held
  // while a clip is released, so that destruction cannot deadlock.
  filters.push_back(Deferred(5));
  filters.push_back(Deferred(6));
  EXPECT_FALSE(IsOpen(filters[2]));
  EXPECT_EQ(stats.alive, 3);
  EXPECT_EQ(SourceOf(filters[2]), 3) << "the outer filter makes a new inner one";
}

TEST_F(LifetimeTest, AFunctionThatAsksForTheFilterItIsMakingFailsInsteadOfRecursing) {
  PClip self;
  env->AddFunction("Self", "", [&](const AVSValue&, IScriptEnvironment* callEnv) {
    return AVSValue(self->GetFrame(0, callEnv) ? self : PClip());
  });
  const PClip shape = Template();
  self = Deferred("Self", ArrayOf({}), shape);
  try {
    self->GetFrame(0, env.get());
    ADD_FAILURE() << "the request should fail";
  } catch (const AvisynthError& error) {
    EXPECT_STREQ(error.what(), "DorvelFilter: Clip could not be opened (in Self())");
  }
  EXPECT_FALSE(IsOpen(self));
  self = PClip();
}

TEST_F(LifetimeTest, ArgumentsHeldByAFilterAreReleasedWithIt) {
  const PClip shape = Template();
  // Never called: the filter stays closed.
  env->AddFunction("Probe", "..", [](const AVSValue&, IScriptEnvironment*) { return AVSValue(); });
  {
    const PClip inner = Deferred(1);
    const PClip outer =
        Deferred("Probe", ArrayOf({AVSValue(inner), ArrayOf({AVSValue("!x"), AVSValue(shape)})}), shape);
    EXPECT_EQ(stats.alive, 1);
  }
  env->Forget();  // the record of calls holds copies of their arguments too
  EXPECT_EQ(stats.alive, 0) << "the clip passed as an argument died with the filter holding it";
}

}  // namespace
