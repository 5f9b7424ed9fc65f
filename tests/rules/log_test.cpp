// The host's log: the stand-in keeps it as the host does, and the module
// writes its openings and closings there.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "module_test.h"

namespace {

class LogTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    path = ::testing::TempDir() + "dorvel_log_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".txt";
    std::remove(path.c_str());
  }
  void TearDown() override {
    std::remove(path.c_str());
    ModuleTest::TearDown();
  }

  void StartLog(int level) { env->Call("SetLogParams", {AVSValue(path.c_str()), AVSValue(level)}); }

  // The log's lines, without the host's separators.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
      if (line.find_first_not_of('-') != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  // The lines that begin with `start`.
  std::vector<std::string> LinesStarting(const std::string& start) const {
    std::vector<std::string> found;
    for (const std::string& line : Lines()) {
      if (line.compare(0, start.size(), start) == 0) found.push_back(line);
    }
    return found;
  }

  std::string path;
};

TEST_F(LogTest, TheStandInWritesOnlyAfterSetLogParamsAndUpToItsLevel) {
  env->Call("LogMsg", {AVSValue("early"), AVSValue(1)});
  StartLog(2);
  env->Call("LogMsg", {AVSValue("kept"), AVSValue(2)});
  env->Call("LogMsg", {AVSValue("dropped"), AVSValue(3)});
  env->Call("LogMsg", {AVSValue("error"), AVSValue(1)});
  EXPECT_EQ(Lines(), (std::vector<std::string>{"WARNING: kept", "ERROR: error"}));
  EXPECT_THROW(env->Call("LogMsg", {AVSValue("x"), AVSValue(5)}), AvisynthError);
  EXPECT_THROW(env->Call("SetLogParams", {AVSValue("/no/such/folder/log.txt"), AVSValue(3)}), AvisynthError);
}

TEST_F(LogTest, NothingIsWrittenUnlessTheScriptAsks) {
  Limit(1);
  const PClip a = Deferred(1);
  const PClip b = Deferred(2);
  SourceOf(a);
  EXPECT_EQ(stats.opens, 3);
  EXPECT_TRUE(Lines().empty());
}

TEST_F(LogTest, OpeningsAndClosingsForRoomAreInformation) {
  StartLog(3);
  Limit(2);
  const PClip shape = Template();
  std::vector<PClip> parts;
  for (int i = 1; i <= 3; ++i) parts.push_back(Deferred(i, shape));
  for (const PClip& part : parts) SourceOf(part);
  const std::vector<std::string> opened = LinesStarting("INFO: DorvelFilter: opened ");
  ASSERT_EQ(opened.size(), 3u);
  EXPECT_EQ(opened[0].rfind("INFO: DorvelFilter: opened Source(1) in ", 0), 0u) << opened[0];
  EXPECT_NE(opened[0].find(" ms; 1 open (limit 2)"), std::string::npos) << opened[0];
  EXPECT_NE(opened[2].find(" ms; 2 open (limit 2)"), std::string::npos) << opened[2];
  const std::vector<std::string> closed = LinesStarting("INFO: DorvelFilter: closed ");
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0].rfind("INFO: DorvelFilter: closed Source(1) to make room for Source(3) (limit 2 reached; it was "
                            "open ",
                            0),
            0u)
      << closed[0];
  EXPECT_TRUE(LinesStarting("WARNING:").empty());

  parts.clear();  // closings by the filters' own end are not logged
  EXPECT_EQ(Lines().size(), 4u);
}

TEST_F(LogTest, NamedStringAndListArgumentsAppearAsAScriptWritesThem) {
  StartLog(3);
  env->AddFunction("Named", "i[file]s[list].", [this](const AVSValue& args, IScriptEnvironment*) {
    SourceSettings settings;
    settings.stats = &stats;
    return AVSValue(new SourceClip(args[0].AsInt(), settings));
  });
  const PClip filter =
      Deferred("Named", ArrayOf({AVSValue(7), ArrayOf({AVSValue("file"), AVSValue("p1.mkv")}),
                                 ArrayOf({AVSValue("list"), ArrayOf({AVSValue(1), AVSValue(true), AVSValue(2.5f)})})}));
  ASSERT_EQ(LinesStarting("INFO: DorvelFilter: opened ").size(), 1u);
  EXPECT_EQ(LinesStarting("INFO: DorvelFilter: opened ")[0].rfind(
                "INFO: DorvelFilter: opened Named(7, file=\"p1.mkv\", list=[1, true, 2.5]) in ", 0),
            0u)
      << Lines()[0];
}

TEST_F(LogTest, AFailedOpeningIsAWarning) {
  StartLog(2);
  SourceSettings shortParts;
  shortParts.vi.num_frames = 40;
  shortParts.stats = &stats;
  AddSourceFunction(*env, "Short", shortParts);
  env->AddFunction("Broken", "i", [](const AVSValue&, IScriptEnvironment* callEnv) {
    callEnv->ThrowError("Broken: no such file");
    return AVSValue();
  });
  const PClip shape = Template();
  const PClip broken = Deferred("Broken", ArrayOf({AVSValue(1)}), shape);
  const PClip shortOne = Deferred("Short", ArrayOf({AVSValue(2)}), shape);
  EXPECT_THROW(SourceOf(broken), AvisynthError);
  EXPECT_THROW(SourceOf(shortOne), AvisynthError);
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u) << "information is below the level asked for";
  EXPECT_EQ(lines[0].rfind("WARNING: DorvelFilter: opening Broken(1) failed after ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1].rfind("WARNING: DorvelFilter: opening Short(2) failed after ", 0), 0u) << lines[1];
  EXPECT_NE(lines[1].find(" ms: DorvelFilter: Short made a clip of 40 frames, but the template has 1000"),
            std::string::npos)
      << lines[1];
}

TEST_F(LogTest, ThrashIsAWarningOncePerFilter) {
  StartLog(2);
  Limit(1);
  const PClip shape = Template();
  const PClip a = Deferred(1, shape);
  const PClip b = Deferred(2, shape);
  for (int n = 0; n < 6; ++n) {
    SourceOf(a, n);
    SourceOf(b, n);
  }
  const std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("WARNING: DorvelFilter: closed Source(1) again ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" ms after reopening it, to make room for Source(2): more clips are read at once than "
                          "limit 1 keeps open (thrash); raise DorvelFilterLimit"),
            std::string::npos)
      << lines[0];
  EXPECT_EQ(lines[1].rfind("WARNING: DorvelFilter: closed Source(2) again ", 0), 0u) << lines[1];
}

TEST_F(LogTest, ASpliceReadThroughIsNoThrash) {
  StartLog(3);
  Limit(1);
  const PClip shape = Template();
  std::vector<PClip> parts;
  for (int i = 1; i <= 4; ++i) parts.push_back(Deferred(i, shape));
  for (const PClip& part : parts) {
    for (int n = 0; n < 3; ++n) SourceOf(part, n);
  }
  EXPECT_EQ(LinesStarting("INFO: DorvelFilter: opened ").size(), 4u);
  EXPECT_EQ(LinesStarting("INFO: DorvelFilter: closed ").size(), 3u);
  EXPECT_TRUE(LinesStarting("WARNING:").empty());
}

TEST_F(LogTest, ACheckedFilterSaysSo) {
  StartLog(3);
  env->Call("DorvelFilterCheck", {});
  const PClip part = Deferred(5, Template());
  EXPECT_EQ(Lines().size(), 2u);
  EXPECT_EQ(LinesStarting("INFO: DorvelFilter: checked Source(5) against its template, and closed it").size(), 1u);
}

TEST_F(LogTest, EachFilterTheCheckPassesOverIsAWarningThatSaysWhy) {
  StartLog(2);
  env->Call("DorvelFilterCheck", {});
  const PClip shape = Template();
  // A runtime filter's script: the host calls it from the GetFrame of a clip
  // of its own, here on the loading thread.
  SourceSettings runtime;
  runtime.stats = &stats;
  PClip madeInRequest;
  runtime.onFrame = [&](int, int, IScriptEnvironment* callEnv) {
    madeInRequest = CallDorvelFilter(*callEnv, "Source", ArrayOf({AVSValue(11)}), shape).AsClip();
  };
  PClip(new SourceClip(10, runtime))->GetFrame(0, env.get());
  PClip onAnotherThread;
  std::thread([&] { onAnotherThread = Deferred(12, shape); }).join();
  env->AddFunction("Nested", "i", [&](const AVSValue& args, IScriptEnvironment* callEnv) {
    return CallDorvelFilter(*callEnv, "Source", ArrayOf({AVSValue(args[0].AsInt() + 1)}), shape);
  });
  const PClip outer = Deferred("Nested", ArrayOf({AVSValue(12)}), shape);
  EXPECT_EQ(stats.opens, 1) << "only the runtime filter's own clip was made";

  const std::string start = "WARNING: DorvelFilter: did not check Source(";
  const std::vector<std::string> warnings = LinesStarting(start);
  ASSERT_EQ(warnings.size(), 3u);
  EXPECT_EQ(warnings[0], start + "11) against its template: it was made at frame time, by a script that the host "
                                 "runs for a frame or audio request (a runtime filter's, such as ScriptClip's)");
  EXPECT_EQ(warnings[1], start + "12) against its template: it was made on another thread than the one that "
                                 "loads the script");
  EXPECT_EQ(warnings[2], start + "13) against its template: it was made at frame time, while another "
                                 "DorvelFilter opened or served a request");
  EXPECT_EQ(Lines().size(), 3u);
}

}  // namespace
