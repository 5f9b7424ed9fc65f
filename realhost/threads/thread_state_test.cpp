// A part opened on a Prefetch thread is made through the script's own
// environment, the one its filter was made in. The host must then keep that
// thread's state (variables, the runtime flag) with the thread, not with the
// environment object: while a Prefetch thread runs a part's function, the
// client's thread runs a runtime script through that same environment. Each
// case plays a splice of parts and compares every frame with the same script
// without the module. A variable stack shared by the two threads shows as
// frames with another thread's values, or as a crash.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host_session.h"
#include "watchdog.h"

namespace fs = std::filesystem;

namespace {

constexpr int kParts = 28;

// `body` with `deferred` set, played through `threads` Prefetch threads
// with a runtime script after them, on the client's thread; each frame's digest.
std::vector<uint64_t> Played(const std::string& functions, bool deferred, int threads) {
  HostSession host;
  host.Eval(functions + "\nDorvelFilterLimit(3)");
  PClip clip;
  const std::string script =
      "s = BlankClip(T, length=1)\n"
      "for (i = 1, " +
      std::to_string(kParts) + ") { s = s ++ " + (deferred ? "DorvelFilter(\"Part\", [i], T)" : "Part(i)") +
      " }\n"
      "s.Prefetch(" +
      std::to_string(threads) +
      ").ScriptClip(\"\"\"\n"
      "  v = current_frame * 1000000\n"
      "  for (k = 0, 2000) { v = v + 1 }\n"
      "  global seen_by_frame = v\n"
      "  Subtitle(String(v) + \" \" + String(seen_by_frame), y=24)\n"
      "\"\"\")";
  std::vector<uint64_t> frames;
  const std::string error = HostErrorOf([&] {
    clip = host.Clip(script);
    frames = FrameDigests(clip, host.env());
  });
  EXPECT_EQ(error, "") << (deferred ? "with the module" : "without it");
  return frames;
}

class RealHostThreadState : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() / ("dorvel-thread-state-" + std::to_string(std::random_device()()));
    fs::create_directories(folder);
    std::ofstream(folder / "tint.avs") << "function Tint(clip c, int i) { return c.Tweak(hue=i * 7) }\n";
  }
  void TearDown() override { fs::remove_all(folder); }

  void ExpectSameFrames(const std::string& functions) {
    const Watchdog watchdog("the splice", std::chrono::seconds(300));
    const std::vector<uint64_t> direct = Played(functions, false, GetParam());
    ASSERT_EQ(direct.size(), static_cast<std::size_t>(kParts * 6 + 1));
    EXPECT_EQ(Played(functions, true, GetParam()), direct);
  }

  fs::path folder;
};

const char* const kTemplate =
    "global T = BlankClip(length=6, width=96, height=64, fps=25, pixel_type=\"YV12\", audio_rate=0)\n";

// The part's function counts in a local of the same name as the runtime
// script's, and sets and reads a global of its own (one global set by both
// would race in the script itself: the part now runs at frame time).
TEST_P(RealHostThreadState, APartsLocalsAndGlobalsAreNotTheClientThreadsRuntimeScripts) {
  ExpectSameFrames(std::string(kTemplate) +
                   "function Part(int i) {\n"
                   "  v = i * 1000\n"
                   "  for (k = 0, 2000) { v = v + 1 }\n"
                   "  global seen_by_part = v\n"
                   "  return BlankClip(T).Subtitle(String(v) + \" \" + String(seen_by_part))\n"
                   "}");
}

// Parts that Import, Eval, catch an error, use `last`, and run runtime
// scripts and a Prefetch of their own.
TEST_P(RealHostThreadState, PartsThatRunScriptsOfTheirOwn) {
  ExpectSameFrames(
      std::string(kTemplate) + "function P0(int i) {\n  x = BlankClip(T, color_yuv=$408080 + i * 65536)\n" +
      "  return x.ScriptClip(\"Subtitle(String(current_frame * \" + String(i) + \"))\")\n}\n" +
      "function P1(int i) {\n  Import(\"" + (folder / "tint.avs").string() +
      "\")\n  return Tint(BlankClip(T, color_yuv=$508080), i)\n}\n" +
      "function P2(int i) {\n  try { y = Eval(\"BlankClip(T, color_yuv=$306070).Blur(\" + String(0.1 * i) + \")\") }\n"
      "  catch (e) { y = BlankClip(T) }\n  return y\n}\n"
      "function P3(int i) {\n  BlankClip(T, color_yuv=$60A0A0)\n"
      "  last = last.Spline36Resize(64, 48).Spline36Resize(96, 64)\n  return last.Subtitle(String(i))\n}\n"
      "function P4(int i) {\n  c = BlankClip(T, color_yuv=$7090B0).Levels(0, 1.0, 255, i, 255 - i)\n"
      "  return c.Prefetch(2)\n}\n"
      "function P5(int i) {\n  try { Assert(false, \"part \" + String(i)) } catch (m) { s = m }\n"
      "  return BlankClip(T).Subtitle(s)\n}\n"
      "function P6(int i) {\n  c = BlankClip(T, color_yuv=$80A060)\n"
      "  c = c.FrameEvaluate(\"f = current_frame * \" + String(i))\n"
      "  return c.ConditionalFilter(c.Invert(), c, \"current_frame % 2\", \"==\", \"0\")\n}\n"
      "function Part(int i) { return Eval(\"P\" + String(i % 7) + \"(i)\") }");
}

INSTANTIATE_TEST_SUITE_P(Prefetch, RealHostThreadState, ::testing::Values(2, 8),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return "Threads" + std::to_string(info.param);
                         });

}  // namespace

namespace {

// A part that a runtime script makes on a Prefetch thread is made with that
// thread's own environment, which the host deletes with the thread; the
// part may live on in a global and be opened only later, on the client's
// thread, once the Prefetch is gone. Its function must then be called
// through an environment that still exists. The part is read after the
// Prefetch clip was released, against the same script without the module.
// The module may also be loaded by the runtime script itself, on the
// Prefetch thread. Only the thread that makes frame 3 writes the global:
// a thread of another frame writing back what it read could undo it.
enum class Made { Direct, Deferred, DeferredLoadedThere };

std::vector<uint64_t> KeptFromARuntimeScript(Made made, int threads) {
  HostSession host(made == Made::DeferredLoadedThere ? HostSession::Module::Autoload : HostSession::Module::Load);
  const std::string make = made == Made::Direct     ? "Part(7)"
                           : made == Made::Deferred ? "DorvelFilter(\"Part\", [7], T)"
                                                    : "LoadPlugin(\"" + fs::absolute(DORVEL_MODULE_PATH).string() +
                                                          "\")\n  DorvelFilter(\"Part\", [7], T)";
  host.Eval(std::string(kTemplate) +
            "function Part(int i) { return BlankClip(T, color_yuv=$408080 + i * 4096).Levels(0, 1.0, 255, i, 255 - i) "
            "}\n"
            "function Make() {\n  " +
            make +
            "\n}\n"
            "global held = BlankClip(T)\n"
            "a = BlankClip(T).ScriptClip(\"\"\"\n"
            "  if (current_frame == 3) {\n    global held = Make()\n  }\n"
            "  last\n"
            "\"\"\").Prefetch(" +
            std::to_string(threads) + ")");
  std::vector<uint64_t> frames;
  const std::string error = HostErrorOf([&] {
    FrameDigests(host.env()->GetVar("a").AsClip(), host.env());
    host.Eval("a = 0");  // the Prefetch clip goes, and its threads with their environments
    frames = FrameDigests(host.env()->GetVar("held").AsClip(), host.env());
  });
  EXPECT_EQ(error, "") << static_cast<int>(made);
  return frames;
}

TEST(RealHostThreadStateAfterPrefetch, APartMadeByARuntimeScriptIsOpenedAfterItsThreadEnded) {
  const Watchdog watchdog("the kept part", std::chrono::seconds(120));
  for (const int threads : {1, 4}) {
    const std::vector<uint64_t> direct = KeptFromARuntimeScript(Made::Direct, threads);
    ASSERT_EQ(direct.size(), 6u);
    EXPECT_EQ(KeptFromARuntimeScript(Made::Deferred, threads), direct) << "Prefetch(" << threads << ")";
    EXPECT_EQ(KeptFromARuntimeScript(Made::DeferredLoadedThere, threads), direct)
        << "Prefetch(" << threads << "), the module loaded by the runtime script";
  }
}

}  // namespace
