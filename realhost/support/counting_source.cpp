#include "counting_source.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace counting {
namespace {

struct Counts {
  std::mutex mutex;
  std::map<int, int> opens;
  std::map<int, int> alive;
  std::map<int, int> failuresLeft;
  int peakAlive = 0;
  int mostInside = 0;
};

Counts& counts() {
  static Counts instance;
  return instance;
}

int Sum(const std::map<int, int>& perId, int id) {
  if (id >= 0) {
    const auto found = perId.find(id);
    return found == perId.end() ? 0 : found->second;
  }
  int total = 0;
  for (const auto& entry : perId) total += entry.second;
  return total;
}

int PixelTypeNamed(const char* name, IScriptEnvironment* env) {
  static const std::map<std::string, int> kTypes = {
      {"YV12", VideoInfo::CS_YV12}, {"I420", VideoInfo::CS_I420},   {"YV24", VideoInfo::CS_YV24},
      {"Y8", VideoInfo::CS_Y8},     {"RGB32", VideoInfo::CS_BGR32},
  };
  const auto found = kTypes.find(name);
  if (found == kTypes.end()) env->ThrowError("CountingSource: unknown pixel_type '%s'", name);
  return found->second;
}

class CountingClip : public IClip {
 public:
  CountingClip(int id, const VideoInfo& vi, int mtMode, int delayUs)
      : id_(id), vi_(vi), mtMode_(mtMode), delay_(delayUs) {
    Counts& c = counts();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.opens[id_]++;
    c.alive[id_]++;
    c.peakAlive = std::max(c.peakAlive, Sum(c.alive, -1));
  }
  ~CountingClip() override {
    Counts& c = counts();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.alive[id_]--;
  }

  PVideoFrame __stdcall GetFrame(int n, IScriptEnvironment* env) override {
    const Inside inside(*this);
    PVideoFrame frame = env->NewVideoFrame(vi_);
    const int planes[] = {PLANAR_Y, PLANAR_U, PLANAR_V};
    const int planeCount = vi_.IsPlanar() ? vi_.NumComponents() : 1;
    for (int p = 0; p < planeCount; ++p) {
      const int plane = vi_.IsPlanar() ? planes[p] : 0;
      BYTE* row = frame->GetWritePtr(plane);
      for (int y = 0; y < frame->GetHeight(plane); ++y, row += frame->GetPitch(plane)) {
        std::memset(row, (id_ * 7 + n * 3 + p + y) & 0xff, frame->GetRowSize(plane));
      }
    }
    const Tag tag{id_, n};
    std::memcpy(frame->GetWritePtr(vi_.IsPlanar() ? PLANAR_Y : 0), &tag, sizeof tag);
    return frame;
  }

  bool __stdcall GetParity(int) override { return true; }

  void __stdcall GetAudio(void* buf, int64_t, int64_t count, IScriptEnvironment*) override {
    const Inside inside(*this);
    auto* bytes = static_cast<unsigned char*>(buf);
    const int width = vi_.BytesPerChannelSample();
    const int64_t samples = count * vi_.AudioChannels();
    for (int64_t i = 0; i < samples; ++i) {
      for (int b = 0; b < width; ++b) bytes[i * width + b] = b == 0 ? static_cast<unsigned char>(id_) : 0;
    }
  }

  int __stdcall SetCacheHints(int hint, int) override { return hint == CACHE_GET_MTMODE ? mtMode_ : 0; }
  const VideoInfo& __stdcall GetVideoInfo() override { return vi_; }

 private:
  // One thread inside a request, counted while it lasts; the request takes
  // the clip's delay.
  class Inside {
   public:
    explicit Inside(CountingClip& clip) : clip_(clip) {
      const int inside = ++clip_.inside_;
      {
        Counts& c = counts();
        std::lock_guard<std::mutex> lock(c.mutex);
        c.mostInside = std::max(c.mostInside, inside);
      }
      if (clip_.delay_.count() > 0) std::this_thread::sleep_for(clip_.delay_);
    }
    ~Inside() { --clip_.inside_; }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

   private:
    CountingClip& clip_;
  };

  int id_;
  VideoInfo vi_;
  int mtMode_;
  std::chrono::microseconds delay_;
  std::atomic<int> inside_{0};
};

AVSValue __cdecl Create(AVSValue args, void*, IScriptEnvironment* env) {
  const int id = args[0].AsInt();
  const int frames = args[1].AsInt(100);
  const int width = args[2].AsInt(64);
  const int height = args[3].AsInt(48);
  const char* pixelType = args[4].AsString("YV12");
  const int channels = args[5].AsInt(1);
  const int sampleType = args[6].AsInt(SAMPLE_INT16);
  const int audioRate = args[7].AsInt(48000);
  const int fail = args[8].AsInt(0);
  const int mtMode = args[9].AsInt(MT_NICE_FILTER);
  const int delayUs = args[10].AsInt(0);
  const int openDelayUs = args[11].AsInt(0);

  {
    Counts& c = counts();
    std::lock_guard<std::mutex> lock(c.mutex);
    auto left = c.failuresLeft.find(id);
    if (left == c.failuresLeft.end()) left = c.failuresLeft.emplace(id, fail).first;
    if (left->second > 0) {
      left->second--;
      // ThrowError does not return; the lock is released as the error leaves.
      env->ThrowError("CountingSource: source %d failed to open, as asked", id);
    }
  }

  VideoInfo vi{};
  vi.width = width;
  vi.height = height;
  vi.fps_numerator = 25;
  vi.fps_denominator = 1;
  vi.num_frames = frames;
  vi.pixel_type = PixelTypeNamed(pixelType, env);
  vi.audio_samples_per_second = audioRate;
  vi.sample_type = sampleType;
  vi.nchannels = audioRate == 0 ? 0 : channels;
  vi.num_audio_samples = audioRate == 0 ? 0 : static_cast<int64_t>(frames) * audioRate / 25;
  PClip made = new CountingClip(id, vi, mtMode, delayUs);
  // A decoder takes its time to open (indexes, headers, the first seek);
  // the clip counts as made from the start of it.
  if (openDelayUs > 0) std::this_thread::sleep_for(std::chrono::microseconds(openDelayUs));
  return made;
}

}  // namespace

void Register(IScriptEnvironment* env) {
  env->AddFunction("CountingSource",
                   "i[frames]i[width]i[height]i[pixel_type]s[channels]i[sample_type]i[audio_rate]i[fail]i[mt_mode]i["
                   "delay_us]i[open_delay_us]i",
                   Create, nullptr);
}

int Opens(int id) {
  std::lock_guard<std::mutex> lock(counts().mutex);
  return Sum(counts().opens, id);
}

int Alive(int id) {
  std::lock_guard<std::mutex> lock(counts().mutex);
  return Sum(counts().alive, id);
}

int MostInside() {
  std::lock_guard<std::mutex> lock(counts().mutex);
  return counts().mostInside;
}

int PeakAlive() {
  std::lock_guard<std::mutex> lock(counts().mutex);
  return counts().peakAlive;
}

void Reset() {
  Counts& c = counts();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.opens.clear();
  c.failuresLeft.clear();
  c.peakAlive = Sum(c.alive, -1);
  c.mostInside = 0;
}

Tag TagOf(const PVideoFrame& frame) {
  Tag tag{};
  std::memcpy(&tag, frame->GetReadPtr(), sizeof tag);
  return tag;
}

}  // namespace counting
