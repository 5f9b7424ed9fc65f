// The module's main job, shown without the real host: a script splices many
// sources, each an open decoder holding memory; DorvelFilter keeps only a few
// of them alive at once. The stand-in host loads the built module, registers
// a decoder-like source function, makes one DorvelFilter per source with a
// template clip as a script would, and reads frames across all of them.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "script_environment.h"
#include "source_clip.h"
#include "video_frame.h"

namespace {

struct Options {
  int sources = 50;
  int limit = 4;
  int mb = 16;
  int frames = 5;
  std::string plugin = DORVEL_MODULE_PATH;
};

void Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--sources N] [--limit L] [--mb M] [--frames F] [--plugin PATH]\n"
               "  --sources N  DorvelFilter clips to splice (default 50)\n"
               "  --limit L    DorvelFilterLimit; -1 for no limit (default 4)\n"
               "  --mb M       MiB of state each source holds while open (default 16)\n"
               "  --frames F   frames read from each clip (default 5)\n"
               "  --plugin P   the module to load (default: the one built with the demo)\n",
               program);
}

bool ParseInt(const char* text, int lowest, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < lowest || value > 1000000) return false;
  *out = static_cast<int>(value);
  return true;
}

bool Parse(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h" || i + 1 >= argc) return false;
    const char* value = argv[++i];
    bool ok = true;
    if (flag == "--sources") {
      ok = ParseInt(value, 1, &options->sources);
    } else if (flag == "--limit") {
      ok = ParseInt(value, -1000000, &options->limit);
    } else if (flag == "--mb") {
      ok = ParseInt(value, 0, &options->mb);
    } else if (flag == "--frames") {
      ok = ParseInt(value, 1, &options->frames);
    } else if (flag == "--plugin") {
      options->plugin = value;
    } else {
      ok = false;
    }
    if (!ok) return false;
  }
  return true;
}

long PeakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
#if defined(__APPLE__)
  return usage.ru_maxrss / (1024 * 1024);  // bytes there, KiB on Linux
#else
  return usage.ru_maxrss / 1024;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, &options)) {
    Usage(argv[0]);
    return 2;
  }

  ScriptEnvironment env;
  std::printf("loaded %s: %s\n", options.plugin.c_str(), env.LoadPlugin(options.plugin));

  SourceStats stats;
  SourceSettings decoder;
  decoder.stateBytes = static_cast<std::size_t>(options.mb) << 20;
  decoder.stats = &stats;
  AddSourceFunction(env, "Decoder", decoder);
  AddSourceFunction(env, "BlankClip", SourceSettings());

  int errors = 0;
  long framesRead = 0;
  try {
    env.Call("DorvelFilterLimit", {AVSValue(options.limit)});
    // vi_clip = BlankClip(0); clips = [DorvelFilter("Decoder", [i], vi_clip=vi_clip), ...]
    const AVSValue shape = env.Call("BlankClip", {AVSValue(0)});
    std::vector<PClip> clips;
    for (int i = 1; i <= options.sources; ++i) {
      clips.push_back(CallDorvelFilter(env, "Decoder", ArrayOf({AVSValue(i)}), shape.AsClip()).AsClip());
    }
    for (int i = 0; i < options.sources; ++i) {
      for (int n = 0; n < options.frames; ++n) {
        const PVideoFrame frame = clips[static_cast<std::size_t>(i)]->GetFrame(n, &env);
        ++framesRead;
        if (!frame || frame->source() != i + 1 || frame->number() != n) ++errors;
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "error: %s\n", error.what());
    return 1;
  }

  std::printf("%d sources of %d MiB each, limit %d\n", options.sources, options.mb, options.limit);
  std::printf("  read %ld frames; %s\n", framesRead,
              errors == 0 ? "every one came from its own source" : "SOME CAME FROM THE WRONG SOURCE");
  std::printf("  the source function ran %d times\n", stats.opens.load());
  std::printf("  at most %d sources were open at once\n", stats.peakAlive.load());
  std::printf("  peak memory of the process: %ld MiB\n", PeakRssMiB());
  std::printf("sources=%d limit=%d frames=%ld opens=%d peak_open=%d peak_rss_mb=%ld\n", options.sources, options.limit,
              framesRead, stats.opens.load(), stats.peakAlive.load(), PeakRssMiB());
  return errors == 0 ? 0 : 1;
}
