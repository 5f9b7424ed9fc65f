#include "recent_frames.h"

#include <algorithm>

RecentFrames::RecentFrames() = default;
RecentFrames::~RecentFrames() = default;

PVideoFrame RecentFrames::Find(int n) {
  if (!slots_) return PVideoFrame();
  for (std::size_t i = 0; i < capacity_; ++i) {
    Slot& slot = slots_[i];
    if (!slot.made || slot.number != n) continue;
    madeSinceFound_ = 0;
    slot.used = ++clock_;
    if (slot.frame) return slot.frame;
    keeping_ = true;
  }
  return PVideoFrame();
}

void RecentFrames::Keep(int n, const PVideoFrame& frame) {
  if (!slots_) slots_.reset(new Slot[capacity_]);
  if (keeping_ && ++madeSinceFound_ > 4 * static_cast<int>(capacity_)) {
    keeping_ = false;  // read straight on again: the kept frames serve no one
    LetGo();
  }
  Slot* oldest = &slots_[0];
  for (std::size_t i = 1; i < capacity_ && oldest->made; ++i) {
    Slot& slot = slots_[i];
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
  hinted_ = true;
  keeping_ = true;
  madeSinceFound_ = 0;
  const std::size_t wanted = std::min(static_cast<std::size_t>(frames) + kThreadsRoom, kMostFrames);
  if (wanted <= capacity_) return;
  if (slots_) {
    std::unique_ptr<Slot[]> wider(new Slot[wanted]);
    for (std::size_t i = 0; i < capacity_; ++i) wider[i] = slots_[i];
    slots_ = std::move(wider);
  }
  capacity_ = wanted;
}

void RecentFrames::MoveTo(RecentFrames& to) {
  to.slots_ = std::move(slots_);
  to.capacity_ = capacity_;
  madeSinceFound_ = 0;
  keeping_ = hinted_;  // a hinted filter keeps from its next opening on
}

void RecentFrames::LetGo() {
  for (std::size_t i = 0; i < capacity_; ++i) slots_[i].frame = PVideoFrame();
}
