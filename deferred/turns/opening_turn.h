// The process's turn to open: a filter's function runs on one thread at a
// time in the whole process, whatever environment the filter belongs to.
//
// Calling a script function is calling the host's interpreter, and what that
// touches is shared by the whole process: the working folder above all, which
// the host's Import changes while it reads a script and changes back after,
// and which a filter's function needs to be the folder the filter was made
// in. So openings take turns; an opening nested in another on the same
// thread (a function that asks a closed filter for frames) goes ahead in the
// turn its thread holds.
//
// A thread that waits for the turn may hold what the holder's function
// needs: a filter's turn, which the module sees, or, inside the host, the
// lock of a serialized filter or a frame in the making in the host's cache,
// which it cannot see. Either way the holder cannot go on until the waiting
// thread has opened its filter and let go. A holder that waits, on the
// module's record, for the waiting thread stays where it is until that
// thread's opening has returned, so the waiting thread opens beside it at
// once, in whatever folder. A wait inside the host is told by the holders'
// processor time: once every holder has used none for a while, they are
// stopped, waiting for something, perhaps for this thread, perhaps for a
// slow disk, and may go on at any moment. So the waiting thread opens beside
// stopped holders only when every one of them resolves names in the folder
// it needs itself, and that folder is in force: then whichever of them goes
// on resolves its names where its call was made. When their folders differ
// it keeps waiting, however long they work or sleep, and gives up only once
// they have used no processor time for kGivesUpAfter: such a wait, as far as
// the module can tell, never ends, and two openings of different folders at
// once could read each other's files. Each opening beside others is told to
// the caller, to be written to the host's log.
//
// A stopped holder may only be asleep, and wake while the opening beside it
// runs. Then either function may move the working folder for a moment (the
// host's Import of a script in another folder does, and puts it back) while
// the other resolves a name. So as each function starts beside others, the
// processor time of every other holder that does not wait for its thread on
// the module's record is noted; when either of the two returns while the
// other's time has moved since, neither result is trusted: each is made
// again, and such a second opening goes beside no holder that could run, so
// it is made alone (or beside holders that wait for it) and trusted. A
// holder that stayed stopped the whole time did nothing, and nothing is
// made again. Where a thread's clock cannot show such a moment (under Wine),
// no opening goes beside a stopped holder that may resolve names: it waits,
// and gives up as a wait for another folder does.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "deferred/turns/thread_clock.h"
#include "deferred/turns/working_folder.h"

// What an opening calls, and the working folder it calls it in; a null
// folder (one that could not be read) is shared with no other opening, nor
// is one that the call moves from itself (an Import of a script in another
// folder, which the host makes the working folder while it reads it).
struct OpeningPlace {
  std::string call;
  std::shared_ptr<const Folder> folder;
  bool movesFolder = false;
  // Kept by the turn: another opening went on beside this one while its
  // function ran, so its result is not trusted.
  bool untrusted = false;
};

class OpeningTurn final {
 public:
  enum class Taking {
    Taken,                       // this thread may open until it gives the turn back
    BesideStopped,               // taken beside holders of the same folder that have used no processor time a while
    BesideWaitingForThisThread,  // taken beside holders that wait for this thread
    Refused,                     // not taken: a holder stands still, and waiting seems endless
    RefusedClockTooCoarse,       // not taken so, in one folder, on a clock that cannot show a short wake
    CallerGone,                  // not taken: nobody will read the opening any more, so the wait ended
  };
  // What a Take is for.
  enum class For {
    FirstTime,  // an opening
    Again,      // an opening made again because another went on beside it: beside no holder that could run
  };

  // How long the holders must use no processor time before a waiting thread
  // of their folder opens beside them.
  static constexpr std::chrono::milliseconds kStoppedFor{500};
  // How long holders of another folder must use no processor time before a
  // waiting thread gives up.
  static constexpr std::chrono::seconds kGivesUpAfter{30};

  static OpeningTurn& instance();

  // Takes the turn for an opening at `place`, waiting for it while other
  // threads hold it; a thread that holds it already takes it once more, at
  // once unless a thread beside it needs another folder. Refused, the holder
  // that stood still is in `stoppedHolder`. Once `callerGone` is set (the
  // environment the opening is for is being deleted) a thread that waits
  // stops waiting within a moment.
  Taking Take(OpeningPlace place, OpeningPlace& stoppedHolder, For what = For::FirstTime,
              const std::atomic<bool>* callerGone = nullptr);
  // By the thread that holds the turn, as the function of its latest opening
  // is called: notes the processor time of the holders beside it that do not
  // wait for it on the module's record.
  void Calling();
  // By the thread that holds the turn, once the function of its latest
  // opening has returned or failed: false when the result cannot be trusted,
  // as a holder beside it went on while it ran, or it went on while an
  // opening beside it ran. Then the opening must be made again, in a new
  // turn taken For::Again; the other one is marked so, for when its own
  // function returns.
  bool Trusted();
  // Gives back the calling thread's latest Take.
  void Give();
  // Whether the calling thread holds the turn beside others, or others took
  // it beside the calling thread: then each opening found room for itself
  // alone, and more may be open than the limit.
  bool SideBySide();

 private:
  struct Holder {
    std::thread::id thread;
    // Its openings under way, the outermost first.
    std::vector<OpeningPlace> places;
    ThreadClock clock;
    // The processor time last seen, and when it was first seen so.
    int64_t used;  // ThreadClock::Reading
    std::chrono::steady_clock::time_point usedSince;
    bool besides = false;     // it took the turn beside others, or another thread beside it
    bool takesAgain = false;  // waits in Take for a nested opening: resolves no names meanwhile
    uint64_t resumed = 0;     // how often it stopped waiting in Take
    // While it waits in Take to make an opening again: its place in the
    // order of such waits, 0 otherwise.
    uint64_t againTicket = 0;
  };
  // A holder whose processor time an opening beside it watches, from when
  // that opening's function was called until it returns.
  struct Watch {
    std::thread::id watcher;
    std::size_t depth;  // of the watcher's opening among its openings under way
    std::thread::id holder;
    int64_t used;  // ThreadClock::Reading when the watch began
    uint64_t resumed;
    bool takingAgain;  // then only leaving that wait counts: its clock moves while it looks again
  };
  // What a waiting thread may do, looked at now.
  struct Look;

  // The calling thread as a holder, its clock read now.
  static Holder NewHolder(OpeningPlace place);
  // With the mutex held: the calling thread's place among the holders.
  std::vector<Holder>::iterator Mine();
  // With the mutex held: looks at the holders for the calling thread, whose
  // opening is at `place`; `waitingForMe` are the holders that wait, on the
  // record, for it.
  // `waiting` are those that wait on the record for anything.
  // `ticket` orders the waits to make an opening again: a holder waiting so
  // with a later one cannot go on before this thread's opening returns.
  Look LookAtHolders(const OpeningPlace& place, const std::vector<std::thread::id>& waitingForMe,
                     const std::vector<std::thread::id>& waiting, For what, uint64_t ticket);
  // With the mutex held: whether `watch`'s holder has gone on since it began.
  bool WentOn(const Watch& watch);
  // With the mutex held: every opening under way on `a` and `b` untrusted.
  void Distrust(std::thread::id a, std::thread::id b);
  // With the mutex held: the threads of the holders other than the calling one.
  std::vector<std::thread::id> OtherHolders() const;
  // With the mutex held, as a thread takes the turn beside the holders:
  // marks them.
  void MarkBesides();

  std::mutex mutex_;
  std::condition_variable given_;
  std::vector<Holder> holders_;
  std::vector<Watch> watches_;
  int waiting_ = 0;
  uint64_t againTickets_ = 0;  // the last ticket given to a wait to make an opening again
};

// The calling thread's turn to open, given back on every way out.
class HeldOpeningTurn {
 public:
  HeldOpeningTurn() = default;
  ~HeldOpeningTurn() { Release(); }
  HeldOpeningTurn(const HeldOpeningTurn&) = delete;
  HeldOpeningTurn& operator=(const HeldOpeningTurn&) = delete;

  // Takes it, waiting while that can end; false when refused, the holder
  // that stood still in `stoppedHolder`, or when `callerGone` was set.
  bool Take(OpeningPlace place, OpeningPlace& stoppedHolder, OpeningTurn::For what = OpeningTurn::For::FirstTime,
            const std::atomic<bool>* callerGone = nullptr) {
    taking_ = OpeningTurn::instance().Take(std::move(place), stoppedHolder, what, callerGone);
    held_ = taking_ == OpeningTurn::Taking::Taken || taking_ == OpeningTurn::Taking::BesideStopped ||
            taking_ == OpeningTurn::Taking::BesideWaitingForThisThread;
    return held_;
  }
  void Release() {
    if (held_) OpeningTurn::instance().Give();
    held_ = false;
  }
  // How it was taken.
  OpeningTurn::Taking taking() const { return taking_; }

 private:
  bool held_ = false;
  OpeningTurn::Taking taking_ = OpeningTurn::Taking::Taken;
};
