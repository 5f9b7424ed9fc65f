// One stand-in host for all benchmarks, with the built module loaded and the
// sources they measure registered:
//   "Fill"    makes a new 320x240 frame and fills it, per request;
//   "Stored"  hands back one frame made when it opened;
//   "Tiny"    makes a new 8x8 frame, so that opening dominates.
#pragma once

#include <benchmark/benchmark.h>

#include <array>
#include <mutex>

#include "script_environment.h"
#include "source_clip.h"
#include "video_frame.h"

class BenchHost {
 public:
  static BenchHost& Get();

  IScriptEnvironment* env() { return &env_; }
  // The source clip itself, as the host would hand it out.
  PClip Source(const char* function, int id);
  // DorvelFilter(function, [id]), with a template (closed) or without (open).
  PClip Deferred(const char* function, int id, bool withTemplate);
  void Limit(int limit);
  // Makes the clip at `slot` with `make` the first time it is asked for; the
  // clips are kept for the whole run and dropped before the module unloads.
  template <typename Make>
  PClip Kept(std::size_t slot, Make make) {
    std::lock_guard<std::mutex> lock(keptMutex_);
    PClip& clip = kept_.at(slot);
    if (!clip) clip = make(*this);
    return clip;
  }

 private:
  BenchHost();
  ScriptEnvironment env_;
  AVSValue shape_;
  std::mutex keptMutex_;
  std::array<PClip, 8> kept_;
};
