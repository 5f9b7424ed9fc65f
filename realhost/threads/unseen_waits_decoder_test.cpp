// The wait the module cannot see, with FFMS2 for every source: part A's
// function indexes a file and then reads a frame through a serialized Invert
// over part B, while a host thread inside that Invert asks B to open. The
// script has no cycle, so under Prefetch it must play as without the module:
// the same frames, no hang, no error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "beside_runs.h"
#include "host_session.h"

namespace {

const std::string kMedia = DORVEL_MEDIA_DIR;

std::string Source(const std::string& name) { return "FFVideoSource(\"" + kMedia + "/" + name + "\", cache=false)"; }

// One frame of each part, so that the host's threads ask for A and G2 at
// once. `wrapped` false gives the same script without the module.
std::string Script(int threads, bool wrapped) {
  const std::string b =
      wrapped ? "DorvelFilter(\"FFVideoSource\", [\"" + kMedia + "/part01.mkv\", [\"cache\", false]], t).Trim(0, -1)"
              : Source("part01.mkv") + ".Trim(0, -1)";
  const std::string a = wrapped ? "DorvelFilter(\"PartA\", [], t.Trim(0, -1))" : "PartA()";
  return "SetFilterMTMode(\"Invert\", 3, true)\n"
         "t = " +
         Source("part00.mkv") + "\nglobal G2 = " + b +
         ".Invert()\n"
         "function PartA() {\n"
         "  c = " +
         Source("part02.mkv") +
         ".Trim(0, -1)\n"
         "  current_frame = 0\n"
         "  y = AverageLuma(G2)\n"
         "  return c\n"
         "}\n"
         "a = " +
         a + "\nplayed = (BlankClip(t, length=30) ++ a ++ G2)" +
         (threads > 0 ? ".Prefetch(" + std::to_string(threads) + ")" : "") + "\nplayed";
}

class RealDecoderUnseenWaits : public ::testing::TestWithParam<int> {};

TEST_P(RealDecoderUnseenWaits, AnIndexingOpeningThatReadsThroughASerializedFilterPlaysAsOnOneThread) {
  const int threads = GetParam();
  std::vector<uint64_t> direct;
  {
    HostSession host;
    host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
    direct = FrameDigests(host.Clip(Script(0, false)), host.env());
  }
  ASSERT_EQ(direct.size(), 32u);
  const int met = PlayRunsBeside("unseen_waits_ffms2_Prefetch" + std::to_string(threads), Script(threads, true), direct,
                                 4, [](HostSession& host) { host.LoadPlugin(DORVEL_FFMS2_PLUGIN); });
  // The host's threads race for A and G2: one run meeting the shape is enough.
  EXPECT_GE(met, 1) << "no run met the shape: the case shows nothing";
}

INSTANTIATE_TEST_SUITE_P(Prefetch, RealDecoderUnseenWaits, ::testing::Values(2, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Prefetch" + std::to_string(info.param);
                         });

}  // namespace
