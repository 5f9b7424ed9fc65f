// The module's rules inside a real host, where the host's script language,
// its frame caches and its error reporting stand between the script and the
// module.
#include <gtest/gtest.h>

#include <string>

#include "counting_source.h"
#include "host_session.h"

namespace {

class RealHostRules : public ::testing::Test {
 protected:
  void SetUp() override {
    counting::Reset();
    host.Eval("t = " + CountingTemplate());
  }

  // A templated filter over counting source `id`, held only by the test.
  PClip Deferred(int id, const std::string& more = "") {
    return host.Clip("DorvelFilter(\"CountingSource\", [" + std::to_string(id) + more + "], t)");
  }
  counting::Tag TagOf(const PClip& clip, int n) { return counting::TagOf(clip->GetFrame(n, host.env())); }
  // Which counting sources are open now, one bit per id (ids below 32).
  static unsigned OpenSources(int ids) {
    unsigned open = 0;
    for (int id = 0; id < ids; ++id) open |= counting::Alive(id) > 0 ? 1u << id : 0u;
    return open;
  }

  HostSession host;
};

TEST_F(RealHostRules, ATemplatedFilterOpensAtItsFirstFrameRequestAndNotBefore) {
  const PClip filter = Deferred(1);
  EXPECT_EQ(counting::Opens(), 0);
  EXPECT_FALSE(filter->GetParity(0));  // a closed filter answers false and stays closed
  EXPECT_EQ(counting::Opens(), 0);
  EXPECT_EQ(filter->GetVideoInfo().num_frames, 100);

  const counting::Tag tag = TagOf(filter, 3);
  EXPECT_EQ(tag.id, 1);
  EXPECT_EQ(tag.frame, 3);
  EXPECT_EQ(counting::Opens(1), 1);
  EXPECT_TRUE(filter->GetParity(0));
}

TEST_F(RealHostRules, WithoutATemplateTheFilterOpensAtOnceAndDescribesTheSource) {
  const PClip filter = host.Clip("DorvelFilter(\"CountingSource\", [7, [\"frames\", 30], [\"width\", 32]])");
  EXPECT_EQ(counting::Opens(7), 1);
  EXPECT_EQ(filter->GetVideoInfo().num_frames, 30);
  EXPECT_EQ(filter->GetVideoInfo().width, 32);
  EXPECT_EQ(TagOf(filter, 29).frame, 29);
  EXPECT_EQ(counting::Opens(7), 1);
}

TEST_F(RealHostRules, TheFilterOpenedLongestAgoGivesWayWhateverItServedSince) {
  EXPECT_EQ(host.Eval("DorvelFilterLimit(2)").AsInt(), 2);
  const PClip a = Deferred(0), b = Deferred(1), c = Deferred(2);
  TagOf(a, 0);
  TagOf(b, 0);
  TagOf(a, 1);  // serving a request does not make a younger
  TagOf(c, 0);
  EXPECT_EQ(OpenSources(3), 0b110u);
  EXPECT_EQ(TagOf(a, 2).id, 0);  // reopened, and b gives way
  EXPECT_EQ(OpenSources(3), 0b101u);
  EXPECT_EQ(counting::Opens(0), 2);
}

TEST_F(RealHostRules, LimitZeroKeepsOneOpenAndANegativeLimitKeepsAll) {
  host.Eval("DorvelFilterLimit(0)");
  PClip filters[6];
  for (int id = 0; id < 3; ++id) {
    filters[id] = Deferred(id);
    TagOf(filters[id], 0);
  }
  EXPECT_EQ(OpenSources(3), 0b100u);
  EXPECT_EQ(counting::PeakAlive(), 1);

  host.Eval("DorvelFilterLimit(-1)");
  for (int id = 3; id < 6; ++id) {
    filters[id] = Deferred(id);
    TagOf(filters[id], 0);
  }
  EXPECT_EQ(OpenSources(6), 0b111100u);
}

TEST_F(RealHostRules, NamedAndExclaimedArgumentsReachTheFunction) {
  const PClip named = host.Clip("DorvelFilter(\"CountingSource\", [3, [\"frames\", 12], [\"width\", 16]])");
  EXPECT_EQ(named->GetVideoInfo().num_frames, 12);
  EXPECT_EQ(named->GetVideoInfo().width, 16);

  // ["!size", 9] arrives as the positional array ["size", 9].
  const PClip exclaimed = host.Clip(
      "function FromPair(val pair) { return CountingSource(pair[1], width=pair[0] == \"size\" ? 24 : 8) }\n"
      "DorvelFilter(\"FromPair\", [[\"!size\", 9]])");
  EXPECT_EQ(TagOf(exclaimed, 0).id, 9);
  EXPECT_EQ(exclaimed->GetVideoInfo().width, 24);
}

TEST_F(RealHostRules, ErrorsReachTheScriptAsTheHostReportsThem) {
  host.Eval("function NotAClip() { return 3 }");
  EXPECT_EQ(host.ErrorOf("DorvelFilter(\"NotAClip\", [])"), "DorvelFilter: Clip could not be opened (in NotAClip())");
  const PClip notAClip = host.Clip("DorvelFilter(\"NotAClip\", [], t)");
  EXPECT_EQ(HostErrorOf([&] { TagOf(notAClip, 0); }), "DorvelFilter: Clip could not be opened (in NotAClip())");

  // Arguments the function does not take, found when the call is made at once.
  EXPECT_EQ(host.ErrorOf("DorvelFilter(\"CountingSource\", [\"not a number\"])"),
            "Script error: Invalid arguments to function 'DorvelFilter'.");
  EXPECT_EQ(host.ErrorOf("DorvelFilter(\"NoSuchFunction\", [1])"),
            "DorvelFilter: there is no function named \"NoSuchFunction\"");
  EXPECT_EQ(host.ErrorOf("DorvelFilter(\"CountingSource\", [1, [\"nosuch\", 2]])"),
            "Script error: CountingSource does not have a named argument \"nosuch\"");
  EXPECT_EQ(counting::Alive(), 0);
}

TEST_F(RealHostRules, ArgumentsTheFunctionDoesNotTakeFailTheFrameRequestWithAScriptError) {
  // Found only at the first frame request: the host's not-found signal must
  // not leave the request as anything but a script error.
  const PClip filter = Deferred(1, ", \"not a number\"");
  EXPECT_EQ(HostErrorOf([&] { TagOf(filter, 0); }),
            "DorvelFilter: Invalid arguments to function 'CountingSource' (in CountingSource(1, \"not a number\"))");
  EXPECT_EQ(host.ErrorOf("DorvelFilter(\"NoSuchFunction\", [1], t)"),
            "DorvelFilter: there is no function named \"NoSuchFunction\"")
      << "a function that does not exist is found where the filter is made, template or not";
}

TEST_F(RealHostRules, TheHostsErrorsAboutNamedArgumentsReachTheFrameRequestUnchanged) {
  const auto firstFrameError = [&](const std::string& more) {
    const PClip filter = Deferred(2, more);
    return HostErrorOf([&] { TagOf(filter, 0); });
  };
  EXPECT_EQ(firstFrameError(", [\"nosuch\", 2]"),
            "Script error: CountingSource does not have a named argument \"nosuch\"");
  // From 3.7.5 on the host adds what was given.
  const std::string wrongType = "Script error: the named argument \"frames\" to CountingSource had the wrong type";
  EXPECT_EQ(firstFrameError(", [\"frames\", \"ten\"]").substr(0, wrongType.size()), wrongType);
  const std::string twice = "Script error: the named argument \"frames\" was passed more than once";
  EXPECT_EQ(firstFrameError(", [\"frames\", 10], [\"frames\", 20]").substr(0, twice.size()), twice);
  EXPECT_EQ(counting::Opens(), 0);
}

TEST_F(RealHostRules, AFailedOpeningIsTriedAgainAtTheNextRequest) {
  const PClip filter = Deferred(4, ", [\"fail\", 1]");
  EXPECT_EQ(HostErrorOf([&] { TagOf(filter, 0); }), "CountingSource: source 4 failed to open, as asked");
  EXPECT_EQ(counting::Alive(4), 0);
  EXPECT_EQ(TagOf(filter, 1).id, 4);
  EXPECT_EQ(counting::Opens(4), 1);
}

TEST_F(RealHostRules, AudioOpensAClosedFilterAndParityDoesNot) {
  host.Eval("DorvelFilterLimit(1)");
  const PClip a = Deferred(5), b = Deferred(6);
  EXPECT_FALSE(a->GetParity(0));
  int16_t samples[8] = {};
  a->GetAudio(samples, 0, 8, host.env());
  for (const int16_t sample : samples) EXPECT_EQ(sample, 5);
  EXPECT_TRUE(a->GetParity(0));

  TagOf(b, 0);  // closes a
  EXPECT_FALSE(a->GetParity(0));
  EXPECT_EQ(counting::Alive(5), 0);
}

TEST_F(RealHostRules, DestroyingAnOpenFilterFreesItsPlace) {
  host.Eval("DorvelFilterLimit(2)");
  PClip a = Deferred(0);
  const PClip b = Deferred(1), c = Deferred(2);
  TagOf(a, 0);
  TagOf(b, 0);
  a = nullptr;
  EXPECT_EQ(counting::Alive(0), 0);
  TagOf(c, 0);
  EXPECT_EQ(OpenSources(3), 0b110u);
}

TEST_F(RealHostRules, FramesAndAudioAreThoseOfTheSameScriptWithoutTheModule) {
  std::string deferred = "DorvelFilterLimit(1)\nt", direct = "t";
  for (int id = 0; id < 5; ++id) {
    deferred += " ++ DorvelFilter(\"CountingSource\", [" + std::to_string(id) + ", [\"frames\", 20]], t.Trim(0, 19))";
    direct += " ++ CountingSource(" + std::to_string(id) + ", frames=20)";
  }
  const PClip withModule = host.Clip(deferred), without = host.Clip(direct);
  EXPECT_EQ(FrameDigests(withModule, host.env()), FrameDigests(without, host.env()));

  std::vector<int16_t> heard(4000 * 5), expected(heard.size());
  const int64_t start = 48000 * 100 / 25 - 2000;  // across the template into the sources
  withModule->GetAudio(heard.data(), start, static_cast<int64_t>(heard.size()), host.env());
  without->GetAudio(expected.data(), start, static_cast<int64_t>(expected.size()), host.env());
  EXPECT_EQ(heard, expected);
  EXPECT_EQ(counting::PeakAlive(), 5 + 1);  // the direct splice's five, and one deferred
}

}  // namespace
