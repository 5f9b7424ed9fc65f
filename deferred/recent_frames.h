// The last few frames a filter's wrapped clip made, so that filters that ask
// for neighbouring frames again and again (temporal ones) do not make the
// source decode them again. The host puts no frame cache of its own around a
// filter: a clip made from the filter itself would wait in that cache for a
// frame its own request is making, for ever.
#pragma once

#include <cstddef>

#include "plugin/avisynth_interface.h"

class RecentFrames {
 public:
  // As many as a temporal filter of radius 3 asks for around each frame.
  static constexpr std::size_t kCapacity = 7;

  // Frame n when it is kept, else an empty handle.
  PVideoFrame Find(int n) const;
  // Keeps frame n in place of the one kept longest.
  void Keep(int n, const PVideoFrame& frame);
  // Moves every kept frame to `to`, leaving none here.
  void MoveTo(RecentFrames& to);

 private:
  int numbers_[kCapacity] = {};
  PVideoFrame frames_[kCapacity];
  std::size_t next_ = 0;
};
