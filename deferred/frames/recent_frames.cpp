#include "recent_frames.h"

#include <algorithm>

#include "deferred/frames/frame_budget.h"

RecentFrames::RecentFrames() = default;

RecentFrames::~RecentFrames() {
  if (joined_) FrameBudget::Instance().Leave(this);
  FrameBudget::Instance().Remove(keptBytes_.load(std::memory_order_relaxed));
}

PVideoFrame RecentFrames::Find(int n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!slots_) return PVideoFrame();
  for (std::size_t i = 0; i < capacity_; ++i) {
    Slot& slot = slots_[i];
    if (!slot.made || slot.number != n) continue;
    madeSinceFound_ = 0;
    slot.used = FrameBudget::Instance().Tick();
    if (slot.frame) return slot.frame;
    if (slot.dropped && keeping_) FrameBudget::Instance().NoteShortage();
    keeping_ = true;
  }
  return PVideoFrame();
}

bool RecentFrames::Keep(int n, const PVideoFrame& frame, std::size_t bytes, PVideoFrame& displaced) {
  FrameBudget& budget = FrameBudget::Instance();
  if (!joined_) {
    // Before the lock: the budget's mutex is never waited for under it.
    budget.Join(this);
    joined_ = true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
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
  if (oldest->frame) {
    displaced = oldest->frame;
    Release(*oldest);
  }
  oldest->number = n;
  oldest->made = true;
  oldest->dropped = false;
  oldest->used = budget.Tick();
  if (!keeping_ || !frame) return false;
  oldest->frame = frame;
  oldest->bytes = bytes;
  keptBytes_.fetch_add(bytes, std::memory_order_relaxed);
  return budget.Add(bytes);
}

void RecentFrames::Hint(int frames) {
  if (frames <= 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
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
  // `to` is new: no other thread, and not the budget, knows it yet.
  std::lock_guard<std::mutex> lock(mutex_);
  to.slots_ = std::move(slots_);
  to.capacity_ = capacity_;
  to.keptBytes_.store(keptBytes_.exchange(0, std::memory_order_relaxed), std::memory_order_relaxed);
  madeSinceFound_ = 0;
  keeping_ = hinted_;  // a hinted filter keeps from its next opening on
}

uint64_t RecentFrames::OldestUse() {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t oldest = UINT64_MAX;
  if (!slots_) return oldest;
  for (std::size_t i = 0; i < capacity_; ++i) {
    if (slots_[i].frame) oldest = std::min(oldest, slots_[i].used);
  }
  return oldest;
}

void RecentFrames::DropOldest(uint64_t before, std::size_t bytes, std::vector<PVideoFrame>& dropped) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!slots_) return;
  std::size_t freed = 0;
  bool first = true;
  while (freed < bytes) {
    Slot* oldest = nullptr;
    for (std::size_t i = 0; i < capacity_; ++i) {
      Slot& slot = slots_[i];
      if (slot.frame && (oldest == nullptr || slot.used < oldest->used)) oldest = &slot;
    }
    if (oldest == nullptr || (!first && oldest->used >= before)) return;
    first = false;
    freed += oldest->bytes;
    dropped.push_back(oldest->frame);
    Release(*oldest);
    oldest->dropped = true;
  }
}

void RecentFrames::LetGo() {
  for (std::size_t i = 0; i < capacity_; ++i) {
    if (slots_[i].frame) Release(slots_[i]);
  }
}

void RecentFrames::Release(Slot& slot) {
  slot.frame = PVideoFrame();
  keptBytes_.fetch_sub(slot.bytes, std::memory_order_relaxed);
  FrameBudget::Instance().Remove(slot.bytes);
  slot.bytes = 0;
}
