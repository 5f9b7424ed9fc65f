// How "parameters" becomes the call the filter makes: positional and named
// arguments, the "!" escape, and what the host sees of each.
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "module_test.h"
#include "tests/support/callers_string.h"

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

  // The host goes on saving strings of its own meanwhile; those it saved
  // before must stay where they are.
  void SaveManyStrings() {
    for (int i = 0; i < 1000; ++i) env->SaveString("a string the host saves meanwhile");
  }

  static std::string ErrorOf(const std::function<void()>& request) {
    try {
      request();
    } catch (const AvisynthError& error) {
      return error.what();
    }
    return "(nothing raised)";
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
  EXPECT_STREQ(call.names[1], "fps");
  EXPECT_NE(call.names[1], fps) << "the name is the host's own copy, not the caller's string";
  EXPECT_EQ(call.names[2], nullptr);
}

TEST_F(DecodeParametersTest, StringsTheCallerDiscardsWhenItsCallReturnsAreNotUsedLater) {
  CallersString function("Probe"), name("width"), text("text"), escaped("!fps");
  const PClip filter = Deferred(function.get(),
                                ArrayOf({ArrayOf({AVSValue(name.get()), AVSValue(640)}), AVSValue(text.get()),
                                         ArrayOf({AVSValue(escaped.get()), AVSValue(text.get())}),
                                         ArrayOf({AVSValue(1), ArrayOf({AVSValue(text.get())})})}),
                                Template());
  for (CallersString* string : {&function, &name, &text, &escaped}) string->Discard();
  SaveManyStrings();

  EXPECT_EQ(SourceOf(filter), 99);
  const auto call = OnlyCall("Probe");
  ASSERT_EQ(call.args.size(), 4u);
  EXPECT_STREQ(call.names[0], "width");
  EXPECT_EQ(call.args[0].AsInt(), 640);
  EXPECT_STREQ(call.args[1].AsString(), "text");
  ASSERT_EQ(call.args[2].ArraySize(), 2);
  EXPECT_STREQ(call.args[2][0].AsString(), "fps");
  EXPECT_STREQ(call.args[2][1].AsString(), "text");
  EXPECT_STREQ(call.args[3][1][0].AsString(), "text") << "strings at any depth";
}

TEST_F(DecodeParametersTest, ErrorsNameTheFunctionAfterTheCallerDiscardedItsName) {
  SourceSettings wide;
  wide.vi.width = 640;
  wide.stats = &stats;
  AddSourceFunction(*env, "Wide", wide);
  CallersString missing("Source"), misshapen("Wide");
  const PClip shape = Template();
  const PClip unknown = Deferred(missing.get(), ArrayOf({AVSValue("not an id")}), shape);
  const PClip refused = Deferred(misshapen.get(), ArrayOf({AVSValue(1)}), shape);
  missing.Discard();
  misshapen.Discard();
  SaveManyStrings();

  EXPECT_EQ(ErrorOf([&] { unknown->GetFrame(0, env.get()); }),
            "DorvelFilter: Invalid arguments to function 'Source' (in Source(\"not an id\"))");
  EXPECT_EQ(ErrorOf([&] { refused->GetFrame(0, env.get()); }),
            "DorvelFilter: Wide made a 640x240 pixel type 0x00000001 clip, but the template is 320x240 pixel type "
            "0x00000001 (in Wide(1))");
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
