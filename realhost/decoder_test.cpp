// The module over a real decoder: FFMS2's FFVideoSource reading H.264 files
// made for the suite, where every opening is a real decoder with its own
// open file.
#include <gtest/gtest.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "host_session.h"

namespace {

const std::string kMedia = DORVEL_MEDIA_DIR;
constexpr int kFiles = 30, kFramesPerFile = 50, kLimit = 2;

std::string Part(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "/part%02d.mkv", i);
  return kMedia + name;
}

// How many of this process's file descriptors point into `folder`.
int OpenFilesIn(const std::string& folder) {
  int count = 0;
  DIR* fds = opendir("/proc/self/fd");
  if (fds == nullptr) return -1;
  while (const dirent* entry = readdir(fds)) {
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    char target[4096];
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    if (std::string(target, static_cast<std::size_t>(length)).rfind(folder + "/", 0) == 0) ++count;
  }
  closedir(fds);
  return count;
}

class RealDecoder : public ::testing::Test {
 protected:
  void SetUp() override {
    host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
    host.Eval("t = BlankClip(length=" + std::to_string(kFramesPerFile) +
              ", width=320, height=240, fps=25, pixel_type=\"YV12\", audio_rate=0)");
  }

  // FFVideoSource over `file`; cache=false keeps the index out of the media
  // folder, which both hosts' cases read at once.
  static std::string Source(const std::string& file, bool deferred) {
    return deferred ? "DorvelFilter(\"FFVideoSource\", [\"" + file + "\", [\"cache\", false]], t)"
                    : "FFVideoSource(\"" + file + "\", cache=false)";
  }
  static std::string Splice(bool deferred) {
    const std::string limit = deferred ? "DorvelFilterLimit(" + std::to_string(kLimit) + ")\n" : "";
    return limit + SpliceOf(kFiles, [&](int i) { return Source(Part(i), deferred); });
  }

  HostSession host;
};

TEST_F(RealDecoder, ASpliceOfThirtyFilesPlaysAsWithoutTheModuleWithFewFilesOpen) {
  std::vector<uint64_t> deferred;
  int mostOpen = 0;
  {
    const PClip clip = host.Clip(Splice(true));
    const VideoInfo& vi = clip->GetVideoInfo();
    ASSERT_EQ(vi.num_frames, kFiles * kFramesPerFile);
    for (int n = 0; n < vi.num_frames; ++n) {
      deferred.push_back(FrameDigest(clip->GetFrame(n, host.env()), vi));
      mostOpen = std::max(mostOpen, OpenFilesIn(kMedia));
    }
  }
  EXPECT_GE(mostOpen, 1) << "the count of open files saw none";
  EXPECT_LE(mostOpen, kLimit + 1);
  RecordProperty("most_files_open", mostOpen);

  const PClip direct = host.Clip(Splice(false));
  EXPECT_EQ(OpenFilesIn(kMedia), kFiles) << "without the module every file is open";
  EXPECT_EQ(FrameDigests(direct, host.env()), deferred);
}

TEST_F(RealDecoder, AMissingFileGivesTheDecodersErrorAtTheFirstFrameAndPlaysOnceItIsThere) {
  const std::string late = kMedia + "/late-" + std::to_string(getpid()) + ".mkv";
  std::remove(late.c_str());
  const PClip clip = host.Clip(Source(late, true));
  const std::string error = HostErrorOf([&] { clip->GetFrame(0, host.env()); });
  EXPECT_EQ(error.rfind("FFVideoSource: ", 0), 0u) << error;

  {
    std::ifstream from(Part(0), std::ios::binary);
    std::ofstream to(late, std::ios::binary);
    to << from.rdbuf();
  }
  const PClip original = host.Clip(Source(Part(0), false));
  const VideoInfo& vi = original->GetVideoInfo();
  EXPECT_EQ(FrameDigest(clip->GetFrame(7, host.env()), vi), FrameDigest(original->GetFrame(7, host.env()), vi));
  std::remove(late.c_str());
}

}  // namespace
