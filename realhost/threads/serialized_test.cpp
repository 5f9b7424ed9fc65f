// Sources that may be entered by one thread at a time, as decoders are,
// behind the module under the host's Prefetch: a matrix of what the source
// says of itself, how the template is given, and how many threads read.
// Also requests that would wait for themselves, which must fail, not hang.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "counting_source.h"
#include "host_session.h"

namespace {

// Whether `text` holds `part`; a failure shows the whole text.
::testing::AssertionResult Holds(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" does not hold \"" << part << "\"";
}

enum class Given { Positional, Named, None };

constexpr int kSources = 40, kFrames = 10, kDelayUs = 300;

// `kSources` filters over counting sources of `mode`, spliced, under limit 2,
// read through Prefetch(threads) when threads > 0.
std::string Splice(int mode, Given given, int threads) {
  std::string script = "t = " + CountingTemplate(kFrames) + "\nDorvelFilterLimit(2)\n";
  script += SpliceOf(kSources, [&](int id) {
    std::string filter = "DorvelFilter(\"CountingSource\", [" + std::to_string(id) + ", [\"frames\", " +
                         std::to_string(kFrames) + "], [\"mt_mode\", " + std::to_string(mode) + "], [\"delay_us\", " +
                         std::to_string(kDelayUs) + "]]";
    if (given == Given::Positional) filter += ", t";
    if (given == Given::Named) filter += ", vi_clip=t";
    return filter + ")";
  });
  if (threads > 0) script += ".Prefetch(" + std::to_string(threads) + ")";
  return script;
}

using Case = std::tuple<int, Given, int>;  // the source's mode, the template, Prefetch threads

class SerializedSources : public ::testing::TestWithParam<Case> {};

TEST_P(SerializedSources, FramesAreTheSerialOnesAndOneThreadAtATimeEntersEachSource) {
  const int mode = std::get<0>(GetParam());
  const Given given = std::get<1>(GetParam());
  const int threads = std::get<2>(GetParam());
  HostSession host;
  const std::vector<uint64_t> serial = FrameDigests(host.Clip(Splice(mode, given, 0)), host.env());
  counting::Reset();

  const PClip clip = host.Clip(Splice(mode, given, threads));
  std::vector<uint64_t> read;
  int wrong = 0;
  for (int n = 0; n < kSources * kFrames; ++n) {
    const PVideoFrame frame = clip->GetFrame(n, host.env());
    const counting::Tag tag = counting::TagOf(frame);
    if (tag.id != n / kFrames || tag.frame != n % kFrames) ++wrong;
    read.push_back(FrameDigest(frame, clip->GetVideoInfo()));
  }
  EXPECT_EQ(wrong, 0) << "frames of the wrong source or number";
  EXPECT_EQ(read, serial);
  EXPECT_LE(counting::MostInside(), 1) << "threads were inside one source at once";
  if (given != Given::None && mode != MT_MULTI_INSTANCE) {
    int reopened = 0;
    for (int id = 0; id < kSources; ++id) reopened += counting::Opens(id) != 1;
    EXPECT_EQ(reopened, 0) << "sources opened more than once; " << counting::Opens() << " openings in all";
  }
}

std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
  static const char* const kModes[] = {"", "Nice", "MultiInstance", "Serialized"};
  static const char* const kGiven[] = {"Positional", "Named", "NoTemplate"};
  return std::string(kModes[std::get<0>(info.param)]) + "_" + kGiven[static_cast<int>(std::get<1>(info.param))] +
         "_Prefetch" + std::to_string(std::get<2>(info.param));
}

INSTANTIATE_TEST_SUITE_P(Matrix, SerializedSources,
                         ::testing::Combine(::testing::Values(MT_NICE_FILTER, MT_MULTI_INSTANCE, MT_SERIALIZED),
                                            ::testing::Values(Given::Positional, Given::Named, Given::None),
                                            ::testing::Values(0, 2, 4)),
                         CaseName);

// Hosts of interface 12 (the development builds after 3.7.5) keep a frame
// cache of their own around every filter, whatever the filter asks. Under
// Prefetch, a request that comes back through that cache for a frame in the
// making waits inside the host, where the module cannot see it, so these
// cases run there on one thread only; every other host runs them on several.
constexpr bool kHostCachesEveryFilter = AVISYNTH_INTERFACE_VERSION >= 12;

class RequestsThatWaitForThemselves : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (GetParam() > 0 && kHostCachesEveryFilter) {
      GTEST_SKIP() << "this host waits inside its own frame cache around the filter under Prefetch";
    }
  }
};

TEST_P(RequestsThatWaitForThemselves, AClipMadeFromItsOwnFilterFails) {
  const int threads = GetParam();
  HostSession host;
  const PClip clip = host.Clip("t = " + CountingTemplate(kFrames) +
                               "\n"
                               "function Selfish() { return global_f.Trim(0, 3) + CountingSource(1, frames=6) }\n"
                               "global global_f = DorvelFilter(\"Selfish\", [], t)\n" +
                               (threads > 0 ? "global_f.Prefetch(" + std::to_string(threads) + ")" : "global_f"));
  for (int n : {0, 3}) {
    EXPECT_TRUE(Holds(HostErrorOf([&] { clip->GetFrame(n, host.env()); }),
                      "DorvelFilter: the clip that Selfish made asks its own DorvelFilter"))
        << "frame " << n;
  }
}

TEST_P(RequestsThatWaitForThemselves, FunctionsThatAskEachOthersFiltersWhileMadeFail) {
  const int threads = GetParam();
  for (int run = 0; run < 3; ++run) {
    HostSession host;
    const PClip clip = host.Clip(
        "t = " + CountingTemplate(kFrames) +
        "\n"
        "function AskB() { current_frame = 0\n x = AverageLuma(global_b)\n return CountingSource(1, frames=10) }\n"
        "function AskA() { current_frame = 0\n x = AverageLuma(global_a)\n return CountingSource(2, frames=10) }\n"
        "global global_a = DorvelFilter(\"AskB\", [], t)\n"
        "global global_b = DorvelFilter(\"AskA\", [], t)\n"
        "Interleave(global_a, global_b)" +
        (threads > 0 ? ".Prefetch(" + std::to_string(threads) + ")" : ""));
    EXPECT_TRUE(Holds(HostErrorOf([&] { clip->GetFrame(0, host.env()); }), "DorvelFilter: Clip could not be opened"))
        << "run " << run;
  }
}

INSTANTIATE_TEST_SUITE_P(Prefetch, RequestsThatWaitForThemselves, ::testing::Values(0, 2, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Prefetch" + std::to_string(info.param);
                         });

}  // namespace
