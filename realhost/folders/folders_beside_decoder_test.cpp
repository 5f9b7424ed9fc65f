// Two folders hold different videos under one name, a/clip.mkv and
// b/clip.mkv, each opened by FFMS2 in parts made by a script in its folder.
// The wrapped function sleeps first (a disk spinning up), longer than
// openings must stand still before others open beside them, then opens
// "clip.mkv". On Prefetch threads the parts of the two folders meet; each
// must play its own folder's video, every frame as without the module.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "beside_runs.h"
#include "folder_parts.h"
#include "host_session.h"

namespace {

const std::string kMedia = DORVEL_MEDIA_DIR;

class RealDecoderFoldersBeside : public ::testing::TestWithParam<int> {};

TEST_P(RealDecoderFoldersBeside, PartsOfTwoFoldersOpeningFilesOfOneNameEachPlayTheirOwn) {
  const int threads = GetParam();
  FolderParts parts;
  std::filesystem::create_directories(parts.root() / "a");
  std::filesystem::create_directories(parts.root() / "b");
  std::filesystem::copy_file(kMedia + "/part01.mkv", parts.root() / "a" / "clip.mkv");
  std::filesystem::copy_file(kMedia + "/part02.mkv", parts.root() / "b" / "clip.mkv");
  const std::string prelude = "global T = FFVideoSource(\"" + kMedia +
                              "/part00.mkv\", cache=false).Trim(0, 9)\n"
                              "function AsleepVideo(string file) {\n"
                              "  CountingSource(0, frames=1, open_delay_us=700000)\n"
                              "  return FFVideoSource(file, cache=false).Trim(0, 9)\n"
                              "}";
  // Two parts a side, under limit 2: the parts close and open again.
  const std::vector<FolderParts::Side> sides = {{"a", {{"AsleepVideo", "clip.mkv"}, {"AsleepVideo", "clip.mkv"}}},
                                                {"b", {{"AsleepVideo", "clip.mkv"}, {"AsleepVideo", "clip.mkv"}}}};
  const auto withDecoder = [](HostSession& host) { host.LoadPlugin(DORVEL_FFMS2_PLUGIN); };
  std::vector<uint64_t> direct;
  {
    HostSession host;
    withDecoder(host);
    direct = FrameDigests(host.Clip(parts.Main("ffms2", prelude, sides, false, 0)), host.env());
  }
  ASSERT_EQ(direct.size(), 40u);
  ASSERT_NE(direct[0], direct[1]) << "the two folders' videos must differ";
  PlayRunsBeside("folders_ffms2_Prefetch" + std::to_string(threads), parts.Main("ffms2", prelude, sides, true, threads),
                 direct, 2, withDecoder);
}

INSTANTIATE_TEST_SUITE_P(Prefetch, RealDecoderFoldersBeside, ::testing::Values(2, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Prefetch" + std::to_string(info.param);
                         });

}  // namespace
