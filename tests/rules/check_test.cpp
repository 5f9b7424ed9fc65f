// DorvelFilterCheck: while a script loads, each templated filter opens once,
// is checked and closed again; filters made at frame time never are.
#include <thread>

#include "module_test.h"

namespace {

class CheckTest : public ModuleTest {
 protected:
  AVSValue Check(bool enable = true) { return env->Call("DorvelFilterCheck", {AVSValue(enable)}); }

  template <typename Action>
  static std::string ErrorOf(Action&& action) {
    try {
      action();
    } catch (const AvisynthError& error) {
      return error.what();
    }
    return "";
  }
};

TEST_F(CheckTest, EachTemplatedFilterOpensOnceAndClosesAtOnce) {
  EXPECT_EQ(env->ParametersOf("DorvelFilterCheck"), "[enable]b");
  const PClip shape = Template();
  const PClip before = Deferred(1, shape);
  EXPECT_EQ(stats.opens, 0) << "nothing is checked before the call";

  EXPECT_TRUE(env->Call("DorvelFilterCheck", {}).AsBool()) << "on by default";
  std::vector<PClip> parts;
  for (int i = 2; i < 12; ++i) parts.push_back(Deferred(i, shape));
  EXPECT_EQ(stats.opens, 10);
  EXPECT_EQ(stats.peakAlive, 1) << "one part open at a time";
  EXPECT_EQ(stats.alive, 0);
  EXPECT_EQ(SourceOf(parts[3]), 5) << "a checked filter opens again when asked";

  EXPECT_FALSE(Check(false).AsBool());
  const PClip after = Deferred(20, shape);
  EXPECT_EQ(stats.opens, 11) << "switched off, the check opens nothing";
}

TEST_F(CheckTest, AFailureIsAnErrorWhereTheFilterIsMade) {
  SourceSettings shortParts;
  shortParts.vi.num_frames = 40;
  shortParts.stats = &stats;
  AddSourceFunction(*env, "Short", shortParts);
  env->AddFunction("Missing", "s", [](const AVSValue& args, IScriptEnvironment* callEnv) {
    callEnv->ThrowError("Missing: Can't open '%s'", args[0].AsString());
    return AVSValue();
  });
  Check();
  const PClip shape = Template();
  EXPECT_EQ(ErrorOf([&] { Deferred("Short", ArrayOf({AVSValue(1)}), shape); }),
            "DorvelFilter: Short made a clip of 40 frames, but the template has 1000 (in Short(1))");
  EXPECT_EQ(ErrorOf([&] { Deferred("Missing", ArrayOf({AVSValue("part150.mkv")}), shape); }),
            "Missing: Can't open 'part150.mkv'");
  EXPECT_EQ(ErrorOf([&] {
              Deferred("Source", ArrayOf({ArrayOf({AVSValue("idd"), AVSValue(1)})}), shape);
            }),
            "DorvelFilter: Invalid arguments to function 'Source' (in Source(idd=1))");
  EXPECT_EQ(stats.alive, 0);
}

TEST_F(CheckTest, FiltersMadeAtFrameTimeAreNotChecked) {
  Check();
  const PClip shape = Template();
  // Made during another filter's opening, and during a frame request.
  env->AddFunction("Nested", "i", [&](const AVSValue& args, IScriptEnvironment* callEnv) {
    const PClip inner =
        CallDorvelFilter(*callEnv, "Source", ArrayOf({AVSValue(args[0].AsInt() + 100)}), shape).AsClip();
    return AVSValue(inner);
  });
  SourceSettings making;
  making.stats = &stats;
  PClip madeAtFrame;
  making.onFrame = [&](int, int, IScriptEnvironment* callEnv) {
    if (!madeAtFrame) madeAtFrame = CallDorvelFilter(*callEnv, "Source", ArrayOf({AVSValue(300)}), shape).AsClip();
  };
  AddSourceFunction(*env, "Making", making);

  const PClip nested = Deferred("Nested", ArrayOf({AVSValue(1)}), shape);
  EXPECT_EQ(stats.opens, 0) << "the nested filter was not opened by a check";
  const PClip maker = Deferred("Making", ArrayOf({AVSValue(2)}), shape);
  const int opensBefore = stats.opens;
  maker->GetFrame(0, env.get());
  ASSERT_TRUE(madeAtFrame);
  EXPECT_EQ(stats.opens, opensBefore + 1) << "only the maker opened";

  PClip onAnotherThread;
  std::thread([&] { onAnotherThread = Deferred(400, shape); }).join();
  EXPECT_EQ(stats.opens, opensBefore + 1) << "the check applies on the loading thread alone";
  madeAtFrame = PClip();
}

TEST_F(CheckTest, TheSwitchBelongsToOneEnvironment) {
  auto other = std::make_unique<ScriptEnvironment>();
  ASSERT_STREQ(other->LoadPlugin(DORVEL_MODULE_PATH), "DorvelFilter");
  SourceSettings settings;
  settings.stats = &stats;
  AddSourceFunction(*other, "Source", settings);
  Check();
  const PClip shape = Template();
  { const PClip elsewhere = CallDorvelFilter(*other, "Source", ArrayOf({AVSValue(1)}), shape).AsClip(); }
  EXPECT_EQ(stats.opens, 0);
  other.reset();
  const PClip here = Deferred(2, shape);
  EXPECT_EQ(stats.opens, 1);
}

}  // namespace
