#include "recent_frames.h"

PVideoFrame RecentFrames::Find(int n) const {
  for (std::size_t i = 0; i < kCapacity; ++i) {
    if (numbers_[i] == n && frames_[i]) return frames_[i];
  }
  return PVideoFrame();
}

void RecentFrames::Keep(int n, const PVideoFrame& frame) {
  numbers_[next_] = n;
  frames_[next_] = frame;
  next_ = (next_ + 1) % kCapacity;
}

void RecentFrames::MoveTo(RecentFrames& to) {
  for (std::size_t i = 0; i < kCapacity; ++i) {
    to.numbers_[i] = numbers_[i];
    to.frames_[i] = frames_[i];
    frames_[i] = PVideoFrame();
  }
  to.next_ = next_;
  next_ = 0;
}
