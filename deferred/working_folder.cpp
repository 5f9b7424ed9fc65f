#include "working_folder.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "waits.h"

namespace {

bool SameFolder(const Folder& a, const Folder& b) { return a.native() == b.native(); }

// Makes `folder` the working folder; on failure says why.
bool Enter(const Folder& folder, std::string* reason) {
  std::error_code error;
  std::filesystem::current_path(folder, error);
  if (error && reason != nullptr) *reason = error.message();
  return !error;
}

class Lease {
 public:
  static Lease& instance() {
    static Lease lease;
    return lease;
  }

  FolderLease::Taking Take(const Folder& folder, std::string& reason);
  void Give();
  // The working folder as the calling thread knows it: while openings of
  // other threads hold a folder they changed, the one in force before.
  Folder FolderOfThisThread(std::error_code& error);
  // With the record of waiting threads locked: who keeps `waiter` from
  // taking `folder`.
  void AddBlockers(std::thread::id waiter, const Folder& folder, std::vector<std::thread::id>& blockers);

 private:
  // A folder made the working folder, and how many holds rely on it.
  struct Level {
    Folder folder;
    int holds;
  };
  struct Holder {
    std::thread::id thread;
    int holds;
  };

  // With the mutex held: whether `thread` may hold `folder` now.
  bool CanTake(std::thread::id thread, const Folder& folder) const;
  // With the mutex held, once CanTake: takes it.
  FolderLease::Taking TakeNow(std::thread::id thread, const Folder& folder, std::string& reason);
  std::vector<Holder>::iterator HolderOf(std::thread::id thread);

  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
  // levels_[0] is the folder that openings share. A level above it is the
  // folder of an opening nested in another on the one thread that holds the
  // lease then; it goes, and the folder below comes back, when that opening
  // ends.
  std::vector<Level> levels_;
  std::vector<Holder> holders_;
  // The working folder before the lease was first taken, to go back to.
  Folder before_;
  bool restore_ = false;
};

// A thread's wait for a folder, in the record of waiting threads.
class FolderWait final : public Awaited {
 public:
  FolderWait(Lease& lease, const Folder& folder) : lease_(lease), folder_(folder) {}
  void AddBlockers(std::thread::id waiter, std::vector<std::thread::id>& blockers) override {
    lease_.AddBlockers(waiter, folder_, blockers);
  }

 private:
  Lease& lease_;
  const Folder& folder_;
};

bool Lease::CanTake(std::thread::id thread, const Folder& folder) const {
  if (levels_.empty()) return true;
  // Above the first level only one thread holds the lease.
  if (SameFolder(levels_.back().folder, folder) && (levels_.size() == 1 || holders_.front().thread == thread)) {
    return true;
  }
  // The only holder may change the folder for an opening nested in its own.
  return holders_.size() == 1 && holders_.front().thread == thread;
}

std::vector<Lease::Holder>::iterator Lease::HolderOf(std::thread::id thread) {
  return std::find_if(holders_.begin(), holders_.end(), [&](const Holder& h) { return h.thread == thread; });
}

FolderLease::Taking Lease::TakeNow(std::thread::id thread, const Folder& folder, std::string& reason) {
  if (levels_.empty()) {
    std::error_code error;
    Folder now = std::filesystem::current_path(error);
    restore_ = false;
    if (error || !SameFolder(now, folder)) {
      if (!Enter(folder, &reason)) return FolderLease::Taking::CannotEnter;
      restore_ = !error;
      if (restore_) before_ = std::move(now);
    }
    levels_.push_back({folder, 1});
  } else if (SameFolder(levels_.back().folder, folder)) {
    ++levels_.back().holds;
  } else {
    if (!Enter(folder, &reason)) return FolderLease::Taking::CannotEnter;
    levels_.push_back({folder, 1});
  }
  const auto holder = HolderOf(thread);
  if (holder == holders_.end()) {
    holders_.push_back({thread, 1});
  } else {
    ++holder->holds;
  }
  return FolderLease::Taking::Taken;
}

FolderLease::Taking Lease::Take(const Folder& folder, std::string& reason) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> lock(mutex_);
  if (CanTake(self, folder)) return TakeNow(self, folder, reason);

  // The record of waiting threads is locked before the lease's mutex, so
  // this one is let go first.
  FolderWait wait(*this, folder);
  ++waiting_;
  lock.unlock();
  bool waits;
  try {
    waits = waits::Begin(wait);
  } catch (...) {  // the record could not grow
    lock.lock();
    --waiting_;
    throw;
  }
  lock.lock();
  if (!waits) {
    --waiting_;
    return FolderLease::Taking::WouldWaitForItself;
  }
  changed_.wait(lock, [&] { return CanTake(self, folder); });
  --waiting_;
  // Taken while still in the record: a thread that may take its folder
  // keeps nobody waiting.
  const FolderLease::Taking taken = TakeNow(self, folder, reason);
  lock.unlock();
  waits::End();
  return taken;
}

void Lease::Give() {
  std::lock_guard<std::mutex> lock(mutex_);
  // A thread's holds end in the opposite order to their taking, and above
  // the first level all are the one holder's: this hold is on the top level.
  const auto holder = HolderOf(std::this_thread::get_id());
  if (--holder->holds == 0) holders_.erase(holder);
  if (--levels_.back().holds == 0) {
    levels_.pop_back();
    if (!levels_.empty()) {
      Enter(levels_.back().folder, nullptr);  // the opening around the nested one goes on in its folder
    } else if (restore_) {
      Enter(before_, nullptr);
    }
  }
  if (waiting_ > 0) changed_.notify_all();
}

Folder Lease::FolderOfThisThread(std::error_code& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!levels_.empty() && restore_ && HolderOf(std::this_thread::get_id()) == holders_.end()) return before_;
  return std::filesystem::current_path(error);
}

void Lease::AddBlockers(std::thread::id waiter, const Folder& folder, std::vector<std::thread::id>& blockers) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (CanTake(waiter, folder)) return;
  for (const Holder& holder : holders_) {
    if (holder.thread != waiter) blockers.push_back(holder.thread);
  }
}

}  // namespace

std::shared_ptr<const Folder> RecordWorkingFolder() {
  std::error_code error;
  Folder now = Lease::instance().FolderOfThisThread(error);
  if (error) return nullptr;
  static std::mutex mutex;
  static std::shared_ptr<const Folder> last;
  std::lock_guard<std::mutex> lock(mutex);
  if (!last || !SameFolder(*last, now)) last = std::make_shared<const Folder>(std::move(now));
  return last;
}

FolderLease::Taking FolderLease::Take(const Folder& folder, std::string& reason) {
  return Lease::instance().Take(folder, reason);
}

void FolderLease::Give() { Lease::instance().Give(); }
