#include "waits.h"

#include <algorithm>
#include <mutex>

#include "deferred/process_wide.h"

namespace {

// Which thing each waiting thread waits for. Touched only by threads about
// to wait and by those done waiting, never on a request that finds what it
// needs free.
struct Waiting {
  std::thread::id thread;
  Awaited* awaited;
};

struct Record {
  std::mutex mutex;
  std::vector<Waiting> threads;
};
std::mutex& recordMutex() { return ProcessWide<Record>().mutex; }
std::vector<Waiting>& waitingThreads() { return ProcessWide<Record>().threads; }

std::vector<Waiting>::iterator FindWaiting(std::thread::id thread) {
  std::vector<Waiting>& threads = waitingThreads();
  return std::find_if(threads.begin(), threads.end(), [&](const Waiting& w) { return w.thread == thread; });
}

// With the record locked: whether `thread`, waiting for `awaited`, would wait
// in the end for `target`. Each step goes from a thread to what it waits
// for, and from there to the threads that keep it waiting; every thread is
// followed once, so the walk ends.
bool WaitLeadsTo(std::thread::id thread, Awaited& awaited, std::thread::id target) {
  std::vector<std::thread::id> pending, followed;
  awaited.AddBlockers(thread, pending);
  while (!pending.empty()) {
    const std::thread::id next = pending.back();
    pending.pop_back();
    if (next == target) return true;
    if (std::find(followed.begin(), followed.end(), next) != followed.end()) continue;
    followed.push_back(next);
    const auto waiting = FindWaiting(next);
    // A thing in the record belongs to a request or an opening that its
    // waiting thread is still inside, so it is alive while the record is
    // locked.
    if (waiting != waitingThreads().end()) waiting->awaited->AddBlockers(next, pending);
  }
  return false;
}

}  // namespace

namespace waits {

bool Begin(Awaited& awaited) {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard<std::mutex> record(recordMutex());
  // Of the threads that close a ring of waits, the last one to come here
  // sees the whole ring, and refuses.
  if (WaitLeadsTo(self, awaited, self)) return false;
  waitingThreads().push_back({self, &awaited});
  return true;
}

bool WaitsFor(std::thread::id thread, std::thread::id other) {
  std::lock_guard<std::mutex> record(recordMutex());
  const auto waiting = FindWaiting(thread);
  return waiting != waitingThreads().end() && WaitLeadsTo(thread, *waiting->awaited, other);
}

bool Waits(std::thread::id thread) {
  std::lock_guard<std::mutex> record(recordMutex());
  return FindWaiting(thread) != waitingThreads().end();
}

void End() {
  std::lock_guard<std::mutex> record(recordMutex());
  waitingThreads().erase(FindWaiting(std::this_thread::get_id()));
}

}  // namespace waits
