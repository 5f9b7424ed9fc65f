// The end of a script whose parts end in the host's own filters: every
// resizer, conversion and the other filters a script writer puts inside a
// part, opened at frame time on the host's Prefetch threads (or on the
// client's thread without Prefetch), then the script closed as a client
// closes it. Each case plays one set of chains in one process: each chain a
// splice of parts, read frame by frame and compared with the same splice
// without the module, then the environment deleted. A crash ends the test
// program and fails the case.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host_session.h"
#include "watchdog.h"

namespace {

constexpr int kParts = 3, kFrames = 8;

// What a part's function makes of its source `c`, ending in the filter named.
struct Chain {
  const char* filter;
  const char* expression;
};

const std::vector<Chain> kResizers = {
    {"PointResize", "c.PointResize(80, 60)"},
    {"BilinearResize", "c.BilinearResize(96, 72)"},
    {"BicubicResize", "c.BicubicResize(200, 150, b=0.0, c=0.75)"},
    {"LanczosResize", "c.LanczosResize(80, 60)"},
    {"Lanczos4Resize", "c.Lanczos4Resize(120, 90)"},
    {"BlackmanResize", "c.BlackmanResize(80, 60)"},
    {"Spline16Resize", "c.Spline16Resize(80, 60)"},
    {"Spline36Resize", "c.Spline36Resize(320, 240)"},
    {"Spline64Resize", "c.Spline64Resize(80, 60)"},
    {"GaussResize", "c.GaussResize(80, 60)"},
    {"SincResize", "c.SincResize(80, 60)"},
    {"SinPowerResize", "c.SinPowerResize(80, 60)"},
    {"SincLin2Resize", "c.SincLin2Resize(80, 60)"},
    {"UserDefined2Resize", "c.UserDefined2Resize(80, 60)"},
    {"Spline36Resize, cropping", "c.Spline36Resize(80, 60, 8, 6, -8, -6)"},
};

const std::vector<Chain> kConversions = {
    {"ConvertToRGB24", "c.ConvertToRGB24()"},
    {"ConvertToRGB32", "c.ConvertToRGB32(matrix=\"Rec709\")"},
    {"ConvertToRGB48", "c.ConvertToRGB48()"},
    {"ConvertToRGB64", "c.ConvertToRGB64()"},
    {"ConvertToPlanarRGB", "c.ConvertToPlanarRGB()"},
    {"ConvertToPlanarRGBA", "c.ConvertToPlanarRGBA()"},
    {"ConvertToYV12", "c.ConvertToRGB32().ConvertToYV12()"},
    {"ConvertToYV16", "c.ConvertToYV16()"},
    {"ConvertToYV24", "c.ConvertToYV24()"},
    {"ConvertToY8", "c.ConvertToY8()"},
    {"ConvertToYUY2", "c.ConvertToYUY2()"},
    {"ConvertToYV411", "c.ConvertToYV411()"},
    {"ConvertToYUV420", "c.ConvertToYUV444().ConvertToYUV420(chromaresample=\"spline36\")"},
    {"ConvertToYUV422", "c.ConvertToYUV422()"},
    {"ConvertToYUV444", "c.ConvertToYUV444(chromaresample=\"lanczos\")"},
    {"ConvertToY", "c.ConvertToY()"},
    {"ConvertToYUVA420", "c.ConvertToYUVA420()"},
    {"ConvertToYUVA444", "c.ConvertToYUVA444()"},
    {"ConvertBits", "c.ConvertBits(16)"},
    {"ConvertBits, dithered", "c.ConvertBits(16).ConvertBits(8, dither=0)"},
};

const std::vector<Chain> kOthers = {
    {"Overlay", "c.Overlay(BlankClip(c, color=$FF8000), x=20, y=10, opacity=0.5)"},
    {"Overlay, masked", "c.Overlay(c.Invert(), mask=c.ConvertToY8().ConvertToYV12(), mode=\"multiply\")"},
    {"Layer", "c.ConvertToRGB32().Layer(BlankClip(c, pixel_type=\"RGB32\", color=$80FF0000), \"add\", 128)"},
    {"Crop", "c.Crop(8, 4, -8, -4)"},
    {"AddBorders", "c.AddBorders(8, 4, 8, 4)"},
    {"TurnLeft", "c.TurnLeft()"},
    {"TurnRight", "c.TurnRight()"},
    {"Turn180", "c.Turn180()"},
    {"Tweak", "c.Tweak(hue=30, sat=1.3, bright=10)"},
    {"Levels", "c.Levels(16, 1.2, 235, 0, 255)"},
    {"TemporalSoften", "c.TemporalSoften(2, 4, 8)"},
    {"Blur", "c.Blur(1.0)"},
    {"Sharpen", "c.Sharpen(0.6)"},
    {"AssumeFPS", "c.AssumeFPS(30)"},
    {"ChangeFPS", "c.ChangeFPS(50)"},
    {"Trim", "c.Trim(2, 6)"},
    {"ScriptClip", "c.ScriptClip(\"Tweak(hue=current_frame * 10)\")"},
    {"a source", "BlankClip(c, color=$204060)"},
};

// The one chain of each kind that runs under valgrind as well.
const std::vector<Chain> kUnderValgrind = {
    {"Spline36Resize", "c.Spline36Resize(80, 60)"},
    {"ConvertToRGB32", "c.ConvertToRGB32()"},
    {"Overlay", "c.Overlay(BlankClip(c, color=$FF8000), x=20, y=10, opacity=0.5)"},
};

struct ChainSet {
  const char* name;
  const std::vector<Chain>* chains;
};

const ChainSet kSets[] = {
    {"Resizers", &kResizers}, {"Conversions", &kConversions}, {"Others", &kOthers}, {"Valgrind", &kUnderValgrind}};

// The clip a script makes; a script error fails the case with its message.
PClip Load(HostSession& host, const std::string& script) {
  PClip clip;
  const std::string error = HostErrorOf([&] { clip = host.Clip(script); });
  if (!error.empty()) ADD_FAILURE() << "the script failed to load: " << error << "\n" << script;
  return clip;
}

std::string PrefetchOf(int threads) { return threads > 0 ? ".Prefetch(" + std::to_string(threads) + ")" : ""; }

// Part k's function: a source of its own, with content that differs from
// part to part and from frame to frame, then the chain. Nothing in the
// source calls a script function at frame time: a Prefetch thread that does
// while the host clears the script's globals waits for the thread clearing
// them, which waits for it (the host alone, with or without the module).
std::string Functions(const std::vector<Chain>& chains) {
  std::string script =
      "function Source(int i) {\n"
      "  plain = BlankClip(length=" +
      std::to_string(kFrames) +
      ", width=160, height=120, fps=25, pixel_type=\"YV12\", color_yuv=$408090, audio_rate=0)\n"
      "  return plain.Levels(0, 1.0, 255, i * 20, 255 - i * 20).ShowFrameNumber(size=24)\n}\n";
  for (std::size_t k = 0; k < chains.size(); ++k) {
    script +=
        "function Chain" + std::to_string(k) + "(int i) {\n  c = Source(i)\n  return " + chains[k].expression + "\n}\n";
  }
  return script;
}

// Chain k spliced, each part behind DorvelFilter with the direct call's
// description as its template, or called directly.
std::string Spliced(std::size_t k, bool deferred, int threads) {
  const std::string function = "Chain" + std::to_string(k);
  return SpliceOf(kParts,
                  [&](int i) {
                    const std::string n = std::to_string(i);
                    return deferred ? "DorvelFilter(\"" + function + "\", [" + n + "], " + function + "(0))"
                                    : function + "(" + n + ")";
                  }) +
         PrefetchOf(threads);
}

class RealHostTeardown : public ::testing::TestWithParam<std::tuple<ChainSet, int>> {
 protected:
  const std::vector<Chain>& chains() const { return *std::get<0>(GetParam()).chains; }
  int threads() const { return std::get<1>(GetParam()); }

  // Every chain's frames without the module.
  std::vector<std::vector<uint64_t>> Direct() {
    HostSession host;
    host.Eval(Functions(chains()));
    std::vector<std::vector<uint64_t>> frames;
    for (std::size_t k = 0; k < chains().size(); ++k) {
      const PClip clip = Load(host, Spliced(k, false, 0));
      frames.push_back(clip ? FrameDigests(clip, host.env()) : std::vector<uint64_t>{});
    }
    return frames;
  }
};

TEST_P(RealHostTeardown, EveryChainPlaysAsWithoutTheModuleAndTheScriptClosesAfterItsLastFrame) {
  const std::vector<std::vector<uint64_t>> direct = Direct();
  const Watchdog watchdog("the chains", std::chrono::seconds(300));
  {
    HostSession host;
    // Few open at once: parts are closed on one thread while others open.
    host.Eval(Functions(chains()) + "DorvelFilterLimit(4)");
    // Every chain loaded before any is read (see the next case).
    std::vector<PClip> clips;
    for (std::size_t k = 0; k < chains().size(); ++k) clips.push_back(Load(host, Spliced(k, true, threads())));
    for (std::size_t k = 0; k < chains().size(); ++k) {
      if (!clips[k]) continue;
      std::vector<uint64_t> played;
      const std::string error = HostErrorOf([&] { played = FrameDigests(clips[k], host.env()); });
      EXPECT_EQ(error, "") << chains()[k].filter;
      EXPECT_EQ(played, direct[k]) << chains()[k].filter;
    }
    // As x264 closes a script: its clip first, then the environment.
  }
}

TEST_P(RealHostTeardown, TheScriptClosesWhilePrefetchThreadsStillReadAhead) {
  const Watchdog watchdog("the chains", std::chrono::seconds(300));
  for (int run = 0; run < 2; ++run) {
    HostSession host;
    host.Eval(Functions(chains()) + "DorvelFilterLimit(4)");
    // Held by the script's variables: the deletion of the environment stops
    // the Prefetch threads, and releases the parts they opened. (Not by
    // globals: ScriptClip's threads would wait for the host's lock on them,
    // held while the host clears them and waits for those threads.)
    // Every chain is loaded before any is read: a Prefetch made while
    // another Prefetch's threads run a filter made at frame time (here, a
    // part the module opened there) crashes the host. Its MTGuard::EnableMT
    // frees the guard's instances, and their mutexes, that those threads
    // are inside (a page fault in MTGuard::GetFrame under Wine, 16 of 20
    // runs with one load per chain read). A script makes its Prefetch once,
    // at load; the README names the limit.
    std::vector<std::pair<std::size_t, PClip>> clips;
    for (std::size_t k = 0; k < chains().size(); ++k) {
      // The host's own limit: a ScriptClip whose runtime script a Prefetch
      // thread still runs while the environment is deleted crashes the host
      // alone, without the module (18 of 30 runs of this case's direct
      // splices in 3.7.5; 0 of 30 without ScriptClip). It is left out here
      // only, and plays to its end in the other cases.
      if (std::string(chains()[k].filter) == "ScriptClip" && threads() > 0) continue;
      const PClip clip =
          Load(host, "chain" + std::to_string(k) + " = " + Spliced(k, true, threads()) + "\nchain" + std::to_string(k));
      if (clip) clips.emplace_back(k, clip);
    }
    for (const auto& [k, clip] : clips) {
      EXPECT_EQ(HostErrorOf([&, &clip = clip] {
                  for (int n = 0; n < 2; ++n) clip->GetFrame(n * kFrames, host.env());
                }),
                "")
          << chains()[k].filter;
    }
  }
}

TEST_P(RealHostTeardown, TheScriptClosesAfterAPartsFunctionFailed) {
  const Watchdog watchdog("the chains", std::chrono::seconds(300));
  HostSession host;
  // The last part of each chain fails after its source was made.
  host.Eval(Functions(chains()) + "DorvelFilterLimit(4)");
  for (std::size_t k = 0; k < chains().size(); ++k) {
    const std::string function = "Chain" + std::to_string(k);
    host.Eval("function Failing" + std::to_string(k) + "(int i) {\n  c = " + function +
              "(i)\n  Assert(i < 2, \"part \" + String(i) + \" is missing\")\n  return c\n}");
  }
  // Every chain loaded before any is read (see the case before).
  std::vector<PClip> clips;
  for (std::size_t k = 0; k < chains().size(); ++k) {
    const std::string function = "Failing" + std::to_string(k), shape = "Chain" + std::to_string(k) + "(0)";
    clips.push_back(Load(host, SpliceOf(kParts, [&](int i) {
                                 return "DorvelFilter(\"" + function + "\", [" + std::to_string(i) + "], " + shape +
                                        ")";
                               }) + PrefetchOf(threads())));
  }
  for (std::size_t k = 0; k < chains().size(); ++k) {
    const PClip& clip = clips[k];
    if (!clip) continue;
    const std::string error = HostErrorOf([&] {
      for (int n = 0; n < clip->GetVideoInfo().num_frames; ++n) clip->GetFrame(n, host.env());
    });
    EXPECT_NE(error.find("part 2 is missing"), std::string::npos) << chains()[k].filter << ": " << error;
  }
}

INSTANTIATE_TEST_SUITE_P(Chains, RealHostTeardown,
                         ::testing::Combine(::testing::ValuesIn(kSets), ::testing::Values(0, 1, 2, 4)),
                         [](const ::testing::TestParamInfo<std::tuple<ChainSet, int>>& info) {
                           return std::string(std::get<0>(info.param).name) + "Prefetch" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
