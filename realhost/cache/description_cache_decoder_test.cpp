// The description cache over FFMS2: a second load of a template-less splice
// of video and audio parts of different lengths opens no decoder, and plays
// as the direct script does, frame for frame and sample for sample; a file
// whose time changes is opened again while the script loads. The host's log
// tells what was opened.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "host_session.h"

namespace {

namespace fs = std::filesystem;

const fs::path kMedia = DORVEL_MEDIA_DIR;

int Count(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

class RealDecoderDescriptionCache : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("dorvel-cache-ffms2-" + std::to_string(std::random_device()()));
    fs::create_directories(folder);
    for (const char* name : {"part00.mkv", "short30.mkv", "part01.mkv", "part02.mkv"}) {
      fs::copy_file(kMedia / name, folder / name);
      files.push_back(folder / name);
    }
    logFile = folder / "host.log";
  }
  void TearDown() override { fs::remove_all(folder); }

  std::string Splice(bool withModule) const {
    std::string splice = "UnalignedSplice(";
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::string name = "\"" + files[i].string() + "\"";
      const std::string args = "[" + name + ", [\"cache\", false]]";
      splice += (i > 0 ? ", " : "") + (withModule ? "AudioDub(DorvelFilter(\"FFVideoSource\", " + args +
                                                        "), DorvelFilter(\"FFAudioSource\", " + args + "))"
                                                  : "AudioDub(FFVideoSource(" + name +
                                                        ", cache=false), FFAudioSource(" + name + ", cache=false))");
    }
    return splice + ")";
  }

  struct Played {
    int openedWhileLoading = 0;
    std::vector<uint64_t> frames;
    std::vector<unsigned char> audio;
  };

  Played Play(bool withModule) {
    Played played;
    fs::remove(logFile);
    HostSession host;
    host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
    const std::string start = withModule
                                  ? "SetLogParams(\"" + logFile.string() + "\", LOG_INFO)\nDorvelFilterCache(\"" +
                                        (folder / "parts.dorvelcache").string() + "\")\n"
                                  : "";
    const PClip clip = host.Clip(start + Splice(withModule));
    if (withModule) {
      std::ifstream log(logFile);
      std::stringstream text;
      text << log.rdbuf();
      played.openedWhileLoading = Count(text.str(), "DorvelFilter: opened ");
    }
    played.frames = FrameDigests(clip, host.env());
    played.audio = AllAudio(clip, host.env());
    return played;
  }

  fs::path folder, logFile;
  std::vector<fs::path> files;
};

TEST_F(RealDecoderDescriptionCache, ASecondLoadOpensNoDecoderAndPlaysAsTheDirectScript) {
  const Played direct = Play(false);
  const Played first = Play(true);
  EXPECT_EQ(first.openedWhileLoading, 8);
  const Played second = Play(true);
  EXPECT_EQ(second.openedWhileLoading, 0);
  ASSERT_EQ(direct.frames.size(), 180u);
  EXPECT_EQ(second.frames, direct.frames);
  EXPECT_TRUE(second.audio == direct.audio) << "each part's audio is its own, sample for sample";
  EXPECT_EQ(first.frames, direct.frames);

  // A file whose time changed is opened again, video and audio; the rest are not.
  fs::last_write_time(files[1], fs::last_write_time(files[1]) + std::chrono::seconds(5));
  EXPECT_EQ(Play(true).openedWhileLoading, 2);
  EXPECT_EQ(Play(true).openedWhileLoading, 0);
}

}  // namespace
