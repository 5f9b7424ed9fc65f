// Which filters are open, and which one gives way, under the process-wide limit.
#include <climits>

#include "module_test.h"

namespace {

class OpenLimitTest : public ModuleTest {
 protected:
  // Filters with templates, closed until asked.
  std::vector<PClip> Closed(int count, int firstId = 1) {
    std::vector<PClip> filters;
    const PClip shape = Template();
    for (int i = 0; i < count; ++i) filters.push_back(Deferred(firstId + i, shape));
    return filters;
  }
  std::vector<bool> OpenStates(const std::vector<PClip>& filters) {
    std::vector<bool> states;
    for (const PClip& filter : filters) states.push_back(IsOpen(filter));
    return states;
  }
};

TEST_F(OpenLimitTest, TheFilterOpenedLongestAgoGivesWay) {
  std::vector<PClip> filters = Closed(5);
  EXPECT_EQ(OpenStates(filters), std::vector<bool>(5, false));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(SourceOf(filters[i]), i + 1);
  EXPECT_EQ(OpenStates(filters), (std::vector<bool>{false, true, true, true, true}));
  EXPECT_EQ(stats.alive, 4);

  // Asked again, the first reopens by calling its function again, and the
  // second one asked is the one to go.
  EXPECT_EQ(SourceOf(filters[0], 7), 1);
  EXPECT_EQ(OpenStates(filters), (std::vector<bool>{true, false, true, true, true}));
  EXPECT_EQ(stats.opens, 6);
  EXPECT_EQ(stats.alive, 4);
}

TEST_F(OpenLimitTest, RequestsDoNotMakeAFilterYounger) {
  std::vector<PClip> filters = Closed(5);
  for (int i = 0; i < 4; ++i) SourceOf(filters[i]);
  for (int n = 0; n < 10; ++n) SourceOf(filters[0], n);
  SourceOf(filters[4]);
  EXPECT_EQ(OpenStates(filters), (std::vector<bool>{false, true, true, true, true}));
}

TEST_F(OpenLimitTest, WithoutATemplateAFilterOpensAtOnceAndCounts) {
  std::vector<PClip> filters;
  for (int i = 1; i <= 4; ++i) filters.push_back(Deferred(i));
  EXPECT_EQ(stats.opens, 4);
  EXPECT_EQ(filters[0]->GetVideoInfo().width, 320) << "the description comes from the wrapped clip";
  filters.push_back(Deferred(5));
  EXPECT_EQ(OpenStates(filters), (std::vector<bool>{false, true, true, true, true}));
  EXPECT_EQ(stats.alive, 4);
}

TEST_F(OpenLimitTest, ATemplatedFilterStaysClosedUntilFramesOrAudioAreAsked) {
  const PClip shape = Template();
  const PClip filter = Deferred(3, shape);
  EXPECT_FALSE(filter->GetParity(0));
  EXPECT_EQ(filter->GetVideoInfo().num_frames, kTemplateFrames);
  EXPECT_EQ(filter->SetCacheHints(0, 0), 0);
  EXPECT_EQ(filter->SetCacheHints(1000, 0), 0) << "the host checks that questions it does not know get 0";
  EXPECT_EQ(filter->SetCacheHints(CACHE_GET_MTMODE, 0), MT_NICE_FILTER);
  EXPECT_EQ(filter->SetCacheHints(CACHE_DONT_CACHE_ME, 0), 1) << "the filter keeps its recent frames itself";
  EXPECT_EQ(stats.opens, 0) << "parity, the description and cache hints open nothing";

  int16_t samples[8] = {};
  filter->GetAudio(samples, 0, 8, env.get());
  EXPECT_EQ(stats.opens, 1);
  EXPECT_EQ(samples[7], 3);
  EXPECT_TRUE(filter->GetParity(0));
  EXPECT_EQ(filter->GetVideoInfo().num_frames, kTemplateFrames) << "the advertised description never changes";
}

TEST_F(OpenLimitTest, DestroyingAnOpenFilterFreesItsPlace) {
  std::vector<PClip> filters;
  for (int i = 1; i <= 4; ++i) filters.push_back(Deferred(i));
  filters[2] = PClip();
  EXPECT_EQ(stats.alive, 3);
  filters.push_back(Deferred(5));
  EXPECT_EQ(stats.alive, 4);
  EXPECT_TRUE(IsOpen(filters[0])) << "nothing was closed to make room";
}

TEST_F(OpenLimitTest, TheLimitFunctionAnswersTheLimitItSet) {
  const AVSValue answer = Limit(2);
  ASSERT_TRUE(answer.IsInt());
  EXPECT_EQ(answer.AsInt(), 2);
  std::vector<PClip> filters = Closed(6);
  for (int round = 0; round < 3; ++round) {
    for (const PClip& filter : filters) {
      SourceOf(filter);
      EXPECT_LE(stats.alive, 2);
    }
  }
  EXPECT_EQ(stats.peakAlive, 2);
}

TEST_F(OpenLimitTest, LoweringTheLimitClosesNothingAndLaterOpeningsSwapOneForOne) {
  std::vector<PClip> filters;
  for (int i = 1; i <= 4; ++i) filters.push_back(Deferred(i));
  EXPECT_EQ(Limit(1).AsInt(), 1);
  EXPECT_EQ(stats.alive, 4);
  filters.push_back(Deferred(5));
  EXPECT_EQ(OpenStates(filters), (std::vector<bool>{false, true, true, true, true}));
}

TEST_F(OpenLimitTest, ZeroKeepsOneOpenAsOneDoes) {
  Limit(0);
  std::vector<PClip> filters = Closed(3);
  for (const PClip& filter : filters) SourceOf(filter);
  EXPECT_EQ(OpenStates(filters), (std::vector<bool>{false, false, true}));
}

TEST_F(OpenLimitTest, ANegativeLimitMeansNoLimit) {
  for (int limit : {-1, INT_MIN}) {
    Limit(limit);
    std::vector<PClip> filters = Closed(12);
    for (const PClip& filter : filters) SourceOf(filter);
    EXPECT_EQ(stats.alive, 12) << "limit " << limit;
  }
}

TEST_F(OpenLimitTest, ALargeLimitIsNotReadAsNegative) {
  Limit(INT_MAX);
  std::vector<PClip> filters = Closed(9);
  for (const PClip& filter : filters) SourceOf(filter);
  EXPECT_EQ(stats.alive, 9);
}

TEST_F(OpenLimitTest, AFilterReportsTheHostInterfaceVersion) {
  const PClip filter = Deferred(1);
  EXPECT_EQ(filter->GetVersion(), 11);
}

}  // namespace
