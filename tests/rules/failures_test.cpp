// A wrapped function that fails, or returns something other than a clip:
// the error reaches the caller unchanged, the filter stays closed and out of
// the list, and a later request tries again.
#include "module_test.h"

namespace {

enum class Outcome { Clip, Error, Integer };

class FailuresTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    SourceSettings settings;
    settings.stats = &stats;
    env->AddFunction("Flaky", "i", [this, settings](const AVSValue& args, IScriptEnvironment* callEnv) {
      ++calls;
      if (outcome == Outcome::Error) callEnv->ThrowError("Flaky: decoder broke on %d", args[0].AsInt());
      if (outcome == Outcome::Integer) return AVSValue(42);
      return AVSValue(new SourceClip(args[0].AsInt(), settings));
    });
  }

  PClip Flaky(int id, const PClip& viClip = PClip()) { return Deferred("Flaky", ArrayOf({AVSValue(id)}), viClip); }

  // Four more openings: all four stay open only if the failed filter holds no place.
  void ExpectNoPlaceTaken() {
    const int before = stats.alive;
    std::vector<PClip> others;
    for (int i = 0; i < 4; ++i) others.push_back(Deferred(100 + i));
    EXPECT_EQ(stats.alive, before + 4);
    for (const PClip& other : others) EXPECT_TRUE(IsOpen(other));
  }

  template <typename Error>
  static std::string MessageOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const Error& error) {
      return error.what();
    }
    return "(nothing raised)";
  }

  Outcome outcome = Outcome::Clip;
  int calls = 0;
};

TEST_F(FailuresTest, AnErrorDuringConstructionPassesUnchanged) {
  outcome = Outcome::Error;
  EXPECT_EQ(MessageOf<AvisynthError>([&] { Flaky(7); }), "Flaky: decoder broke on 7");
  ExpectNoPlaceTaken();
}

TEST_F(FailuresTest, AFunctionThatDoesNotExistIsRefusedWhereTheFilterIsMade) {
  const std::string expected = "DorvelFilter: there is no function named \"NoSuchFunction\"";
  EXPECT_EQ(MessageOf<AvisynthError>([&] { Deferred("NoSuchFunction", ArrayOf({})); }), expected);
  EXPECT_EQ(MessageOf<AvisynthError>([&] { Deferred("NoSuchFunction", ArrayOf({}), Template()); }), expected)
      << "a template defers the call, not the question whether the function exists";
  EXPECT_NO_THROW(Deferred("source", ArrayOf({AVSValue(1)}), Template())) << "names are compared as the host does";
  ExpectNoPlaceTaken();
}

TEST_F(FailuresTest, ArgumentsTheFunctionDoesNotTakePassTheHostsOwnError) {
  EXPECT_THROW(Deferred("Source", ArrayOf({AVSValue("not an int")})), FunctionNotFound);
  ExpectNoPlaceTaken();
}

TEST_F(FailuresTest, ArgumentsTheFunctionDoesNotTakeFailARequestWithAScriptErrorNamingIt) {
  // Outside a script nothing would turn the host's not-found signal into an
  // error a client knows; the request raises a script error instead.
  const PClip shape = Template();
  const PClip mismatched = Deferred("Source", ArrayOf({AVSValue("not an int")}), shape);
  int16_t samples[4] = {};
  EXPECT_EQ(MessageOf<AvisynthError>([&] { mismatched->GetAudio(samples, 0, 4, env.get()); }),
            "DorvelFilter: Invalid arguments to function 'Source' (in Source(\"not an int\"))");
  EXPECT_FALSE(IsOpen(mismatched));
  ExpectNoPlaceTaken();
}

TEST_F(FailuresTest, AnErrorDuringARequestLeavesTheFilterClosedAndTheNextRequestTriesAgain) {
  const PClip shape = Template();
  const PClip filter = Flaky(5, shape);
  outcome = Outcome::Error;
  EXPECT_EQ(MessageOf<AvisynthError>([&] { filter->GetFrame(0, env.get()); }), "Flaky: decoder broke on 5");
  int16_t samples[4] = {};
  EXPECT_EQ(MessageOf<AvisynthError>([&] { filter->GetAudio(samples, 0, 4, env.get()); }), "Flaky: decoder broke on 5");
  EXPECT_FALSE(IsOpen(filter));
  ExpectNoPlaceTaken();

  outcome = Outcome::Clip;
  EXPECT_EQ(SourceOf(filter), 5);
  EXPECT_TRUE(IsOpen(filter));
  EXPECT_EQ(calls, 3);
}

TEST_F(FailuresTest, AVictimClosedForAFailedOpeningStaysClosed) {
  Limit(1);
  const PClip first = Deferred(1);
  const PClip shape = Template();
  const PClip failing = Flaky(2, shape);
  outcome = Outcome::Error;
  EXPECT_THROW(failing->GetFrame(0, env.get()), AvisynthError);
  EXPECT_FALSE(IsOpen(first));
  EXPECT_EQ(stats.alive, 0);
}

TEST_F(FailuresTest, AResultThatIsNotAClipFailsConstructionWithTheModulesMessage) {
  outcome = Outcome::Integer;
  EXPECT_EQ(MessageOf<AvisynthError>([&] { Flaky(3); }), "DorvelFilter: Clip could not be opened (in Flaky(3))");
  ExpectNoPlaceTaken();
}

TEST_F(FailuresTest, AResultThatIsNotAClipFailsTheRequestAndTheNextOneTriesAgain) {
  const PClip shape = Template();
  const PClip filter = Flaky(4, shape);
  outcome = Outcome::Integer;
  EXPECT_EQ(MessageOf<AvisynthError>([&] { filter->GetFrame(0, env.get()); }),
            "DorvelFilter: Clip could not be opened (in Flaky(4))");
  int16_t samples[4] = {};
  EXPECT_EQ(MessageOf<AvisynthError>([&] { filter->GetAudio(samples, 0, 4, env.get()); }),
            "DorvelFilter: Clip could not be opened (in Flaky(4))");
  EXPECT_FALSE(filter->GetParity(0)) << "parity never calls into a missing clip";
  ExpectNoPlaceTaken();

  outcome = Outcome::Clip;
  EXPECT_EQ(SourceOf(filter), 4);
}

}  // namespace
