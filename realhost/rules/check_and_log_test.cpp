// Load-time checks and the host's log inside a real host: the messages a
// script sees, DorvelFilterCheck at the line that made a filter, and the lines
// the module leaves in the host's own log.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "counting_source.h"
#include "host_session.h"

namespace {

// The module's lines in a log file that the host wrote, without the host's
// separators and lines of its own.
std::vector<std::string> ModuleLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  for (std::string line; std::getline(file, line);) {
    if (line.find(": DorvelFilter: ") != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Starting(const std::vector<std::string>& lines, const std::string& start) {
  std::vector<std::string> found;
  for (const std::string& line : lines) {
    if (line.rfind(start, 0) == 0) found.push_back(line);
  }
  return found;
}

class RealHostCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    counting::Reset();
    host.Eval("t = " + CountingTemplate());
  }

  // Script text: a templated filter over counting source `id`.
  static std::string Part(int id, const std::string& more = "") {
    return "DorvelFilter(\"CountingSource\", [" + std::to_string(id) + more + "], t)";
  }

  HostSession host;
};

TEST_F(RealHostCheck, EachMessageReachesTheScript) {
  EXPECT_EQ(host.ErrorOf("DorvelFilter(\"CountingSrc\", [1], t)"),
            "DorvelFilter: there is no function named \"CountingSrc\"");
  const PClip shorter = host.Clip(Part(1, ", [\"frames\", 40]"));
  EXPECT_EQ(HostErrorOf([&] { shorter->GetFrame(0, host.env()); }),
            "DorvelFilter: CountingSource made a clip of 40 frames, but the template has 100 "
            "(in CountingSource(1, frames=40))");
  EXPECT_EQ(host.ErrorOf("DorvelFilterCheck()\n" + Part(2, ", [\"frames\", 40]")),
            "DorvelFilter: CountingSource made a clip of 40 frames, but the template has 100 "
            "(in CountingSource(2, frames=40))");
  EXPECT_EQ(counting::Alive(), 0);
}

TEST_F(RealHostCheck, TheCheckFailsTheScriptAtTheLineOfTheFaultyPart) {
  const std::string check = "DorvelFilterCheck()\n";
  // The counting source's "fail" fails the opening, as a missing file does.
  EXPECT_EQ(host.ErrorOf(check + "AlignedSplice(" + Part(1) + ", " + Part(2, ", [\"fail\", 1]") + ")"),
            "CountingSource: source 2 failed to open, as asked");
  EXPECT_EQ(host.ErrorOf(check + Part(3, ", [\"framez\", 100]")),
            "Script error: CountingSource does not have a named argument \"framez\"");
  EXPECT_EQ(host.ErrorOf(check + Part(4, ", \"not a number\"")),
            "DorvelFilter: Invalid arguments to function 'CountingSource' (in CountingSource(4, \"not a number\"))");
  EXPECT_EQ(counting::Alive(), 0);
}

TEST_F(RealHostCheck, ACheckedSpliceOpensEachPartOnceWithOnePartOpenAtATime) {
  const PClip splice = host.Clip("DorvelFilterCheck()\n" + SpliceOf(20, [](int i) { return Part(i); }) + "\n");
  EXPECT_EQ(counting::Opens(), 20);
  EXPECT_EQ(counting::PeakAlive(), 1);
  EXPECT_EQ(counting::Alive(), 0);
  EXPECT_EQ(counting::TagOf(splice->GetFrame(250, host.env())).id, 2);

  host.Eval("DorvelFilterCheck(false)");
  const PClip unchecked = host.Clip(Part(30));
  EXPECT_EQ(counting::Opens(30), 0);
}

TEST_F(RealHostCheck, FiltersMadeInsideAnOpeningAreNotChecked) {
  host.Eval("global g = t\nDorvelFilterCheck()");
  const PClip outer = host.Clip("DorvelFilter(\"Eval\", [\"\"\"DorvelFilter(\"CountingSource\", [41], g)\"\"\"], t)");
  EXPECT_EQ(counting::Opens(41), 0) << "the inner filter was made during the outer's check, at frame time";
  EXPECT_EQ(counting::TagOf(outer->GetFrame(3, host.env())).id, 41);
}

TEST_F(RealHostCheck, TheCheckHoldsAfterATopLevelCurrentFrame) {
  // The usual way to call a runtime function while the script loads.
  host.Eval("t25 = " + CountingTemplate(25) + "\nDorvelFilterCheck()\ncurrent_frame = 0\ny = AverageLuma(t25)");
  EXPECT_EQ(host.ErrorOf("DorvelFilter(\"CountingSource\", [60, [\"frames\", 30]], t25)"),
            "DorvelFilter: CountingSource made a clip of 30 frames, but the template has 25 (in CountingSource(60, "
            "frames=30))");
  const PClip fits = host.Clip("DorvelFilter(\"CountingSource\", [61, [\"frames\", 25]], t25)");
  EXPECT_EQ(counting::Opens(61), 1);
  EXPECT_EQ(counting::Alive(), 0);
}

TEST_F(RealHostCheck, FiltersMadeByARuntimeScriptAreNotChecked) {
  // current_frame set at the top level changes nothing.
  host.Eval("global g = t\nDorvelFilterCheck()\ncurrent_frame = 0");
  const PClip clip = host.Clip("ScriptClip(t, \"\"\"DorvelFilter(\"CountingSource\", [51], g)\"\"\")");
  EXPECT_EQ(counting::Opens(51), 0);
  EXPECT_EQ(counting::TagOf(clip->GetFrame(2, host.env())).id, 51);
  EXPECT_EQ(counting::Opens(51), 1) << "the filter the runtime script made was opened for its frame alone";
}

class RealHostLog : public RealHostCheck {
 protected:
  void SetUp() override {
    RealHostCheck::SetUp();
    path = ::testing::TempDir() + "dorvel_host_log_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".txt";
    std::remove(path.c_str());
  }
  void TearDown() override { std::remove(path.c_str()); }
  std::string StartLog(const char* level) { return "SetLogParams(\"" + path + "\", " + level + ")\n"; }

  std::string path;
};

TEST_F(RealHostLog, ASpliceReadThroughLogsEachOpeningAndClosingAndNoThrash) {
  const PClip splice =
      host.Clip(StartLog("LOG_INFO") + "DorvelFilterLimit(1)\n" + SpliceOf(4, [](int i) { return Part(i); }));
  for (int n = 0; n < 400; n += 7) splice->GetFrame(n, host.env());
  const std::vector<std::string> lines = ModuleLines(path);
  const auto opened = Starting(lines, "INFO: DorvelFilter: opened CountingSource(");
  ASSERT_EQ(opened.size(), 4u);
  EXPECT_EQ(opened[0].rfind("INFO: DorvelFilter: opened CountingSource(0) in ", 0), 0u) << opened[0];
  EXPECT_NE(opened[0].find(" ms; 1 open (limit 1)"), std::string::npos) << opened[0];
  const auto closed = Starting(lines, "INFO: DorvelFilter: closed CountingSource(");
  ASSERT_EQ(closed.size(), 3u);
  EXPECT_EQ(closed[2].rfind("INFO: DorvelFilter: closed CountingSource(2) to make room for CountingSource(3) "
                            "(limit 1 reached; it was open ",
                            0),
            0u)
      << closed[2];
  EXPECT_TRUE(Starting(lines, "WARNING:").empty());
}

TEST_F(RealHostLog, ThrashAndAFailedOpeningAreWarnings) {
  const PClip both =
      host.Clip(StartLog("LOG_WARNING") + "DorvelFilterLimit(1)\nInterleave(" + Part(1) + ", " + Part(2) + ")");
  for (int n = 0; n < 12; ++n) both->GetFrame(n, host.env());
  const PClip failing = host.Clip(Part(3, ", [\"fail\", 1]"));
  EXPECT_NE(HostErrorOf([&] { failing->GetFrame(0, host.env()); }), "");
  const std::vector<std::string> lines = ModuleLines(path);
  ASSERT_EQ(lines.size(), 3u) << "information is below the level the script asked for";
  EXPECT_EQ(lines[0].rfind("WARNING: DorvelFilter: closed CountingSource(1) again ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("(thrash); raise DorvelFilterLimit"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[1].rfind("WARNING: DorvelFilter: closed CountingSource(2) again ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("WARNING: DorvelFilter: opening CountingSource(3, fail=1) failed after ", 0), 0u)
      << lines[2];
}

TEST_F(RealHostLog, APartARuntimeScriptMakesIsAWarningRatherThanACheck) {
  const PClip clip = host.Clip(StartLog("LOG_WARNING") + "global g = t\nDorvelFilterCheck()\ncurrent_frame = 0\n" +
                               "ScriptClip(t, \"\"\"DorvelFilter(\"CountingSource\", [52], g)\"\"\")");
  clip->GetFrame(0, host.env());
  clip->GetFrame(1, host.env());
  EXPECT_EQ(counting::Opens(52), 2) << "one opening for each frame, none to check";
  const std::vector<std::string> lines = ModuleLines(path);
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    EXPECT_EQ(line, "WARNING: DorvelFilter: did not check CountingSource(52) against its template: it was made at "
                    "frame time, by a script that the host runs for a frame or audio request (a runtime filter's, "
                    "such as ScriptClip's)");
  }
}

TEST_F(RealHostLog, NothingIsLoggedUnlessTheScriptAsks) {
  const PClip part = host.Clip(Part(1));
  part->GetFrame(0, host.env());
  EXPECT_EQ(counting::Opens(1), 1);
  std::ifstream file(path);
  EXPECT_FALSE(file.good());
}

}  // namespace
