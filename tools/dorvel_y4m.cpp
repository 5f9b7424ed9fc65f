// Loads an AviSynth script in the host and writes its video to standard
// output as YUV4MPEG2, for encoders that read that from a pipe (x265,
// SvtAv1EncApp):
//
//   dorvel_y4m SCRIPT.avs | x265 --y4m --input - -o out.hevc
//
// Planar YUV and greyscale of 8 to 16 bits per component are written as they
// are; an alpha plane is left out. While it writes, a line on standard error
// says how many frames went out ("dorvel_y4m: 250 frames written"), about
// once a second and once at the end. A script that does not load, or a frame
// the host cannot make, ends it with the host's message and exit status 1.
#include <avisynth.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "y4m_header.h"

namespace {

// Writes the visible bytes of one plane, row by row.
bool WritePlane(const PVideoFrame& frame, int plane, std::FILE* out) {
  const BYTE* row = frame->GetReadPtr(plane);
  const int pitch = frame->GetPitch(plane);
  const int bytes = frame->GetRowSize(plane);
  const int height = frame->GetHeight(plane);
  for (int y = 0; y < height; ++y, row += pitch) {
    if (std::fwrite(row, 1, static_cast<size_t>(bytes), out) != static_cast<size_t>(bytes)) return false;
  }
  return true;
}

int Run(const char* path) {
  IScriptEnvironment* env = CreateScriptEnvironment(6);
  if (env == nullptr) {
    std::fprintf(stderr, "dorvel_y4m: the AviSynth+ host made no script environment\n");
    return 1;
  }
  int status = 0;
  try {
    const AVSValue value = env->Invoke("Import", AVSValue(path));
    if (!value.IsClip()) env->ThrowError("%s: the script's value is not a clip", path);
    const PClip clip = value.AsClip();
    const VideoInfo& vi = clip->GetVideoInfo();
    const y4m::Layout layout = y4m::LayoutOf(vi);
    if (!layout.error.empty()) env->ThrowError("%s: %s", path, layout.error.c_str());

    static char buffer[1 << 20];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    const std::string header = y4m::StreamHeader(vi, layout);
    std::fwrite(header.data(), 1, header.size(), stdout);
    const int planes[] = {PLANAR_Y, PLANAR_U, PLANAR_V};
    auto said = std::chrono::steady_clock::now();
    for (int n = 0; n < vi.num_frames; ++n) {
      const PVideoFrame frame = clip->GetFrame(n, env);
      bool written = std::fputs("FRAME\n", stdout) >= 0;
      for (int p = 0; written && p < layout.planes; ++p) written = WritePlane(frame, planes[p], stdout);
      if (!written) {
        std::fprintf(stderr, "dorvel_y4m: the reader went away after %d frames\n", n);
        status = 1;
        break;
      }
      const auto now = std::chrono::steady_clock::now();
      if (now - said >= std::chrono::seconds(1)) {
        std::fprintf(stderr, "dorvel_y4m: %d frames written\n", n + 1);
        said = now;
      }
    }
    if (status == 0 && std::fflush(stdout) != 0) {
      std::fprintf(stderr, "dorvel_y4m: the reader went away at the end\n");
      status = 1;
    }
    if (status == 0) std::fprintf(stderr, "dorvel_y4m: %d frames written\n", vi.num_frames);
  } catch (const AvisynthError& error) {
    std::fprintf(stderr, "dorvel_y4m: %s\n", error.msg);
    status = 1;
  } catch (const IScriptEnvironment::NotFound&) {
    std::fprintf(stderr, "dorvel_y4m: the host has no Import function\n");
    status = 1;
  }
  env->DeleteScriptEnvironment();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {
    std::fprintf(stderr, "usage: dorvel_y4m SCRIPT.avs >OUT.y4m\n");
    return 2;
  }
  return Run(argv[1]);
}
