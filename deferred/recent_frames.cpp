#include "recent_frames.h"

PVideoFrame RecentFrames::Find(int n) {
  for (std::size_t i = 0; i < kCapacity; ++i) {
    if (!made_[i] || numbers_[i] != n) continue;
    if (frames_[i]) {
      madeSinceFound_ = 0;
      return frames_[i];
    }
    keeping_ = true;
    madeSinceFound_ = 0;
  }
  return PVideoFrame();
}

void RecentFrames::Keep(int n, const PVideoFrame& frame) {
  if (keeping_ && ++madeSinceFound_ > kMissesToStop) {
    keeping_ = false;  // read straight on again: the kept frames serve no one
    for (PVideoFrame& kept : frames_) kept = PVideoFrame();
  }
  numbers_[next_] = n;
  made_[next_] = true;
  if (keeping_) {
    frames_[next_] = frame;
  } else if (frames_[next_]) {
    frames_[next_] = PVideoFrame();
  }
  next_ = (next_ + 1) % kCapacity;
}

void RecentFrames::MoveTo(RecentFrames& to) {
  for (std::size_t i = 0; i < kCapacity; ++i) {
    to.numbers_[i] = numbers_[i];
    to.made_[i] = made_[i];
    to.frames_[i] = frames_[i];
    frames_[i] = PVideoFrame();
    made_[i] = false;
  }
  to.next_ = next_;
  to.keeping_ = keeping_;
  to.madeSinceFound_ = madeSinceFound_;
  next_ = 0;
  keeping_ = false;
  madeSinceFound_ = 0;
}
