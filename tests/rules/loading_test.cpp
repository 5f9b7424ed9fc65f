// The module as the host loads it: one exported symbol, both functions
// registered, state shared by every environment, and a clean unload.
#include <cstddef>

#include "linkage_table.h"
#include "module_test.h"

namespace {

// The name the entry function is exported under. A 32-bit Windows entry is
// __stdcall, and MinGW's linker exports it with the argument bytes appended,
// which is one of the names a GCC-built host looks for.
#if defined(_WIN32) && !defined(_WIN64)
constexpr const char* kEntryName = "AvisynthPluginInit3@8";
#else
constexpr const char* kEntryName = "AvisynthPluginInit3";
#endif

class LoadingTest : public ModuleTest {};

TEST_F(LoadingTest, RegistersBothFunctionsWithTheHostsParameterStrings) {
  EXPECT_EQ(env->ParametersOf("DorvelFilter"), "s[parameters]a[vi_clip]c");
  EXPECT_EQ(env->ParametersOf("DorvelFilterLimit"), "i");
}

TEST_F(LoadingTest, ExportsTheEntryFunctionAndNothingElse) {
  const PluginLibrary module(DORVEL_MODULE_PATH);
  EXPECT_NE(module.Symbol(kEntryName), nullptr);
  // Names the host exports too: a module exporting them could bind to the host's.
  for (const char* name : {"AVS_linkage", "_ZN5PClipC2Ev", "_ZN8AVSValueD2Ev", "_ZTV5IClip",
                           "_Z18CreateDorvelFilter8AVSValuePvP18IScriptEnvironment"}) {
    EXPECT_EQ(module.Symbol(name), nullptr) << name;
  }
}

TEST_F(LoadingTest, EveryEnvironmentSharesOneListAndOneLimit) {
  RecordingEnvironment second;
  ASSERT_STREQ(second.LoadPlugin(DORVEL_MODULE_PATH), "DorvelFilter");
  SourceSettings settings;
  settings.stats = &stats;
  AddSourceFunction(second, "Source", settings);

  second.Call("DorvelFilterLimit", {AVSValue(2)});
  std::vector<PClip> filters{Deferred(1), Deferred(2)};
  filters.push_back(second.Call("DorvelFilter", {AVSValue("Source"), ArrayOf({AVSValue(3)})}).AsClip());
  EXPECT_FALSE(IsOpen(filters[0])) << "an opening in one script closes another script's filter";
  EXPECT_EQ(stats.alive, 2);
  filters.clear();
  second.Forget();
}

TEST(ModuleLifetime, WorksWithATableThatEndsBeforeTheVersion11Additions) {
  // A host's table may be shorter than the module's declaration of it; the
  // module uses nothing past the value operations every version-11 host has.
  AVS_Linkage shorter = standInLinkage();
  shorter.Size = static_cast<int>(offsetof(AVS_Linkage, valueIsLong));
  shorter.valueIsLong = nullptr;
  shorter.valueAsLong = nullptr;
  SourceStats stats;
  SourceSettings settings;
  settings.stats = &stats;
  {
    ScriptEnvironment env;
    ASSERT_STREQ(env.LoadPlugin(DORVEL_MODULE_PATH, &shorter), "DorvelFilter");
    AddSourceFunction(env, "Source", settings);
    std::vector<PClip> filters;
    for (int i = 0; i < 5; ++i) filters.push_back(CallDorvelFilter(env, "Source", ArrayOf({AVSValue(i)})).AsClip());
    EXPECT_EQ(stats.alive, 4);
    const PVideoFrame frame = filters[0]->GetFrame(3, &env);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->source(), 0);
    EXPECT_EQ(frame->number(), 3);
  }
  EXPECT_EQ(stats.alive, 0);
}

TEST(ModuleLifetime, UnloadingForgetsTheStateAndLoadingAgainStartsAfresh) {
  SourceStats stats;
  SourceSettings settings;
  settings.stats = &stats;
  for (int round = 0; round < 2; ++round) {
    {
      ScriptEnvironment env;
      env.LoadPlugin(DORVEL_MODULE_PATH);
      AddSourceFunction(env, "Source", settings);
      ASSERT_TRUE(PluginLibrary::IsLoaded(DORVEL_MODULE_PATH));
      std::vector<PClip> filters;
      for (int i = 0; i < 6; ++i)
        filters.push_back(env.Call("DorvelFilter", {AVSValue("Source"), ArrayOf({AVSValue(i)})}).AsClip());
      EXPECT_EQ(stats.alive, 4) << "the limit starts at 4 in round " << round;
      env.Call("DorvelFilterLimit", {AVSValue(1)});
    }
    EXPECT_EQ(stats.alive, 0);
    EXPECT_FALSE(PluginLibrary::IsLoaded(DORVEL_MODULE_PATH)) << "the module stayed in memory after unloading";
  }
}

}  // namespace
