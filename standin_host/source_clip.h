// Source clips for tests, the demo and benchmarks: each stands for an open
// decoder. It holds a buffer of state for as long as it lives, tags every
// frame and audio sample with its own id, and counts itself in SourceStats.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "plugin/avisynth_interface.h"

class ScriptEnvironment;

struct SourceStats {
  std::atomic<int> opens{0};      // clips made
  std::atomic<int> alive{0};      // clips alive now
  std::atomic<int> peakAlive{0};  // most clips alive at once
  std::atomic<int> overlaps{0};   // requests that found another thread inside a serialized clip
};

enum class FrameMode {
  Fill,    // each request makes a new frame and fills every pixel
  Stored,  // each request hands back one frame made at opening
};

struct SourceSettings {
  VideoInfo vi = DefaultVideoInfo();
  std::size_t stateBytes = 0;  // the decoder's state, touched so that it is resident
  FrameMode frames = FrameMode::Fill;
  std::chrono::microseconds openDelay{0};     // how long opening takes
  std::chrono::microseconds requestDelay{0};  // how long each frame, audio or parity request takes
  // Like a real decoder, a clip may be entered by one thread at a time, and
  // says so when the host asks; a second thread inside counts as an overlap
  // and is reported on the error stream. Off, it is safe on any thread.
  bool serialized = true;
  SourceStats* stats = nullptr;
  // Runs at the start of every frame request, before the frame is made.
  std::function<void(int id, int n, IScriptEnvironment* env)> onFrame;
  // Runs as the clip is destroyed.
  std::function<void(int id)> onRelease;

  // 320x240, 4 bytes a pixel, 1000 frames; 48 kHz mono 16-bit audio.
  static VideoInfo DefaultVideoInfo();
};

class SourceClip : public IClip {
 public:
  SourceClip(int id, const SourceSettings& settings);
  ~SourceClip() override;

  PVideoFrame DORVEL_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
  bool DORVEL_STDCALL GetParity(int) override;
  // Every 16-bit sample holds the clip's id. A request that reaches outside
  // the clip's samples fails.
  void DORVEL_STDCALL GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) override;
  int DORVEL_STDCALL SetCacheHints(int cachehints, int) override;
  const VideoInfo& DORVEL_STDCALL GetVideoInfo() override { return vi_; }

  int id() const { return id_; }

 private:
  class Inside;

  int id_;
  SourceSettings settings_;
  VideoInfo vi_;
  std::unique_ptr<unsigned char[]> state_;
  PVideoFrame stored_;
  std::atomic<int> inside_{0};  // threads inside a request now
};

// The bytes of one frame of `vi`.
std::size_t FrameBytes(const VideoInfo& vi);

// Registers `name` with the parameter string "i": called with an id, it makes
// a SourceClip of that id with `settings`.
void AddSourceFunction(ScriptEnvironment& env, const std::string& name, const SourceSettings& settings);
