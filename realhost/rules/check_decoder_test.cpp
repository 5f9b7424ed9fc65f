// DorvelFilterCheck over a real decoder: FFMS2's errors at the line that made
// the faulty part, and a checked splice of many parts that never holds more
// than one part's memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "host_session.h"

namespace {

const std::string kMedia = DORVEL_MEDIA_DIR;
constexpr int kFiles = 30;

std::string Part(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "/part%02d.mkv", i % kFiles);
  return kMedia + name;
}

// One line of /proc/self/status, in MiB.
double StatusMib(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::string(field).size())) / 1024.0;
  }
  return -1;
}

// The process's resident memory now, with its peak reset to it (Linux 4.0 on).
double ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
  return StatusMib("VmRSS:");
}

class RealDecoderCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
    host.Eval("t = BlankClip(length=50, width=320, height=240, fps=25, pixel_type=\"YV12\", audio_rate=0)");
  }

  // DorvelFilterCheck, then a splice of `parts` filters over the media's
  // files; the middle one reads `file` instead, when one is given.
  static std::string Checked(int parts, const std::string& file = "",
                             const std::string& more = ", [\"cache\", false]") {
    const auto part = [&](int i) {
      return "DorvelFilter(\"FFVideoSource\", [\"" + (i == parts / 2 && !file.empty() ? file : Part(i)) + "\"" + more +
             "], t)";
    };
    return "DorvelFilterCheck()\n" + (parts == 1 ? part(0) : SpliceOf(parts, part));
  }

  HostSession host;
};

TEST_F(RealDecoderCheck, AMissingFileAWrongLengthAndAWrongArgumentNameFailTheScriptAtLoad) {
  const std::string missing = host.ErrorOf(Checked(30, kMedia + "/part150.mkv"));
  EXPECT_EQ(missing.rfind("FFVideoSource: ", 0), 0u) << missing;
  EXPECT_EQ(host.ErrorOf(Checked(30, kMedia + "/short30.mkv")),
            "DorvelFilter: FFVideoSource made a clip of 30 frames, but the template has 50 (in FFVideoSource(\"" +
                kMedia + "/short30.mkv\", cache=false))");
  const std::string misnamed = host.ErrorOf(Checked(3, "", ", [\"cach\", false]"));
  EXPECT_NE(misnamed.find("FFVideoSource does not have a named argument \"cach\""), std::string::npos) << misnamed;
  EXPECT_EQ(host.ErrorOf("DorvelFilter(\"FFVideoSrc\", [\"" + Part(0) + "\"], t)"),
            "DorvelFilter: there is no function named \"FFVideoSrc\"");
}

TEST_F(RealDecoderCheck, AHundredPartCheckNeedsNoMoreMemoryThanAboutOnePart) {
  // The first opening also brings the decoder's libraries in.
  double before = ResetPeak();
  { const PClip one = host.Clip(Checked(1)); }
  const double onePart = StatusMib("VmHWM:") - before;
  before = ResetPeak();
  const PClip hundred = host.Clip(Checked(100));
  const double hundredParts = StatusMib("VmHWM:") - before;
  RecordProperty("one_part_peak_kib", static_cast<int>(onePart * 1024));
  RecordProperty("hundred_part_peak_kib", static_cast<int>(hundredParts * 1024));
  ASSERT_GT(onePart, 0.0) << "the peak could not be read";
  EXPECT_LE(hundredParts, onePart * 1.5) << "one part: " << onePart << " MiB; a hundred: " << hundredParts << " MiB";
  EXPECT_EQ(hundred->GetVideoInfo().num_frames, 5000);
}

}  // namespace
