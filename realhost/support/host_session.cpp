#include "host_session.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "counting_source.h"

namespace {

// The module's path made whole before any test changes the working folder:
// under Wine the build machine's "/work/..." names no drive, so after a
// change to C:\ it would be looked for there.
const std::string kModulePath = std::filesystem::absolute(DORVEL_MODULE_PATH).string();

}  // namespace

HostSession::HostSession(Module module) : env_(CreateScriptEnvironment(AVISYNTH_INTERFACE_VERSION)) {
  if (env_ == nullptr) throw std::runtime_error("the host made no script environment");
  counting::Register(env_);
  if (module == Module::Load) LoadPlugin(kModulePath);
}

HostSession::~HostSession() { env_->DeleteScriptEnvironment(); }

AVSValue HostSession::Eval(const std::string& script) { return env_->Invoke("Eval", AVSValue(script.c_str())); }

PClip HostSession::Clip(const std::string& script) {
  const AVSValue value = Eval(script);
  if (!value.IsClip()) throw std::runtime_error("the script's value is not a clip: " + script);
  return value.AsClip();
}

std::string HostSession::ErrorOf(const std::string& script) {
  return HostErrorOf([&] { Eval(script); });
}

void HostSession::LoadPlugin(const std::string& path) { env_->Invoke("LoadPlugin", AVSValue(path.c_str())); }

// FNV-1a over 64-bit words, then the bytes that end a row. Each step is a
// bijection of the word given the digest so far, so a frame that differs
// from another in one word always digests otherwise. The frame's shape is
// read once per plane: these are calls into the host.
uint64_t FrameDigest(const PVideoFrame& frame, const VideoInfo& vi) {
  constexpr uint64_t kPrime = 1099511628211ull;
  uint64_t digest = 1469598103934665603ull;
  const int planes[] = {PLANAR_Y, PLANAR_U, PLANAR_V, PLANAR_A};
  const int planeCount = vi.IsPlanar() ? vi.NumComponents() : 1;
  for (int p = 0; p < planeCount; ++p) {
    const int plane = vi.IsPlanar() ? planes[p] : 0;
    const BYTE* row = frame->GetReadPtr(plane);
    const int height = frame->GetHeight(plane), pitch = frame->GetPitch(plane);
    const std::size_t width = static_cast<std::size_t>(frame->GetRowSize(plane));
    for (int y = 0; y < height; ++y, row += pitch) {
      std::size_t x = 0;
      for (; x + sizeof(uint64_t) <= width; x += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, row + x, sizeof word);
        digest = (digest ^ word) * kPrime;
      }
      for (; x < width; ++x) digest = (digest ^ row[x]) * kPrime;
    }
  }
  return digest;
}

std::vector<uint64_t> FrameDigests(const PClip& clip, IScriptEnvironment* env) {
  const VideoInfo& vi = clip->GetVideoInfo();
  std::vector<uint64_t> digests;
  for (int n = 0; n < vi.num_frames; ++n) digests.push_back(FrameDigest(clip->GetFrame(n, env), vi));
  return digests;
}

std::vector<unsigned char> AllAudio(const PClip& clip, IScriptEnvironment* env, bool backwards) {
  const VideoInfo& vi = clip->GetVideoInfo();
  const int64_t block = 10000, bytes = vi.BytesPerAudioSample();
  std::vector<unsigned char> audio(static_cast<std::size_t>(vi.num_audio_samples * bytes));
  const int64_t blocks = (vi.num_audio_samples + block - 1) / block;
  for (int64_t i = 0; i < blocks; ++i) {
    const int64_t start = (backwards ? blocks - 1 - i : i) * block;
    clip->GetAudio(&audio[static_cast<std::size_t>(start * bytes)], start,
                   std::min(block, vi.num_audio_samples - start), env);
  }
  return audio;
}

std::string CountingTemplate(int frames) {
  return "BlankClip(length=" + std::to_string(frames) +
         ", width=64, height=48, fps=25, pixel_type=\"YV12\", audio_rate=48000, channels=1, sample_type=\"16bit\")";
}
