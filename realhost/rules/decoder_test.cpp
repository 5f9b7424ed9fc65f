// The module over a real decoder: FFMS2's FFVideoSource and FFAudioSource
// reading the H.264 video and FLAC audio of files made for the suite, where
// every opening is a real decoder with its own open file.
#include <dirent.h>
#include <gtest/gtest.h>
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

// Each file's video and audio behind a DorvelFilter each, joined by AudioDub
// (templates `v` and `a` come from DubTemplates()).
std::string AudioDubSplice(bool deferred) {
  const std::string limit = deferred ? "DorvelFilterLimit(" + std::to_string(kLimit) + ")\n" : "";
  return limit + SpliceOf(kFiles, [&](int i) {
           const std::string file = "\"" + Part(i) + "\"";
           return deferred
                      ? "AudioDub(DorvelFilter(\"FFVideoSource\", [" + file + ", [\"cache\", false]], v), " +
                            "DorvelFilter(\"FFAudioSource\", [" + file + ", [\"cache\", false]], a))"
                      : "AudioDub(FFVideoSource(" + file + ", cache=false), FFAudioSource(" + file + ", cache=false))";
         });
}

std::string DubTemplates() {
  return "v = BlankClip(FFVideoSource(\"" + Part(0) + "\", cache=false), length=" + std::to_string(kFramesPerFile) +
         ")\na = BlankClip(FFAudioSource(\"" + Part(0) + "\", cache=false))";
}

TEST_F(RealDecoder, FramesLetGoForTheBudgetAndDecodedAgainAreTheSameFrames) {
  // Each part, its first 15 frames, made 1920x1080 16-bit 4:4:4 inside its
  // function (12.4 MB a frame); the host's least limit, 64 MB, leaves 48 MB
  // for kept frames: three frames, for the five TemporalSoften(2) reads.
  // Frames go while their window still needs them, and the decoder seeks
  // back to make them again.
  constexpr int kFrames = 15;
  host.Eval(
      "SetMemoryMax(64)\n"
      "function Big(string f) { return FFVideoSource(f, cache=false).Trim(0, " +
      std::to_string(kFrames - 1) +
      ").ConvertToYUV444().ConvertBits(16).PointResize(1920, 1080) }\n"
      "big = BlankClip(length=" +
      std::to_string(kFrames) + ", width=1920, height=1080, fps=25, pixel_type=\"YUV444P16\", audio_rate=0)");
  auto splice = [](bool deferred) {
    return SpliceOf(2, [&](int i) {
      const std::string file = "\"" + Part(i) + "\"";
      return (deferred ? "DorvelFilter(\"Big\", [" + file + "], big)" : "Big(" + file + ")") +
             ".TemporalSoften(2, 4, 8)";
    });
  };
  const std::vector<uint64_t> direct = FrameDigests(host.Clip(splice(false)), host.env());
  const std::vector<uint64_t> deferred = FrameDigests(host.Clip(splice(true)), host.env());
  ASSERT_EQ(direct.size(), static_cast<std::size_t>(2 * kFrames));
  EXPECT_EQ(deferred, direct);
}

TEST_F(RealDecoder, AudioAndVideoOfEachFileMatchWithoutTheModuleReadForwardsAndBackwards) {
  // Under limit 2 every part is opened anew on each pass.
  host.Eval(DubTemplates());
  const PClip direct = host.Clip(AudioDubSplice(false));
  const VideoInfo& vi = direct->GetVideoInfo();
  ASSERT_TRUE(vi.HasAudio());
  ASSERT_EQ(vi.nchannels, 2);
  const std::vector<unsigned char> expected = AllAudio(direct, host.env(), false);
  EXPECT_NE(std::count(expected.begin(), expected.end(), 0), static_cast<std::ptrdiff_t>(expected.size()))
      << "the files' audio is silent";

  const PClip deferred = host.Clip(AudioDubSplice(true));
  ASSERT_EQ(deferred->GetVideoInfo().num_audio_samples, vi.num_audio_samples);
  EXPECT_TRUE(AllAudio(deferred, host.env(), false) == expected) << "audio read forwards differs";
  EXPECT_TRUE(AllAudio(deferred, host.env(), true) == expected) << "audio read backwards differs";
  EXPECT_EQ(FrameDigests(deferred, host.env()), FrameDigests(direct, host.env()));
}

TEST_F(RealDecoder, UnderPrefetchEachDecoderIsEnteredByOneThreadAndFramesAndAudioAreTheSerialOnes) {
  // FFMS2's decoders, made while frames are requested, have no guard of the
  // host's; several prefetch threads reaching one of them at once crash it.
  host.Eval(DubTemplates());
  const PClip serial = host.Clip(AudioDubSplice(true));
  const std::vector<uint64_t> frames = FrameDigests(serial, host.env());
  const std::vector<unsigned char> audio = AllAudio(serial, host.env(), false);
  for (int run = 0; run < 3; ++run) {
    const PClip prefetched = host.Clip(AudioDubSplice(true) + ".Prefetch(4)");
    EXPECT_EQ(FrameDigests(prefetched, host.env()), frames) << "run " << run;
    EXPECT_TRUE(AllAudio(prefetched, host.env(), false) == audio) << "run " << run;
  }
}

TEST_F(RealDecoder, AudioPastTheEndOfAShorterFileIsSilenceInReadsThatStraddleIt) {
  // A 30-frame file under the 50-frame audio template of the other parts:
  // FFAudioSource fails any request that reaches past its own end.
  host.Eval("a = FFAudioSource(\"" + Part(0) + "\", cache=false)");
  const std::string shortFile = "\"" + kMedia + "/short30.mkv\"";
  const PClip direct = host.Clip("FFAudioSource(" + shortFile + ", cache=false)");
  const PClip deferred = host.Clip("DorvelFilter(\"FFAudioSource\", [" + shortFile + ", [\"cache\", false]], a)");
  const VideoInfo& vi = deferred->GetVideoInfo();
  const int64_t has = direct->GetVideoInfo().num_audio_samples, bytes = vi.BytesPerAudioSample();
  ASSERT_EQ(has * 5, vi.num_audio_samples * 3) << "30 frames' audio of 50";
  const std::vector<unsigned char> own = AllAudio(direct, host.env());

  // Chunks of 7000 samples from 3000 before the start to past the
  // template's end; one of them straddles the file's end.
  constexpr int64_t kChunk = 7000, kFrom = -3000;
  std::vector<unsigned char> heard(static_cast<std::size_t>((vi.num_audio_samples - kFrom) * bytes), 0x55);
  for (int64_t start = kFrom; start < vi.num_audio_samples; start += kChunk) {
    const int64_t count = std::min(kChunk, vi.num_audio_samples - start);
    ASSERT_EQ(HostErrorOf([&] {
                deferred->GetAudio(&heard[static_cast<std::size_t>((start - kFrom) * bytes)], start, count, host.env());
              }),
              "")
        << "samples " << start << " to " << start + count;
  }
  const auto fileStart = heard.begin() - kFrom * bytes, fileEnd = fileStart + has * bytes;
  EXPECT_TRUE(std::all_of(heard.begin(), fileStart, [](unsigned char b) { return b == 0; })) << "before the start";
  EXPECT_TRUE(std::equal(fileStart, fileEnd, own.begin(), own.end())) << "the file's own audio";
  EXPECT_TRUE(std::all_of(fileEnd, heard.end(), [](unsigned char b) { return b == 0; })) << "past the file's end";
}

TEST_F(RealDecoder, AFileOfAnotherAudioRateIsRefusedWithBothRatesNamed) {
  host.Eval("a = FFAudioSource(\"" + Part(0) + "\", cache=false)");
  const PClip deferred =
      host.Clip("DorvelFilter(\"FFAudioSource\", [\"" + kMedia + "/rate44100.mkv\", [\"cache\", false]], a)");
  const int openBefore = OpenFilesIn(kMedia);  // the template's file
  unsigned char samples[64];
  EXPECT_EQ(HostErrorOf([&] { deferred->GetAudio(samples, 0, 16, host.env()); }),
            "DorvelFilter: FFAudioSource made 2 channels of 16-bit audio at 44100 Hz, but the template has 2 channels "
            "of 16-bit audio at 48000 Hz (in FFAudioSource(\"" +
                kMedia + "/rate44100.mkv\", cache=false))");
  EXPECT_EQ(OpenFilesIn(kMedia), openBefore) << "the refused clip was released at once";
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
