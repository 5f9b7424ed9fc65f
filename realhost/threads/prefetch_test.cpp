// The module under the host's own multithreading: Prefetch requests frames of
// one clip, and of different clips, from several threads at once.
#include <gtest/gtest.h>

#include <string>

#include "counting_source.h"
#include "host_session.h"

namespace {

enum class TemplateGiven { Positionally, ByName };

// A splice of `sources` templated filters over counting sources of `frames`
// frames each, under `limit`, with Prefetch(threads) when threads > 0.
std::string Splice(int sources, int frames, int limit, int threads, TemplateGiven given) {
  std::string script = "t = " + CountingTemplate(frames) + "\nDorvelFilterLimit(" + std::to_string(limit) + ")\n";
  script += SpliceOf(sources, [&](int id) {
    return "DorvelFilter(\"CountingSource\", [" + std::to_string(id) + ", [\"frames\", " + std::to_string(frames) +
           "]], " + (given == TemplateGiven::ByName ? "vi_clip=t" : "t") + ")";
  });
  if (threads > 0) script += ".Prefetch(" + std::to_string(threads) + ")";
  return script;
}

TEST(RealHostPrefetch, HundredsOfFiltersUnderASmallLimitEachGiveTheirOwnFrames) {
  constexpr int kSources = 300, kFrames = 10;
  for (int run = 0; run < 5; ++run) {
    HostSession host;
    const PClip clip = host.Clip(Splice(kSources, kFrames, 3, 4, TemplateGiven::Positionally));
    int wrong = 0;
    for (int n = 0; n < kSources * kFrames; ++n) {
      const counting::Tag tag = counting::TagOf(clip->GetFrame(n, host.env()));
      if (tag.id != n / kFrames || tag.frame != n % kFrames) ++wrong;
    }
    EXPECT_EQ(wrong, 0) << "run " << run;
  }
}

class OneInstancePerFilter : public ::testing::TestWithParam<TemplateGiven> {};

TEST_P(OneInstancePerFilter, PrefetchOpensEachSourceOnceAndChangesNoFrame) {
  constexpr int kSources = 40, kFrames = 100;
  HostSession host;
  const std::vector<uint64_t> serial =
      FrameDigests(host.Clip(Splice(kSources, kFrames, 2, 0, GetParam())), host.env());
  counting::Reset();

  const std::vector<uint64_t> prefetched =
      FrameDigests(host.Clip(Splice(kSources, kFrames, 2, 4, GetParam())), host.env());
  EXPECT_EQ(prefetched, serial);
  int reopened = 0;
  for (int id = 0; id < kSources; ++id) reopened += counting::Opens(id) != 1;
  EXPECT_EQ(reopened, 0) << "sources opened more than once; " << counting::Opens() << " openings in all";
}

INSTANTIATE_TEST_SUITE_P(Template, OneInstancePerFilter,
                         ::testing::Values(TemplateGiven::Positionally, TemplateGiven::ByName),
                         [](const ::testing::TestParamInfo<TemplateGiven>& info) {
                           return info.param == TemplateGiven::Positionally ? "Positional" : "Named";
                         });

}  // namespace
