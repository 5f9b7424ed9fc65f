// Runs a script in a real host with the built module and the counting source,
// and prints what it saw: the clip's description, each frame's digest and
// parity, the first audio samples, and how many counting sources were made
// and are alive.
//
//   dorvel_run [--no-load] [--fetch-only] [--frames N] SCRIPT_FILE
//
// With --no-load the runner does not load the module: the host must find it
// in its plugin folders, or the script load it. With --fetch-only frames are
// only requested, for timing, and a summary is printed at the end.
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
  int frameLimit = -1;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-load") == 0) {
      module = HostSession::Module::Autoload;
    } else if (std::strcmp(argv[i], "--fetch-only") == 0) {
      fetchOnly = true;
    } else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
      frameLimit = std::stoi(argv[++i]);
    } else {
      path = argv[i];
    }
  }
  if (path == nullptr) {
    std::cerr << "usage: dorvel_run [--no-load] [--fetch-only] [--frames N] SCRIPT_FILE\n";
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
    const PClip clip = host.Clip(script.str());
    const VideoInfo& vi = clip->GetVideoInfo();
    std::cout << "video " << vi.width << "x" << vi.height << " pixel_type=" << vi.pixel_type
              << " frames=" << vi.num_frames << " audio_rate=" << vi.audio_samples_per_second
              << " channels=" << vi.nchannels << "\n";
    const int frames = frameLimit < 0 ? vi.num_frames : std::min(frameLimit, vi.num_frames);
    for (int n = 0; n < frames; ++n) {
      const PVideoFrame frame = clip->GetFrame(n, host.env());
      if (fetchOnly) continue;
      std::cout << "frame " << n << " digest=" << std::hex << FrameDigest(frame, vi) << std::dec
                << " parity=" << clip->GetParity(n) << "\n";
    }
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
