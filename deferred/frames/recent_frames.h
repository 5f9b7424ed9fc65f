// The frames a filter's wrapped clip made lately, so that filters that ask
// for the same frames again (temporal ones above all) do not make the source
// decode them again. The host puts no frame cache of its own around a filter:
// a clip made from the filter itself would wait in that cache for a frame its
// own request is making, for ever.
//
// A filter that a consumer tells how many neighbouring frames it reads (the
// host's window hints, as temporal filters give them) keeps that many, with
// room for several threads reading side by side. Without a hint it keeps a
// few, and only once a frame is asked for again. Either way it lets them go
// once many frames in a row were made anew, so a clip read straight through
// keeps none and its frames' memory is reused at once. The frame used longest
// ago gives way first.
//
// Every kept frame counts against the process's budget (frame_budget.h),
// which may take a keeper's oldest frames away at any time: each keeper has
// a mutex of its own for that, taken inside the filter's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "plugin/avisynth_interface.h"

class RecentFrames {
 public:
  // Without a hint: as many as a temporal filter of radius 3 asks for.
  static constexpr std::size_t kCapacity = 7;
  // The most a hint may ask for, and what is added to a hint for threads
  // reading neighbouring frames at once.
  static constexpr std::size_t kMostFrames = 64;
  static constexpr std::size_t kThreadsRoom = 8;

  RecentFrames();
  // Releases the frames still kept: call with no lock held.
  ~RecentFrames();
  RecentFrames(const RecentFrames&) = delete;
  RecentFrames& operator=(const RecentFrames&) = delete;

  // Frame n when it is kept, else an empty handle. A frame made lately but
  // not kept, asked for again, makes this keep frames from now on.
  PVideoFrame Find(int n);
  // Notes that frame n, of `bytes`, was made, in place of the one used
  // longest ago, and keeps it while frames are asked for again. The frame it
  // no longer keeps goes to `displaced`, to be released once no lock is
  // held. True when the kept frames of the process no longer fit their
  // budget: then call FrameBudget::Reclaim with no lock held. The first note
  // after a closing makes room for the notes.
  bool Keep(int n, const PVideoFrame& frame, std::size_t bytes, PVideoFrame& displaced);
  // A consumer reads `frames` neighbouring frames around each one: keeps
  // that many from now on. Hints never shrink what is kept.
  void Hint(int frames);
  // Moves every kept frame to `to` (a new one), leaving none here; what
  // hints asked for stays.
  void MoveTo(RecentFrames& to);

  // For the budget. Whether any frame is kept (a glance, without the lock).
  bool HasFrames() const { return keptBytes_.load(std::memory_order_relaxed) != 0; }
  // When the kept frame used longest ago was last used; UINT64_MAX for none.
  uint64_t OldestUse();
  // Lets go of kept frames, the one used longest ago first, while they were
  // last used before `before` and until `bytes` are let go; at least one
  // when any is kept. The frames go to `dropped`.
  void DropOldest(uint64_t before, std::size_t bytes, std::vector<PVideoFrame>& dropped);

 private:
  friend class FrameBudget;

  struct Slot {
    int number = 0;
    bool made = false;
    bool dropped = false;  // its frame was let go for the budget
    uint64_t used = 0;     // when it was last made or found, on the budget's clock
    std::size_t bytes = 0;
    PVideoFrame frame;
  };

  void LetGo();
  void Release(Slot& slot);

  std::mutex mutex_;  // guards what follows
  // Made at the first note, so that a filter that was never asked for a
  // frame costs no room for them.
  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = kCapacity;
  bool hinted_ = false;
  bool keeping_ = false;
  int madeSinceFound_ = 0;

  std::atomic<std::size_t> keptBytes_{0};
  bool joined_ = false;    // in the budget's list; changed only by the filter's own thread
  std::size_t place_ = 0;  // where in it, guarded by the budget's mutex
};
