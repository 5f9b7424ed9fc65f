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
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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
  ~RecentFrames();
  RecentFrames(const RecentFrames&) = delete;
  RecentFrames& operator=(const RecentFrames&) = delete;

  // Frame n when it is kept, else an empty handle. A frame made lately but
  // not kept, asked for again, makes this keep frames from now on.
  PVideoFrame Find(int n);
  // Notes that frame n was made, in place of the one used longest ago, and
  // keeps it while frames are asked for again. The first note after a
  // closing makes room for the notes.
  void Keep(int n, const PVideoFrame& frame);
  // A consumer reads `frames` neighbouring frames around each one: keeps
  // that many from now on. Hints never shrink what is kept.
  void Hint(int frames);
  // Moves every kept frame to `to` (a new one), leaving none here; what
  // hints asked for stays.
  void MoveTo(RecentFrames& to);

 private:
  struct Slot {
    int number = 0;
    bool made = false;
    uint32_t used = 0;  // when it was last made or found
    PVideoFrame frame;
  };

  void LetGo();

  // Made at the first note, so that a filter that was never asked for a
  // frame costs no room for them.
  std::unique_ptr<Slot[]> slots_;
  std::size_t capacity_ = kCapacity;
  uint32_t clock_ = 0;
  bool hinted_ = false;
  bool keeping_ = false;
  int madeSinceFound_ = 0;
};
