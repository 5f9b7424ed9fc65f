// The last few frames a filter's wrapped clip made, so that filters that ask
// for neighbouring frames again and again (temporal ones) do not make the
// source decode them again. The host puts no frame cache of its own around a
// filter: a clip made from the filter itself would wait in that cache for a
// frame its own request is making, for ever.
//
// Frames are held only once a frame is asked for again, and no longer once
// many frames in a row were made anew: a clip read from start to end keeps
// none, so its frames' memory is reused at once.
#pragma once

#include <cstddef>

#include "plugin/avisynth_interface.h"

class RecentFrames {
 public:
  // As many as a temporal filter of radius 3 asks for around each frame.
  static constexpr std::size_t kCapacity = 7;
  // How many frames in a row made anew end the keeping.
  static constexpr int kMissesToStop = 4 * static_cast<int>(kCapacity);

  // Frame n when it is kept, else an empty handle. A frame made lately but
  // not kept, asked for again, makes this keep frames from now on.
  PVideoFrame Find(int n);
  // Notes that frame n was made, in place of the one made longest ago, and
  // keeps it while frames are asked for again.
  void Keep(int n, const PVideoFrame& frame);
  // Moves every kept frame to `to`, leaving none here, and starts again
  // keeping none.
  void MoveTo(RecentFrames& to);

 private:
  int numbers_[kCapacity] = {};
  bool made_[kCapacity] = {};
  PVideoFrame frames_[kCapacity];
  std::size_t next_ = 0;
  bool keeping_ = false;
  int madeSinceFound_ = 0;
};
