#include "source_clip.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include "script_environment.h"
#include "video_frame.h"

VideoInfo SourceSettings::DefaultVideoInfo() {
  VideoInfo vi{};
  vi.width = 320;
  vi.height = 240;
  vi.fps_numerator = 25;
  vi.fps_denominator = 1;
  vi.num_frames = 1000;
  vi.pixel_type = 1;
  vi.audio_samples_per_second = 48000;
  vi.sample_type = 2;
  vi.num_audio_samples = 1920000;
  vi.nchannels = 1;
  return vi;
}

std::size_t FrameBytes(const VideoInfo& vi) {
  return static_cast<std::size_t>(vi.width > 0 ? vi.width : 0) *
         static_cast<std::size_t>(vi.height > 0 ? vi.height : 0) * 4;
}

SourceClip::SourceClip(int id, const SourceSettings& settings) : id_(id), settings_(settings), vi_(settings.vi) {
  if (settings_.openDelay.count() > 0) std::this_thread::sleep_for(settings_.openDelay);
  if (settings_.stateBytes > 0) {
    state_.reset(new unsigned char[settings_.stateBytes]);
    std::memset(state_.get(), id_ & 0xff, settings_.stateBytes);
  }
  if (settings_.frames == FrameMode::Stored) stored_ = MakeFrame(id_, 0, FrameBytes(vi_), static_cast<uint8_t>(id_));
  if (SourceStats* stats = settings_.stats) {
    stats->opens++;
    const int alive = ++stats->alive;
    int peak = stats->peakAlive.load();
    while (alive > peak && !stats->peakAlive.compare_exchange_weak(peak, alive)) {
    }
  }
}

SourceClip::~SourceClip() {
  if (settings_.onRelease) settings_.onRelease(id_);
  if (settings_.stats != nullptr) settings_.stats->alive--;
}

// One thread inside a request, for as long as the request lasts.
class SourceClip::Inside {
 public:
  explicit Inside(SourceClip& clip) : clip_(clip) {
    const int others = clip_.inside_++;
    if (others > 0 && clip_.settings_.serialized) {
      std::fprintf(stderr, "source %d: entered by %d threads at once, but it is serialized\n", clip_.id_, others + 1);
      if (clip_.settings_.stats != nullptr) clip_.settings_.stats->overlaps++;
    }
    if (clip_.settings_.requestDelay.count() > 0) std::this_thread::sleep_for(clip_.settings_.requestDelay);
  }
  ~Inside() { clip_.inside_--; }
  Inside(const Inside&) = delete;
  Inside& operator=(const Inside&) = delete;

 private:
  SourceClip& clip_;
};

PVideoFrame SourceClip::GetFrame(int n, IScriptEnvironment* env) {
  const HostRequest request;
  const Inside inside(*this);
  if (settings_.onFrame) settings_.onFrame(id_, n, env);
  if (settings_.frames == FrameMode::Stored) return stored_;
  return MakeFrame(id_, n, FrameBytes(vi_), static_cast<uint8_t>(id_));
}

bool SourceClip::GetParity(int) {
  const Inside inside(*this);
  return true;
}

int SourceClip::SetCacheHints(int cachehints, int) {
  if (cachehints != CACHE_GET_MTMODE) return 0;
  return settings_.serialized ? MT_SERIALIZED : MT_NICE_FILTER;
}

void SourceClip::GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) {
  const HostRequest request;
  const Inside inside(*this);
  // Like a decoder, it has no samples outside its own, and fails a request
  // for them.
  if (start < 0 || count < 0 || start > vi_.num_audio_samples - count) {
    env->ThrowError("Source %d: out of bounds audio samples requested", id_);
  }
  auto* samples = static_cast<int16_t*>(buf);
  const int64_t total = count * (vi_.nchannels > 0 ? vi_.nchannels : 1);
  for (int64_t i = 0; i < total; ++i) samples[i] = static_cast<int16_t>(id_);
}

void AddSourceFunction(ScriptEnvironment& env, const std::string& name, const SourceSettings& settings) {
  env.AddFunction(name, "i", [settings](const AVSValue& args, IScriptEnvironment*) {
    return AVSValue(new SourceClip(args[0].AsInt(), settings));
  });
}
