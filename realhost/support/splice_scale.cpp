// Times one script in a real host, for the benchmark of splices of many
// parts: how long the script takes to load, how long reading every frame in
// order takes, and the process's peak memory after each. With --digest it
// also prints one digest of all frames, to check that variants of a script
// play the same frames (digesting is slow, so it is not done while timing).
//
//   dorvel_splice_scale [--no-load] [--digest] SCRIPT_FILE
//
// Prints one line: load_s=... read_s=... frames=N load_peak_mib=...
// peak_mib=... [digest=...]. With --no-load the module is not loaded.
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "host_session.h"

namespace {

// The process's peak resident memory so far. getrusage would also count the
// peak of the process image this one replaced (its parent's, after fork),
// which /proc's VmHWM does not.
double PeakMib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;  // in kB
  }
  return -1;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  HostSession::Module module = HostSession::Module::Load;
  bool digest = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-load") == 0) {
      module = HostSession::Module::Autoload;
    } else if (std::strcmp(argv[i], "--digest") == 0) {
      digest = true;
    } else {
      path = argv[i];
    }
  }
  std::ifstream file(path == nullptr ? "" : path);
  std::stringstream script;
  script << file.rdbuf();
  if (path == nullptr || !file) {
    std::cerr << "usage: dorvel_splice_scale [--no-load] [--digest] SCRIPT_FILE\n";
    return 2;
  }

  try {
    HostSession host(module);
    auto start = std::chrono::steady_clock::now();
    const PClip clip = host.Clip(script.str());
    const double loadSeconds = SecondsSince(start);
    const double loadPeak = PeakMib();

    const VideoInfo vi = clip->GetVideoInfo();
    uint64_t all = 0;
    volatile BYTE sink = 0;  // one byte of each frame is read, so every frame is really made
    start = std::chrono::steady_clock::now();
    for (int n = 0; n < vi.num_frames; ++n) {
      const PVideoFrame frame = clip->GetFrame(n, host.env());
      sink = frame->GetReadPtr()[0];
      if (digest) all = all * 1099511628211ull ^ FrameDigest(frame, vi);
    }
    const double readSeconds = SecondsSince(start);
    static_cast<void>(sink);

    std::cout << "load_s=" << loadSeconds << " read_s=" << readSeconds << " frames=" << vi.num_frames
              << " load_peak_mib=" << loadPeak << " peak_mib=" << PeakMib();
    if (digest) std::cout << " digest=" << std::hex << all << std::dec;
    std::cout << std::endl;
  } catch (const AvisynthError& error) {
    std::cerr << "error: " << error.msg << "\n";
    return 1;
  }
  return 0;
}
