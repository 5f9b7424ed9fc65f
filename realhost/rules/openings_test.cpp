// Openings at frame time on the host's own threads: while the client deletes
// the environment after its last frame or after an error, several asked for
// at once, with Imports that change the working folder while they read, and
// in two environments of one process. A crash ends the test program and a
// hang runs into ctest's time limit; either fails the case.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "counting_source.h"
#include "host_session.h"

namespace {

namespace fs = std::filesystem;

::testing::AssertionResult Holds(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" does not hold \"" << part << "\"";
}

// The clip a script makes; a script error fails the case with its message.
PClip Load(HostSession& host, const std::string& script) {
  PClip clip;
  const std::string error = HostErrorOf([&] { clip = host.Clip(script); });
  if (!error.empty()) ADD_FAILURE() << "the script failed to load: " << error;
  return clip;
}

std::string PrefetchOf(int threads) { return threads > 0 ? ".Prefetch(" + std::to_string(threads) + ")" : ""; }

// Reads frames first..last of `clip` and counts those that are not frame
// n % frames of source idOf(n).
int WrongFrames(const PClip& clip, IScriptEnvironment* env, int frames, int first, int last,
                const std::function<int(int)>& idOf) {
  int wrong = 0;
  for (int n = first; n <= last; ++n) {
    const counting::Tag tag = counting::TagOf(clip->GetFrame(n, env));
    if (tag.id != idOf(n) || tag.frame != n % frames) ++wrong;
  }
  return wrong;
}

class OpeningsAtTheEnd : public ::testing::TestWithParam<int> {};

TEST_P(OpeningsAtTheEnd, AChunkReadToItsEndAndDeletedWhilePartsStillOpen) {
  // As chunked encoding cuts a splice of script functions: the Prefetch
  // threads read ahead past the chunk's end, opening further parts (slowly,
  // here), when the client deletes the environment. The deletion must wait
  // for those openings, and no function may run after it began.
  const int threads = GetParam();
  for (int run = 0; run < 3; ++run) {
    counting::Reset();
    {
      HostSession host;
      const PClip chunk =
          host.Clip("t = " + CountingTemplate(10) +
                    "\nfunction F(int i) {\n"
                    "  x = CountingSource(i, frames=10, mt_mode=3, open_delay_us=(i < 4 ? 0 : 200000))\n"
                    "  y = x.Trim(0, 9)\n"
                    "  return y\n}\n"
                    "s = " +
                    SpliceOf(200, [](int i) { return "DorvelFilter(\"F\", [" + std::to_string(i) + "], t)"; }) +
                    // Held by the environment, as a script's value is, so that the
                    // deletion stops the Prefetch threads, not the release below.
                    "\nglobal chunk = s" + PrefetchOf(threads) + ".Trim(0, 39)\nchunk");
      EXPECT_EQ(WrongFrames(chunk, host.env(), 10, 0, 39, [](int n) { return n / 10; }), 0) << "run " << run;
      // Long enough for a thread reading ahead to be inside a slow opening.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      if (threads > 0 && run == 0) {
        EXPECT_GT(counting::Opens(), 4) << "no part past the chunk was opened: the case shows nothing";
      }
    }
    EXPECT_EQ(counting::Alive(), 0) << "sources left alive after the environment was deleted, run " << run;
  }
}

TEST_P(OpeningsAtTheEnd, FunctionsThatFailForSomePartsThenTheEnvironmentDeleted) {
  const int threads = GetParam();
  for (const char* shape : {"Interleave(s, s.Reverse())", "s"}) {
    for (int run = 0; run < 4; ++run) {
      HostSession host;
      const PClip clip =
          host.Clip("t = " + CountingTemplate(10) +
                    "\nfunction F(int i) {\n"
                    "  Assert(i % 7 != 3, \"part \" + String(i) + \" is missing\")\n"
                    "  return CountingSource(i, frames=10, mt_mode=3, open_delay_us=30000)\n}\n"
                    "s = " +
                    SpliceOf(40, [](int i) { return "DorvelFilter(\"F\", [" + std::to_string(i) + "], t)"; }) +
                    "\nglobal played = " + shape + PrefetchOf(threads) + "\nplayed");
      const std::string error = HostErrorOf([&] {
        for (int n = 0; n < 80; ++n) clip->GetFrame(n, host.env());
      });
      EXPECT_TRUE(Holds(error, " is missing")) << shape << ", run " << run;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Prefetch, OpeningsAtTheEnd, ::testing::Values(0, 1, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Prefetch" + std::to_string(info.param);
                         });

// Part scripts in folders of their own, written for each case and removed
// after it; the client plays from a folder of decoys of the same names.
class OpeningsInFolders : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    original = fs::current_path();
    root = fs::temp_directory_path() / ("dorvel-openings-" + std::to_string(std::random_device()()));
    fs::create_directories(root / "client");
    client = fs::canonical(root / "client");
    std::ofstream(client / "content.avs") << "CountingSource(99, frames=" << kFrames << ")\n";
  }
  void TearDown() override {
    fs::current_path(original);
    fs::remove_all(root);
  }

  // `count` parts pNN/part.avs under `folder`, each importing content.avs of
  // its own folder, which is counting source firstId + NN; and splice.avs
  // joining them with DorvelFilter("Import", ...), relative or full names.
  void MakeShow(const fs::path& folder, int firstId, int count, bool fullNames, int threads) {
    std::string splice = "DorvelFilterLimit(2)\nT = " + CountingTemplate(kFrames) + "\n";
    for (int i = 0; i < count; ++i) {
      const std::string part = "p" + std::to_string(10 + i);
      fs::create_directories(folder / part);
      fs::create_directories(client / part);
      std::ofstream(folder / part / "part.avs") << "Import(\"content.avs\")\n";
      std::ofstream(folder / part / "content.avs")
          << "CountingSource(" << firstId + i << ", frames=" << kFrames << ", mt_mode=3, open_delay_us=500)\n";
      std::ofstream(client / part / "part.avs") << "CountingSource(98, frames=" << kFrames << ")\n";
      const std::string name = fullNames ? fs::canonical(folder / part / "part.avs").u8string() : part + "/part.avs";
      splice += (i == 0 ? "v = " : "v = v ++ ") + std::string("DorvelFilter(\"Import\", [\"") + name + "\"], T)\n";
    }
    std::ofstream(folder / "splice.avs") << splice << "v" << PrefetchOf(threads) << "\n";
  }

  static std::string ImportOf(const fs::path& script) { return "Import(\"" + fs::canonical(script).u8string() + "\")"; }

  static constexpr int kFrames = 5;
  fs::path original, root, client;
};

TEST_P(OpeningsInFolders, DeferredImportsOfPartsThatImportBesideThemselves) {
  const int threads = GetParam();
  for (bool fullNames : {false, true}) {
    MakeShow(root / "show", 1, 40, fullNames, threads);
    for (int run = 0; run < 3; ++run) {
      fs::current_path(original);  // the module's path may be relative to the drive (Windows)
      HostSession host;
      fs::current_path(client);
      const PClip clip = Load(host, ImportOf(root / "show" / "splice.avs"));
      EXPECT_EQ(fs::current_path(), client) << "after loading";
      int wrong = 0;
      const std::string error = HostErrorOf([&] {
        wrong = WrongFrames(clip, host.env(), kFrames, 0, 40 * kFrames - 1, [](int n) { return 1 + n / kFrames; });
      });
      EXPECT_EQ(error, "") << (fullNames ? "full names" : "relative names") << ", run " << run;
      EXPECT_EQ(wrong, 0) << (fullNames ? "full names" : "relative names") << ", run " << run;
      EXPECT_EQ(fs::current_path(), client) << "after playing";
    }
  }
}

TEST_P(OpeningsInFolders, APartWhoseFunctionReadsAPartOfAnotherFolder) {
  // a's function, made in folder a, reads a frame of fb, made in folder b,
  // while it makes its clip; both are asked for at once. No ring: no error.
  const int threads = GetParam();
  fs::create_directories(root / "a");
  fs::create_directories(root / "b");
  std::ofstream(root / "a" / "part.avs") << "CountingSource(1, frames=10, mt_mode=3, open_delay_us=500)\n";
  std::ofstream(root / "b" / "part.avs") << "CountingSource(2, frames=10, mt_mode=3, open_delay_us=500)\n";
  std::ofstream(root / "b" / "b.avs") << "global fb = DorvelFilter(\"Import\", [\"part.avs\"], T)\n";
  std::ofstream(root / "a" / "a.avs") << "function ReadB() {\n  current_frame = 0\n  x = AverageLuma(fb)\n"
                                         "  return Import(\"part.avs\")\n}\n"
                                         "global fa = DorvelFilter(\"ReadB\", [], T)\n";
  for (int run = 0; run < 8; ++run) {
    fs::current_path(original);  // the module's path may be relative to the drive (Windows)
    HostSession host;
    fs::current_path(client);
    const PClip clip = Load(host, "global T = " + CountingTemplate(10) + "\n" + ImportOf(root / "b" / "b.avs") + "\n" +
                                      ImportOf(root / "a" / "a.avs") + "\nInterleave(fa, fb)" + PrefetchOf(threads));
    int wrong = 0;
    const std::string error = HostErrorOf([&] {
      for (int n = 0; n < 20; ++n) {
        // Interleaved: frame n / 2 of a, then of b.
        const counting::Tag tag = counting::TagOf(clip->GetFrame(n, host.env()));
        if (tag.id != 1 + n % 2 || tag.frame != n / 2) ++wrong;
      }
    });
    EXPECT_EQ(error, "") << "run " << run;
    EXPECT_EQ(wrong, 0) << "run " << run;
  }
}

TEST_P(OpeningsInFolders, TwoEnvironmentsLoadedFirstThenPlayingAtOnceEachPlayTheirOwnFiles) {
  const int threads = GetParam();
  MakeShow(root / "x", 1, 10, false, threads);
  MakeShow(root / "y", 21, 10, false, threads);
  for (int run = 0; run < 3; ++run) {
    fs::current_path(original);  // the module's path may be relative to the drive (Windows)
    HostSession x, y;
    fs::current_path(client);
    const PClip clipX = Load(x, ImportOf(root / "x" / "splice.avs"));
    EXPECT_EQ(fs::current_path(), client) << "after loading x";
    const PClip clipY = Load(y, ImportOf(root / "y" / "splice.avs"));
    EXPECT_EQ(fs::current_path(), client) << "after loading y";
    int wrong[2] = {0, 0};
    std::string errors[2];
    std::thread playX([&] {
      errors[0] = HostErrorOf([&] {
        wrong[0] = WrongFrames(clipX, x.env(), kFrames, 0, 10 * kFrames - 1, [](int n) { return 1 + n / kFrames; });
      });
    });
    errors[1] = HostErrorOf([&] {
      wrong[1] = WrongFrames(clipY, y.env(), kFrames, 0, 10 * kFrames - 1, [](int n) { return 21 + n / kFrames; });
    });
    playX.join();
    EXPECT_EQ(errors[0] + errors[1], "") << "run " << run;
    EXPECT_EQ(wrong[0], 0) << "x, run " << run;
    EXPECT_EQ(wrong[1], 0) << "y, run " << run;
    EXPECT_EQ(fs::current_path(), client) << "after playing";
  }
}

INSTANTIATE_TEST_SUITE_P(Prefetch, OpeningsInFolders, ::testing::Values(0, 2, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Prefetch" + std::to_string(info.param);
                         });

TEST(OpeningsOfTwoEnvironments, OneDeletedWhileTheOthersOpeningsCloseItsFilters) {
  // Under limit 1 every opening closes the other environment's filter, and
  // releases its clip, while that environment is being made, read and
  // deleted again and again.
  const std::string script =
      "DorvelFilterLimit(1)\nt = " + CountingTemplate(4) +
      "\nfunction F(int i) { return CountingSource(i, frames=4, mt_mode=3, open_delay_us=300) }\n"
      "global played = " +
      SpliceOf(30, [](int i) { return "DorvelFilter(\"F\", [" + std::to_string(i) + "], t)"; }) +
      ".Prefetch(2)\nplayed";
  HostSession kept;
  const PClip keptClip = kept.Clip(script);
  std::atomic<bool> done{false};
  int wrong = 0;
  std::string keptError;
  std::thread reader([&] {
    keptError = HostErrorOf([&] {
      while (!done) wrong += WrongFrames(keptClip, kept.env(), 4, 0, 30 * 4 - 1, [](int n) { return n / 4; });
    });
  });
  for (int round = 0; round < 12; ++round) {
    HostSession passing;
    const PClip clip = passing.Clip(script);
    for (int n = 0; n < 3 * 4; ++n) clip->GetFrame((n * 37) % (30 * 4), passing.env());
  }
  done = true;
  reader.join();
  EXPECT_EQ(keptError, "");
  EXPECT_EQ(wrong, 0);
}

}  // namespace
