#include "recent_frames.h"

#include <algorithm>

RecentFrames::RecentFrames() = default;
RecentFrames::~RecentFrames() = default;

PVideoFrame RecentFrames::Find(int n) {
  for (std::size_t i = 0; i < capacity_; ++i) {
    Slot& slot = At(i);
    if (!slot.made || slot.number != n) continue;
    madeSinceFound_ = 0;
    slot.used = ++clock_;
    if (slot.frame) return slot.frame;
    keeping_ = true;
  }
  return PVideoFrame();
}

void RecentFrames::Keep(int n, const PVideoFrame& frame) {
  if (keeping_ && ++madeSinceFound_ > 4 * static_cast<int>(capacity_)) {
    keeping_ = false;  // read straight on again: the kept frames serve no one
    LetGo();
  }
  Slot* oldest = &At(0);
  for (std::size_t i = 1; i < capacity_ && oldest->made; ++i) {
    Slot& slot = At(i);
    if (!slot.made || slot.used < oldest->used) oldest = &slot;
  }
  oldest->number = n;
  oldest->made = true;
  oldest->used = ++clock_;
  if (keeping_) {
    oldest->frame = frame;
  } else if (oldest->frame) {
    oldest->frame = PVideoFrame();
  }
}

void RecentFrames::Hint(int frames) {
  if (frames <= 0) return;
  keeping_ = true;
  madeSinceFound_ = 0;
  const std::size_t wanted = std::min(static_cast<std::size_t>(frames) + kThreadsRoom, kMostFrames);
  if (wanted <= capacity_) return;
  std::unique_ptr<Slot[]> wide(new Slot[wanted - kCapacity]);
  for (std::size_t i = kCapacity; i < capacity_; ++i) wide[i - kCapacity] = std::move(wide_[i - kCapacity]);
  wide_ = std::move(wide);
  capacity_ = wanted;
}

void RecentFrames::MoveTo(RecentFrames& to) {
  for (std::size_t i = 0; i < kCapacity; ++i) {
    to.inline_[i] = inline_[i];
    inline_[i] = Slot();
  }
  to.wide_ = std::move(wide_);
  to.capacity_ = capacity_;
  if (capacity_ > kCapacity) wide_.reset(new Slot[capacity_ - kCapacity]);
  madeSinceFound_ = 0;
  keeping_ = capacity_ > kCapacity;  // a hinted filter keeps from its next opening on
}

void RecentFrames::LetGo() {
  for (std::size_t i = 0; i < capacity_; ++i) At(i).frame = PVideoFrame();
}
