// Measures how the module changes what a script costs, for the README: for
// each script, how many times its sources were opened and how long it took
// to load and play, with every source behind DorvelFilter and without the
// module; or, with --memory, how the host's frame cache grows over two passes
// of a long splice, one process per case so that none inherits another's
// memory. Run by hand through scripts/measure_script_costs.sh, not by the
// tests: the figures depend on the machine.
//
//   dorvel_costs_<host> MEDIA_DIR                           the costs' table
//   dorvel_costs_<host> MEDIA_DIR --memory module|direct MAX   one row; MAX 0: the host's default
//
// MEDIA_DIR holds the suite's media (realhost/support/make_media.sh), part00.mkv to
// part29.mkv; FFMS2 writes its index files beside them.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "host_session.h"

namespace {

std::string media;

std::string File(int i) {
  char name[32];
  std::snprintf(name, sizeof name, "/part%02d.mkv", i % 30);
  return "\"" + media + name + "\"";
}

// Each source is called through a function that counts its calls in the
// global `opens`; a deferred one through DorvelFilter with a template.
const char* const kPrelude = R"(global opens = 0
function V(string f) {
    global opens = opens + 1
    return FFVideoSource(f)
}
function A(string f) {
    global opens = opens + 1
    return FFAudioSource(f)
}
function Soft(string f) {
    global opens = opens + 1
    return FFVideoSource(f).TemporalSoften(2, 4, 8)
}
)";

std::string Templates() {
  return "tv = BlankClip(FFVideoSource(" + File(0) + "), length=50)\nta = BlankClip(FFAudioSource(" + File(0) + "))\n";
}

// `function`(file i), behind DorvelFilter or called at once.
std::string Source(const char* function, int i, bool deferred) {
  if (!deferred) return std::string(function) + "(" + File(i) + ")";
  const char* shape = std::string(function) == "A" ? "ta" : "tv";
  return "DorvelFilter(\"" + std::string(function) + "\", [" + File(i) + "], " + shape + ")";
}

std::string Splice(int first, int count, const std::function<std::string(int)>& part) {
  return SpliceOf(count, [&](int i) { return part(first + i); });
}

struct Case {
  std::string name;
  int limit;
  std::function<std::string(bool deferred)> script;
  bool audioPerFrame;
};

std::vector<Case> Cases() {
  auto interleave = [](bool d) {
    auto part = [d](int i) { return Source("V", i, d); };
    return "Interleave(" + Splice(0, 5, part) + ", " + Splice(5, 5, part) + ")";
  };
  auto stack = [](bool d) {
    std::string script = "StackHorizontal(";
    for (int i = 0; i < 5; ++i) script += (i ? ", " : "") + Source("V", i, d);
    return script + ")";
  };
  auto audioDub = [](bool d) {
    return Splice(0, 10, [d](int i) { return "AudioDub(" + Source("V", i, d) + ", " + Source("A", i, d) + ")"; });
  };
  return {
      {"`Interleave` of two 5-part splices", 1, interleave, false},
      {"`Interleave` of two 5-part splices", 2, interleave, false},
      {"`StackHorizontal` of 5 parts, 50 frames", 4, stack, false},
      {"`StackHorizontal` of 5 parts, 50 frames", 5, stack, false},
      {"per-part `AudioDub` splice of 10 parts, video and audio read per frame", 1, audioDub, true},
      {"per-part `AudioDub` splice of 10 parts, video and audio read per frame", 2, audioDub, true},
      {"`TemporalSoften(2, 4, 8)` inside the wrapped function, 10 parts", 4,
       [](bool d) { return Splice(0, 10, [d](int i) { return Source("Soft", i, d); }); }, false},
      {"`TemporalSoften(2, 4, 8)` applied to each wrapped part, 10 parts", 4,
       [](bool d) { return Splice(0, 10, [d](int i) { return Source("V", i, d) + ".TemporalSoften(2, 4, 8)"; }); },
       false},
  };
}

struct Cost {
  int opens;
  double seconds;
};

Cost Play(const Case& c, bool deferred) {
  HostSession host;
  host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
  host.Eval(kPrelude + Templates());
  const auto start = std::chrono::steady_clock::now();
  const PClip clip =
      host.Clip((deferred ? "DorvelFilterLimit(" + std::to_string(c.limit) + ")\n" : "") + c.script(deferred));
  const VideoInfo& vi = clip->GetVideoInfo();
  std::vector<unsigned char> audio;
  for (int n = 0; n < vi.num_frames; ++n) {
    clip->GetFrame(n, host.env());
    if (c.audioPerFrame) {
      const int64_t first = vi.AudioSamplesFromFrames(n), count = vi.AudioSamplesFromFrames(n + 1) - first;
      audio.resize(static_cast<std::size_t>(count * vi.BytesPerAudioSample()));
      clip->GetAudio(audio.data(), first, count, host.env());
    }
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  return {host.Eval("opens").AsInt(), took.count()};
}

long ResidentMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6)) / 1024;
  }
  return -1;
}

// The quick start's splice of 300 parts read through twice: resident
// memory after loading, after one pass and after two.
void MemoryOfTwoPasses(bool deferred, int memoryMax) {
  HostSession host;
  host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
  host.Eval(kPrelude + Templates());
  std::string script = memoryMax > 0 ? "SetMemoryMax(" + std::to_string(memoryMax) + ")\n" : "";
  if (deferred) script += "DorvelFilterLimit(2)\n";
  script += Splice(0, 300, [deferred](int i) { return Source("V", i, deferred); });
  const PClip clip = host.Clip(script);
  const long loaded = ResidentMiB();
  long passes[2];
  for (long& pass : passes) {
    for (int n = 0; n < clip->GetVideoInfo().num_frames; ++n) clip->GetFrame(n, host.env());
    pass = ResidentMiB();
  }
  std::cout << "| " << (deferred ? "module" : "direct") << " | "
            << (memoryMax > 0 ? "SetMemoryMax(" + std::to_string(memoryMax) + ")" : "default") << " | " << loaded
            << " MiB | " << passes[0] << " MiB | " << passes[1] << " MiB |" << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  const bool memory = argc == 5 && std::string(argv[2]) == "--memory";
  if (argc != 2 && !memory) {
    std::cerr << "usage: dorvel_costs MEDIA_DIR [--memory module|direct MAX]\n";
    return 2;
  }
  media = argv[1];
  try {
    if (memory) {
      MemoryOfTwoPasses(std::string(argv[3]) == "module", std::stoi(argv[4]));
      return 0;
    }
    {
      // FFMS2 indexes each file at its first opening; that is left out.
      HostSession host;
      host.LoadPlugin(DORVEL_FFMS2_PLUGIN);
      for (int i = 0; i < 10; ++i) host.Eval("FFVideoSource(" + File(i) + ")\nFFAudioSource(" + File(i) + ")");
    }
    std::cout << "| script | limit | openings, module / direct | time, module / direct |\n|---|---:|---:|---:|\n";
    for (const Case& c : Cases()) {
      const Cost deferred = Play(c, true), direct = Play(c, false);
      char times[64];
      std::snprintf(times, sizeof times, "%.2f s / %.2f s", deferred.seconds, direct.seconds);
      std::cout << "| " << c.name << " | " << c.limit << " | " << deferred.opens << " / " << direct.opens << " | "
                << times << " |" << std::endl;
    }
  } catch (const AvisynthError& error) {
    std::cerr << "error: " << error.msg << "\n";
    return 1;
  }
  return 0;
}
