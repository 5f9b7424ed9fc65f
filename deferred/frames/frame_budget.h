// One budget for the frames that every filter in the process keeps, a share
// of the host's own frame memory limit (what a script sets with
// SetMemoryMax). When the kept frames outgrow it, the frames used longest
// ago go first, whichever filter keeps them: those of a filter that is no
// longer read (a part that played to its end) are all older than any frame
// of a filter being read, so they go before a single frame of a window in
// use. Only when the windows being read at once do not fit do those windows
// shrink; a frame let go for that and asked for again is made anew, and the
// host's log says so once.
//
// Locks: the budget's own mutex is taken only to join or leave the list of
// keepers and while frames are let go for the budget; under it each keeper's
// mutex is taken in turn, one at a time. A keeper never waits for the
// budget's mutex while it holds its own, and frames are released after both
// are let go.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "plugin/avisynth_interface.h"

class RecentFrames;

class FrameBudget {
 public:
  // The share of the host's limit that kept frames may take, as a fraction.
  // The host counts the frames the module keeps among its own (they are its
  // frames, held by the module), so they must leave room in its limit for
  // the frames being made and passed along the script at the moment, on
  // every thread, and for the caches the host puts around the script's other
  // filters. But the host puts no cache around a filter of this module: its
  // kept frames take the place of the cache the host would have kept for
  // that clip, which in a script of temporal filters over sources is most of
  // what the limit is spent on. Three quarters, then, and a quarter for the
  // rest. Measured with TemporalSoften(7) over 1080p 16-bit 4:4:4 parts under
  // SetMemoryMax(256): half could not hold one window (15 frames of 12.4 MB)
  // and played twice as slowly as without the module; three quarters holds
  // it, and the process still peaks below the same script without the
  // module.
  static constexpr std::size_t kShareNumerator = 3;
  static constexpr std::size_t kShareDenominator = 4;

  static FrameBudget& Instance();

  // Asks the host, through `env`, for the limit in force (without changing
  // it) and sets the budget from it. Before the first reading there is no
  // budget.
  void ReadLimit(IScriptEnvironment* env);
  // Reads the limit only when it was never read.
  void ReadLimitOnce(IScriptEnvironment* env) {
    if (!read_.load(std::memory_order_acquire)) ReadLimit(env);
  }
  std::size_t Budget() const { return budget_.load(std::memory_order_relaxed); }

  // A moment on the process's clock of frame uses: later uses get larger
  // numbers, whichever filter they are in. The system's steady clock, so
  // that threads reading different filters share no counter they would
  // write on every request.
  static uint64_t Tick() { return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()); }

  // `bytes` more of kept frames; true when the kept frames no longer fit
  // (then call Reclaim once no lock is held).
  bool Add(std::size_t bytes);
  void Remove(std::size_t bytes) { kept_.fetch_sub(bytes, std::memory_order_relaxed); }

  // Lets go of the frames used longest ago, in every filter, until the kept
  // frames fit the budget. Call with no lock held: the frames are released
  // on the way out, with the budget's lock let go.
  void Reclaim();

  // A keeper joins the list when it first keeps a frame, with no lock of
  // its own held, and leaves it when it is destroyed.
  void Join(RecentFrames* keeper);
  void Leave(RecentFrames* keeper);

  // A frame let go for the budget was asked for again.
  void NoteShortage() { short_.store(true, std::memory_order_relaxed); }
  // Writes, once per process and only after a shortage, why frames are made
  // more than once and what to do about it.
  void ReportShortage(IScriptEnvironment* env) {
    if (ShortageUnreported()) ReportOnce(env);
  }
  // Whether ReportShortage has something to write: the frame path asks it
  // before it does anything more.
  bool ShortageUnreported() const {
    return short_.load(std::memory_order_relaxed) && !reported_.load(std::memory_order_relaxed);
  }

 private:
  void ReportOnce(IScriptEnvironment* env);

  std::atomic<std::size_t> budget_{SIZE_MAX};
  std::atomic<int> limitMb_{0};
  std::atomic<bool> read_{false};
  std::atomic<std::size_t> kept_{0};
  std::atomic<bool> short_{false};
  std::atomic<bool> reported_{false};

  std::mutex mutex_;
  std::vector<RecentFrames*> keepers_;  // each knows its place here
};
