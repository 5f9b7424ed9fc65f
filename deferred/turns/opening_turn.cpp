#include "opening_turn.h"

#include <algorithm>

#include "deferred/process_wide.h"

namespace {
// How often a waiting thread looks at the holders' processor time.
constexpr std::chrono::milliseconds kLookEvery{50};
}  // namespace

OpeningTurn& OpeningTurn::instance() { return ProcessWide<OpeningTurn>(); }

std::vector<OpeningTurn::Holder>::iterator OpeningTurn::Mine() {
  const std::thread::id self = std::this_thread::get_id();
  return std::find_if(holders_.begin(), holders_.end(), [&](const Holder& h) { return h.thread == self; });
}

void OpeningTurn::AddHolder() {
  ThreadClock clock = ThreadClock::OfThisThread();
  const int64_t used = clock.Reading();
  holders_.push_back({std::this_thread::get_id(), 1, std::move(clock), used, std::chrono::steady_clock::now()});
}

void OpeningTurn::MarkBesides() {
  for (Holder& holder : holders_) holder.besides = true;
}

bool OpeningTurn::SideBySide() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto mine = Mine();
  return mine != holders_.end() && (mine->besides || holders_.size() > 1);
}

bool OpeningTurn::TryTake() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto mine = Mine();
  if (mine != holders_.end()) {
    ++mine->depth;
    return true;
  }
  // Threads already waiting go first: one that only tries never overtakes
  // them, or a thread that keeps opening could starve them.
  if (!holders_.empty() || waiting_ > 0) return false;
  AddHolder();
  return true;
}

bool OpeningTurn::HoldersStopped() {
  const auto now = std::chrono::steady_clock::now();
  bool stopped = true;
  for (Holder& holder : holders_) {
    // A clock that cannot be read stands still: a hang is worse than two
    // openings at once.
    const int64_t used = holder.clock.Reading();
    if (used != holder.used) {
      holder.used = used;
      holder.usedSince = now;
    }
    if (now - holder.usedSince < kStoppedFor) stopped = false;
  }
  return stopped;
}

OpeningTurn::Taking OpeningTurn::Take() {
  if (TryTake()) return Taking::Taken;
  std::unique_lock<std::mutex> lock(mutex_);
  // Room among the holders for every waiting thread, this one too, before
  // it waits: only waiting threads become holders while any waits, so once
  // it may take the turn, nothing is left that can fail.
  holders_.reserve(holders_.size() + waiting_ + 1);
  bool beside = false;
  const bool waited = waits::WaitAndTake(
      *this, lock, given_, waiting_, kLookEvery, [this] { return holders_.empty() || HoldersStopped(); },
      [&] {
        beside = !holders_.empty();
        MarkBesides();
        AddHolder();
      });
  if (!waited) {
    // The holders wait, in the end, for this thread: they cannot go on
    // before it has opened its filter and let go of what they need.
    holders_.reserve(holders_.size() + waiting_ + 1);
    MarkBesides();
    AddHolder();
    return Taking::BesideWaitingForThisThread;
  }
  return beside ? Taking::BesideStopped : Taking::Taken;
}

void OpeningTurn::Give() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto mine = Mine();
  if (mine == holders_.end() || --mine->depth > 0) return;
  holders_.erase(mine);
  // Holders that were stopped may be about to go on, now that this opening
  // has let go of what they waited for: they are watched afresh before
  // anybody opens beside them again.
  const auto now = std::chrono::steady_clock::now();
  for (Holder& holder : holders_) holder.usedSince = now;
  if (waiting_ > 0) given_.notify_all();
}

void OpeningTurn::AddBlockers(std::thread::id waiter, std::vector<std::thread::id>& blockers) {
  // Another thread that waits for the turn never waits for ever: once the
  // holders wait for it they stand still, and it opens beside them. So it
  // keeps nobody waiting for ever, and a thread whose wait leads to it may
  // wait. Only the waiter's own look, before it waits, sees the holders.
  if (waiter != std::this_thread::get_id()) return;
  // A waiter that has taken the turn and not yet left the record waits for
  // nobody.
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Holder& holder : holders_) {
    if (holder.thread == waiter) return;
  }
  for (const Holder& holder : holders_) blockers.push_back(holder.thread);
}
