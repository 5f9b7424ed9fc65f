// Runs a script in a real host with the built module and the counting source,
// and prints what it saw: the clip's description, each frame's digest and
// parity, the first audio samples, and how many counting sources were made
// and are alive.
//
//   dorvel_run [--no-load] [--fetch-only] [--timings] [--frames N] SCRIPT_FILE
//
// With --no-load the runner does not load the module: the host must find it
// in its plugin folders, or the script load it. With --fetch-only frames are
// only requested, for timing, and a summary is printed at the end. With
// --timings it prints, in milliseconds since the script began to load, when
// the script was loaded, when frame 0 came back and when the last one did.
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "counting_source.h"
#include "host_session.h"

int main(int argc, char** argv) {
  HostSession::Module module = HostSession::Module::Load;
  bool fetchOnly = false;
  bool timings = false;
  int frameLimit = -1;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-load") == 0) {
      module = HostSession::Module::Autoload;
    } else if (std::strcmp(argv[i], "--fetch-only") == 0) {
      fetchOnly = true;
    } else if (std::strcmp(argv[i], "--timings") == 0) {
      timings = true;
    } else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
      frameLimit = std::stoi(argv[++i]);
    } else {
      path = argv[i];
    }
  }
  if (path == nullptr) {
    std::cerr << "usage: dorvel_run [--no-load] [--fetch-only] [--timings] [--frames N] SCRIPT_FILE\n";
    return 2;
  }
  std::ifstream file(path);
  std::stringstream script;
  script << file.rdbuf();
  if (!file) {
    std::cerr << "dorvel_run: cannot read " << path << "\n";
    return 2;
  }

  try {
    HostSession host(module);
    // The error's text belongs to the environment: it is printed while the
    // environment still exists.
    try {
      const auto start = std::chrono::steady_clock::now();
      const auto report = [&](const char* what) {
        if (!timings) return;
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        std::cout << what << "_ms=" << elapsed.count() << "\n";
      };
      const PClip clip = host.Clip(script.str());
      report("loaded");
      const VideoInfo& vi = clip->GetVideoInfo();
      std::cout << "video " << vi.width << "x" << vi.height << " pixel_type=" << vi.pixel_type
                << " frames=" << vi.num_frames << " audio_rate=" << vi.audio_samples_per_second
                << " channels=" << vi.nchannels << "\n";
      const int frames = frameLimit < 0 ? vi.num_frames : std::min(frameLimit, vi.num_frames);
      for (int n = 0; n < frames; ++n) {
        const PVideoFrame frame = clip->GetFrame(n, host.env());
        if (n == 0) report("first_frame");
        if (fetchOnly) continue;
        std::cout << "frame " << n << " digest=" << std::hex << FrameDigest(frame, vi) << std::dec
                  << " parity=" << clip->GetParity(n) << "\n";
      }
      report("last_frame");
      if (fetchOnly) std::cout << "fetched " << frames << " frames\n";
      if (vi.HasAudio()) {
        unsigned char bytes[16] = {};
        const int64_t count = static_cast<int64_t>(sizeof bytes) / vi.BytesPerAudioSample();
        clip->GetAudio(bytes, 0, count, host.env());
        std::cout << "audio";
        for (int64_t i = 0; i < count * vi.BytesPerAudioSample(); ++i) std::cout << " " << int(bytes[i]);
        std::cout << "\n";
      }
      std::cout << "counting_opens=" << counting::Opens() << " counting_alive=" << counting::Alive()
                << " counting_most_inside=" << counting::MostInside() << "\n";
    } catch (const AvisynthError& error) {
      std::cerr << "error: " << error.msg << "\n";
      return 1;
    }
  } catch (const AvisynthError& error) {
    std::cerr << "error: " << error.msg << "\n";
    return 1;
  }
  return 0;
}
