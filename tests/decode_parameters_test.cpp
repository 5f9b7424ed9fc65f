// How "parameters" becomes the call the filter makes: positional and named
// arguments, the "!" escape, and what the host sees of each.
#include "module_test.h"

namespace {

class DecodeParametersTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    // Takes up to four arguments by position, or by the names below.
    env->AddFunction("Probe", "[a].[b].[c].[d].[fps].[width].",
                     [this](const AVSValue&, IScriptEnvironment*) { return AVSValue(new SourceClip(99, settings)); });
    env->AddFunction("NoArgs", "",
                     [this](const AVSValue&, IScriptEnvironment*) { return AVSValue(new SourceClip(98, settings)); });
    settings.stats = &stats;
  }

  // The one call the filter made of `function`.
  RecordingEnvironment::Invocation OnlyCall(const char* function) {
    const auto calls = env->CallsOf(function);
    EXPECT_EQ(calls.size(), 1u);
    return calls.empty() ? RecordingEnvironment::Invocation() : calls[0];
  }

  static void ExpectPair(const AVSValue& value, const char* first, int second) {
    ASSERT_TRUE(value.IsArray());
    ASSERT_EQ(value.ArraySize(), 2);
    EXPECT_STREQ(value[0].AsString(), first);
    EXPECT_EQ(value[1].AsInt(), second);
  }

  SourceSettings settings;
};

TEST_F(DecodeParametersTest, PositionalAndNamedArgumentsKeepTheirOrder) {
  const PClip shape = Template();
  const char* fps = "fps";
  {
    const PClip filter =
        Deferred("Probe", ArrayOf({AVSValue(shape), ArrayOf({AVSValue(fps), AVSValue(25)}), AVSValue(3)}));
  }

  const auto call = OnlyCall("Probe");
  EXPECT_TRUE(call.argsIsArray);
  ASSERT_EQ(call.args.size(), 3u);
  EXPECT_EQ(call.args[0].AsClip().get(), shape.get());
  EXPECT_EQ(call.args[1].AsInt(), 25);
  EXPECT_EQ(call.args[2].AsInt(), 3);
  ASSERT_EQ(call.names.size(), 3u);
  EXPECT_EQ(call.names[0], nullptr);
  EXPECT_EQ(call.names[1], fps) << "the name is the script's own string, not a copy";
  EXPECT_EQ(call.names[2], nullptr);
}

TEST_F(DecodeParametersTest, AnExclamationMarkPassesAPairAsOnePositionalArgument) {
  const PClip filter =
      Deferred("Probe", ArrayOf({ArrayOf({AVSValue("!width"), AVSValue(640)}), ArrayOf({AVSValue("!!x"), AVSValue(1)}),
                                 ArrayOf({AVSValue("!"), AVSValue(2)})}));
  const auto call = OnlyCall("Probe");
  ASSERT_EQ(call.args.size(), 3u);
  ExpectPair(call.args[0], "width", 640);
  ExpectPair(call.args[1], "!x", 1);  // only one mark is removed
  ExpectPair(call.args[2], "", 2);
  EXPECT_EQ(call.names, (std::vector<const char*>{nullptr, nullptr, nullptr}));
}

TEST_F(DecodeParametersTest, ArraysThatAreNotNamePairsPassWhole) {
  const PClip filter =
      Deferred("Probe", ArrayOf({ArrayOf({AVSValue("width"), AVSValue(1), AVSValue(2)}),
                                 ArrayOf({AVSValue(7), AVSValue(8)}), ArrayOf({}), ArrayOf({AVSValue("solo")})}));
  const auto call = OnlyCall("Probe");
  ASSERT_EQ(call.args.size(), 4u);
  EXPECT_EQ(call.args[0].ArraySize(), 3);
  EXPECT_EQ(call.args[1].ArraySize(), 2);
  EXPECT_EQ(call.args[1][0].AsInt(), 7);
  EXPECT_TRUE(call.args[2].IsArray());
  EXPECT_EQ(call.args[2].ArraySize(), 0);
  EXPECT_STREQ(call.args[3][0].AsString(), "solo");
  EXPECT_EQ(call.names, (std::vector<const char*>{nullptr, nullptr, nullptr, nullptr}));
}

TEST_F(DecodeParametersTest, ALongListKeepsEveryArgumentInOrder) {
  env->AddFunction("Many", "[a].[b].[c].[d].[e].[f].[g].[h].[i].[named].",
                   [this](const AVSValue&, IScriptEnvironment*) { return AVSValue(new SourceClip(97, settings)); });
  std::vector<AVSValue> elements;
  for (int i = 0; i < 9; ++i) elements.push_back(AVSValue(i * 10));
  elements.insert(elements.begin() + 5, ArrayOf({AVSValue("named"), AVSValue(-1)}));
  const PClip filter = Deferred("Many", ArrayOf(elements));
  EXPECT_EQ(SourceOf(filter), 97);

  const auto call = OnlyCall("Many");
  ASSERT_EQ(call.args.size(), 10u);
  ASSERT_EQ(call.names.size(), 10u);
  for (std::size_t i = 0; i < 10; ++i) {
    const int expected = i < 5 ? static_cast<int>(i) * 10 : i == 5 ? -1 : static_cast<int>(i - 1) * 10;
    EXPECT_EQ(call.args[i].AsInt(), expected) << "argument " << i;
    EXPECT_STREQ(call.names[i] == nullptr ? "" : call.names[i], i == 5 ? "named" : "") << "argument " << i;
  }
}

TEST_F(DecodeParametersTest, AnEmptyListCallsWithNoArgumentsAndNoNames) {
  const PClip filter = Deferred("NoArgs", ArrayOf({}));
  const auto call = OnlyCall("NoArgs");
  EXPECT_TRUE(call.argsIsArray);
  EXPECT_TRUE(call.args.empty());
  EXPECT_FALSE(call.namesGiven);
  EXPECT_EQ(SourceOf(filter), 98);
}

TEST_F(DecodeParametersTest, WithoutParametersTheFunctionGetsOneUndefinedArgument) {
  EXPECT_THROW(Deferred("NoArgs", AVSValue()), FunctionNotFound);
  const auto calls = env->CallsOf("NoArgs");
  ASSERT_EQ(calls.size(), 1u);
  ASSERT_EQ(calls[0].args.size(), 1u);
  EXPECT_FALSE(calls[0].args[0].Defined());
  EXPECT_EQ(calls[0].names, std::vector<const char*>{nullptr});

  // A function with an optional first parameter takes it as omitted.
  const PClip filter = Deferred("Probe", AVSValue());
  EXPECT_EQ(SourceOf(filter), 99);
}

TEST_F(DecodeParametersTest, EveryOpeningRepeatsTheSameCall) {
  Limit(1);
  const PClip shape = Template();
  const PClip first = Deferred("Probe", ArrayOf({AVSValue(5), ArrayOf({AVSValue("width"), AVSValue(6)})}), shape);
  const PClip second = Deferred(2, shape);
  SourceOf(first);
  SourceOf(second);
  SourceOf(first);
  const auto calls = env->CallsOf("Probe");
  ASSERT_EQ(calls.size(), 2u);
  for (const auto& call : calls) {
    ASSERT_EQ(call.args.size(), 2u);
    EXPECT_EQ(call.args[0].AsInt(), 5);
    EXPECT_EQ(call.args[1].AsInt(), 6);
    EXPECT_STREQ(call.names[1], "width");
  }
}

}  // namespace
