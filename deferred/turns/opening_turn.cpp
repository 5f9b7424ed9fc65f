#include "opening_turn.h"

#include <algorithm>

#include "deferred/process_wide.h"
#include "deferred/turns/waits.h"

namespace {
// How often a waiting thread looks at the holders afresh.
constexpr std::chrono::milliseconds kLookEvery{50};

bool Contains(const std::vector<std::thread::id>& threads, std::thread::id thread) {
  return std::find(threads.begin(), threads.end(), thread) != threads.end();
}

// The first of `places` that may resolve names elsewhere than `mine` does,
// or null.
const OpeningPlace* ElsewhereThan(const OpeningPlace& mine, const std::vector<OpeningPlace>& places) {
  for (const OpeningPlace& place : places) {
    if (!mine.folder || mine.movesFolder || !place.folder || place.movesFolder ||
        !SameFolder(*place.folder, *mine.folder)) {
      return &place;
    }
  }
  return nullptr;
}
}  // namespace

struct OpeningTurn::Look {
  enum class What { Wait, Take, Refuse } what = What::Wait;
  Taking taking = Taking::Taken;
  const OpeningPlace* stoppedHolder = nullptr;  // when refused
};

OpeningTurn& OpeningTurn::instance() { return ProcessWide<OpeningTurn>(); }

std::vector<OpeningTurn::Holder>::iterator OpeningTurn::Mine() {
  const std::thread::id self = std::this_thread::get_id();
  return std::find_if(holders_.begin(), holders_.end(), [&](const Holder& h) { return h.thread == self; });
}

OpeningTurn::Holder OpeningTurn::NewHolder(OpeningPlace place) {
  ThreadClock clock = ThreadClock::OfThisThread();
  const int64_t used = clock.Reading();
  return {std::this_thread::get_id(), {std::move(place)}, std::move(clock), used, std::chrono::steady_clock::now()};
}

void OpeningTurn::MarkBesides() {
  for (Holder& holder : holders_) holder.besides = true;
}

bool OpeningTurn::SideBySide() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto mine = Mine();
  return mine != holders_.end() && (mine->besides || holders_.size() > 1);
}

OpeningTurn::Look OpeningTurn::LookAtHolders(const OpeningPlace& place,
                                             const std::vector<std::thread::id>& waitingForMe,
                                             const std::vector<std::thread::id>& waiting, For what, uint64_t ticket) {
  const auto now = std::chrono::steady_clock::now();
  const auto mine = Mine();
  bool othersStopped = true;
  bool anyOther = false, anyWaitsForMe = false;
  // The holders that may resolve names while this thread opens: neither
  // waiting for it, nor waiting to take the turn again themselves (whose
  // own look keeps them from going on in a folder not theirs).
  std::vector<const Holder*> resolving, elsewhere;
  // The holders that may go on before this thread's opening returns.
  std::vector<const Holder*> mayGoOn;
  const OpeningPlace* firstElsewhere = nullptr;
  for (Holder& holder : holders_) {
    if (holder.thread == std::this_thread::get_id()) continue;
    anyOther = true;
    // A clock that cannot be read stands still.
    const int64_t used = holder.clock.Reading();
    if (used != holder.used) {
      holder.used = used;
      holder.usedSince = now;
    }
    if (Contains(waitingForMe, holder.thread)) {
      anyWaitsForMe = true;
      continue;
    }
    // A holder waiting to make its own opening again, after this thread
    // began to wait so, waits for this thread's opening to return.
    const bool waitsBehindMe = holder.againTicket != 0 && ticket != 0 && holder.againTicket > ticket;
    if (!Contains(waiting, holder.thread) && !waitsBehindMe) mayGoOn.push_back(&holder);
    if (holder.takesAgain) continue;
    if (now - holder.usedSince < kStoppedFor) othersStopped = false;
    resolving.push_back(&holder);
    if (const OpeningPlace* other = ElsewhereThan(place, holder.places)) {
      elsewhere.push_back(&holder);
      if (firstElsewhere == nullptr) firstElsewhere = other;
    }
  }
  Look look;
  if (!anyOther) {
    look.what = Look::What::Take;
    return look;
  }
  // An opening made again, after one beside it went on, runs beside no
  // holder that could go on now (one that waits on the record for
  // anything resolves no names until that ends, and its function, if it
  // then calls one, is watched as any): so two openings that each went on
  // beside the other never take turns at that for ever. A wait for holders
  // that stand still ends as a wait for another folder does.
  if (what == For::Again) {
    if (mayGoOn.empty()) {
      look.what = Look::What::Take;
      if (mine == holders_.end()) look.taking = Taking::BesideWaitingForThisThread;
      return look;
    }
    for (const Holder* holder : mayGoOn) {
      if (now - holder->usedSince < kGivesUpAfter) return look;
    }
    look.what = Look::What::Refuse;
    look.stoppedHolder = &mayGoOn.front()->places.back();
    return look;
  }
  // Openings of one folder side by side, with that folder in force: whichever
  // of them goes on resolves its names where its call was made. This thread's
  // own openings under way count too.
  bool oneFolder = elsewhere.empty();
  if (oneFolder && !resolving.empty()) {
    oneFolder = place.folder && WorkingFolderIs(*place.folder) &&
                (mine == holders_.end() || ElsewhereThan(place, mine->places) == nullptr);
  }
  if (oneFolder) {
    if (mine != holders_.end()) {
      look.what = Look::What::Take;  // a nested opening of a holder already beside others
    } else if (!resolving.empty() && !ThreadClock::ShowsShortWakes()) {
      // A holder that stands still on such a clock may only be asleep, and
      // its waking for a moment (an Import of another folder's script)
      // would not show: it is never gone beside, and a wait that seems
      // endless ends as a wait for another folder does.
      for (const Holder* holder : resolving) {
        if (now - holder->usedSince < kGivesUpAfter) return look;
      }
      look.what = Look::What::Refuse;
      look.taking = Taking::RefusedClockTooCoarse;
      look.stoppedHolder = &resolving.front()->places.back();
    } else if (anyWaitsForMe || othersStopped) {
      look.what = Look::What::Take;
      look.taking = anyWaitsForMe ? Taking::BesideWaitingForThisThread : Taking::BesideStopped;
    }
    return look;
  }
  // Waits for the holders of other folders (or, when the folder in force is
  // not this one's, for all that resolve names) to end; gives up once every
  // one of them has stood still too long to be slow.
  const std::vector<const Holder*>& awaited = elsewhere.empty() ? resolving : elsewhere;
  for (const Holder* holder : awaited) {
    if (now - holder->usedSince < kGivesUpAfter) return look;
  }
  look.what = Look::What::Refuse;
  look.stoppedHolder = firstElsewhere != nullptr ? firstElsewhere : &awaited.front()->places.back();
  return look;
}

OpeningTurn::Taking OpeningTurn::Take(OpeningPlace place, OpeningPlace& stoppedHolder, For what,
                                      const std::atomic<bool>* callerGone) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  // Threads already waiting go first: one that comes later never overtakes
  // them, or a thread that keeps opening could starve them.
  if (holders_.empty() && waiting_ == 0) {
    holders_.push_back(NewHolder(std::move(place)));
    return Taking::Taken;
  }
  auto mine = Mine();
  if (mine != holders_.end() && holders_.size() == 1) {
    mine->places.push_back(std::move(place));
    return Taking::Taken;
  }
  // Counted among the waiting threads until it takes the turn or gives up,
  // on every way out.
  struct Waiting {
    OpeningTurn& turn;
    std::unique_lock<std::mutex>& lock;
    Waiting(OpeningTurn& t, std::unique_lock<std::mutex>& l) : turn(t), lock(l) { ++turn.waiting_; }
    ~Waiting() {
      if (!lock.owns_lock()) lock.lock();
      --turn.waiting_;
      const auto mine = turn.Mine();
      if (mine != turn.holders_.end() && mine->takesAgain) {
        mine->takesAgain = false;
        mine->againTicket = 0;
        ++mine->resumed;
      }
    }
  } const waiting(*this, lock);
  // Two holders that each wait to make a nested opening again would wait for
  // each other for ever: the one that began to wait first goes first.
  const uint64_t ticket = what == For::Again ? ++againTickets_ : 0;
  for (;;) {
    // Which holders wait, on the record, for this thread: the record is
    // looked at with this mutex let go. While this thread waits it lets
    // nothing go, so they wait for it still when it takes the turn.
    std::vector<std::thread::id> others, waitingForMe, waiting;
    for (const Holder& holder : holders_) {
      if (holder.thread != self) others.push_back(holder.thread);
    }
    lock.unlock();
    for (const std::thread::id other : others) {
      if (waits::WaitsFor(other, self)) waitingForMe.push_back(other);
      if (waits::Waits(other)) waiting.push_back(other);
    }
    lock.lock();
    mine = Mine();
    if (mine != holders_.end()) {
      mine->takesAgain = true;
      mine->againTicket = ticket;
    }
    const Look look = LookAtHolders(place, waitingForMe, waiting, what, ticket);
    if (look.what == Look::What::Refuse) {
      stoppedHolder = *look.stoppedHolder;
      return look.taking == Taking::RefusedClockTooCoarse ? look.taking : Taking::Refused;
    }
    if (look.what == Look::What::Take) {
      if (mine != holders_.end()) {
        mine->places.push_back(std::move(place));
        return Taking::Taken;
      }
      Holder fresh = NewHolder(std::move(place));
      holders_.reserve(holders_.size() + 1);  // nothing changes before this
      // Both sides are marked: the holders may all have let go before this
      // opening lists its clip, and it must still keep the limit.
      if (look.taking != Taking::Taken) {
        MarkBesides();
        fresh.besides = true;
      }
      holders_.push_back(std::move(fresh));
      return look.taking;
    }
    // Nobody reads what this opening would make (its script is closing, and
    // the host may be about to join this thread): waiting on for a holder
    // that stands still would only hold the closing up.
    if (callerGone != nullptr && callerGone->load()) return Taking::CallerGone;
    given_.wait_for(lock, kLookEvery);
  }
}

void OpeningTurn::Give() {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto mine = Mine();
  if (mine == holders_.end()) return;
  mine->places.pop_back();
  const std::thread::id self = mine->thread;
  const std::size_t depth = mine->places.size();
  // Watches of openings that end here, by this thread or of it.
  watches_.erase(std::remove_if(watches_.begin(), watches_.end(),
                                [&](const Watch& watch) {
                                  return (watch.watcher == self && watch.depth > depth) ||
                                         (depth == 0 && watch.holder == self);
                                }),
                 watches_.end());
  if (depth > 0) return;
  holders_.erase(mine);
  // Holders that were stopped may be about to go on, now that this opening
  // has let go of what they waited for: they are watched afresh before
  // anybody opens beside them again.
  const auto now = std::chrono::steady_clock::now();
  for (Holder& holder : holders_) holder.usedSince = now;
  if (waiting_ > 0) given_.notify_all();
}

std::vector<std::thread::id> OpeningTurn::OtherHolders() const {
  std::vector<std::thread::id> others;
  for (const Holder& holder : holders_) {
    if (holder.thread != std::this_thread::get_id()) others.push_back(holder.thread);
  }
  return others;
}

void OpeningTurn::Calling() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  const std::vector<std::thread::id> others = OtherHolders();
  if (others.empty()) return;
  // Holders that wait for this thread on the record cannot go on before its
  // opening returns. The record is looked at with this mutex let go; a
  // holder that joins meanwhile is watched.
  lock.unlock();
  std::vector<std::thread::id> waitingForMe;
  for (const std::thread::id other : others) {
    if (waits::WaitsFor(other, self)) waitingForMe.push_back(other);
  }
  lock.lock();
  const auto mine = Mine();
  if (mine == holders_.end()) return;
  for (const Holder& holder : holders_) {
    if (holder.thread == self || Contains(waitingForMe, holder.thread)) continue;
    watches_.push_back(
        {self, mine->places.size(), holder.thread, holder.clock.Reading(), holder.resumed, holder.takesAgain});
  }
}

bool OpeningTurn::WentOn(const Watch& watch) {
  const auto holder =
      std::find_if(holders_.begin(), holders_.end(), [&](const Holder& h) { return h.thread == watch.holder; });
  // One that ended went on.
  if (holder == holders_.end() || holder->resumed != watch.resumed) return true;
  if (watch.takingAgain) return false;
  // A clock that cannot be read cannot show that the holder stood still.
  const int64_t used = holder->clock.Reading();
  return used < 0 || used != watch.used;
}

void OpeningTurn::Distrust(std::thread::id a, std::thread::id b) {
  for (Holder& holder : holders_) {
    if (holder.thread != a && holder.thread != b) continue;
    for (OpeningPlace& place : holder.places) place.untrusted = true;
  }
}

bool OpeningTurn::Trusted() {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(mutex_);
  const auto mine = Mine();
  if (mine == holders_.end()) return true;
  const std::size_t depth = mine->places.size();
  for (std::size_t i = 0; i < watches_.size();) {
    const Watch watch = watches_[i];
    bool ends = false;
    if (watch.holder == self) {
      // This thread went on while the watcher's function ran.
      Distrust(self, watch.watcher);
      ends = true;
    } else if (watch.watcher == self) {
      if (WentOn(watch)) Distrust(self, watch.holder);
      ends = watch.depth >= depth;  // an outer opening's watch goes on
    }
    if (ends) {
      watches_.erase(watches_.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
  OpeningPlace& latest = mine->places.back();
  const bool trusted = !latest.untrusted;
  latest.untrusted = false;
  return trusted;
}
