#include "thread_clock.h"

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <utility>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <mach/mach.h>
#include <pthread.h>
#else
#include <pthread.h>
#include <time.h>
#endif

ThreadClock ThreadClock::OfThisThread() {
  ThreadClock clock;
#if defined(_WIN32)
  // GetCurrentThread() answers a stand-in that means "the calling thread"
  // wherever it is used; another thread needs a real handle.
  HANDLE handle = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle,
                      THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
    clock.id_ = reinterpret_cast<uintptr_t>(handle);
    clock.valid_ = true;
  }
#elif defined(__APPLE__)
  clock.id_ = static_cast<uintptr_t>(pthread_mach_thread_np(pthread_self()));
  clock.valid_ = clock.id_ != 0;
#else
  clockid_t id;
  if (pthread_getcpuclockid(pthread_self(), &id) == 0) {
    clock.id_ = static_cast<uintptr_t>(id);
    clock.valid_ = true;
  }
#endif
  return clock;
}

ThreadClock::~ThreadClock() {
#if defined(_WIN32)
  if (valid_) CloseHandle(reinterpret_cast<HANDLE>(id_));
#endif
}

ThreadClock::ThreadClock(ThreadClock&& other) noexcept
    : id_(std::exchange(other.id_, 0)), valid_(std::exchange(other.valid_, false)) {}

ThreadClock& ThreadClock::operator=(ThreadClock&& other) noexcept {
  if (this != &other) {
    ThreadClock gone(std::move(*this));
    id_ = std::exchange(other.id_, 0);
    valid_ = std::exchange(other.valid_, false);
  }
  return *this;
}

int64_t ThreadClock::Reading() const {
  if (!valid_) return -1;
#if defined(_WIN32)
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(reinterpret_cast<HANDLE>(id_), &created, &exited, &kernel, &user)) return -1;
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  // The times are charged a clock tick at a time, so a thread that works in
  // bursts shorter than a tick may show none; its cycles show every burst.
  ULONG64 cycles = 0;
  QueryThreadCycleTime(reinterpret_cast<HANDLE>(id_), &cycles);
  // Kept positive; wrapping round after centuries does no harm, as only a
  // change is looked for.
  return static_cast<int64_t>(((ticks(kernel) + ticks(user)) * 100 + cycles) & 0x3fffffffffffffffULL);
#elif defined(__APPLE__)
  thread_basic_info_data_t info;
  mach_msg_type_number_t count = THREAD_BASIC_INFO_COUNT;
  if (thread_info(static_cast<thread_act_t>(id_), THREAD_BASIC_INFO, reinterpret_cast<thread_info_t>(&info), &count) !=
      KERN_SUCCESS) {
    return -1;
  }
  const auto nanoseconds = [](const time_value_t& t) {
    return static_cast<int64_t>(t.seconds) * 1000000000 + static_cast<int64_t>(t.microseconds) * 1000;
  };
  return nanoseconds(info.user_time) + nanoseconds(info.system_time);
#else
  timespec used;
  if (clock_gettime(static_cast<clockid_t>(id_), &used) != 0) return -1;
  return static_cast<int64_t>(used.tv_sec) * 1000000000 + used.tv_nsec;
#endif
}

namespace {

// Whether short wakes show: 1 or 0 once known, -1 before.
std::atomic<int> measured{-1};

// The answer a test gives, or -1. Read from the system's own environment
// block, which the client and the module share on every system.
int GivenByTest() {
  constexpr const char* kName = "DORVEL_TEST_SHORT_WAKES_SHOWN";
#if defined(_WIN32)
  char value[2] = {};
  if (GetEnvironmentVariableA(kName, value, sizeof value) != 1) return -1;
#else
  const char* value = std::getenv(kName);
  if (value == nullptr || value[0] == '\0' || value[1] != '\0') return -1;
#endif
  return value[0] == '1' ? 1 : value[0] == '0' ? 0 : -1;
}

// A move of a clock read over and over that shows a burst of work this
// short or shorter. (On Windows the reading adds cycles to nanoseconds: a
// millisecond is more than this, a few reads far less.)
constexpr int64_t kShortMove = 1000000;

bool MeasureShortWakes() {
  const ThreadClock clock = ThreadClock::OfThisThread();
  // A clock that shows short bursts moves by little between two readings;
  // one that moves in ticks of a scheduler moves by a whole tick. Only the
  // size of a move tells them apart: a reading may itself take so long
  // (under Wine, tens of microseconds) that a thousand of them span several
  // ticks.
  const auto start = std::chrono::steady_clock::now();
  int64_t last = clock.Reading();
  if (last < 0) return false;
  int shortMoves = 0;
  for (long reads = 1; shortMoves < 3; ++reads) {
    const int64_t now = clock.Reading();
    if (now < 0) return false;
    if (now != last && now - last <= kShortMove) ++shortMoves;
    last = now;
    if (reads >= 1000 && std::chrono::steady_clock::now() - start > std::chrono::milliseconds(2)) break;
  }
  return shortMoves >= 3;
}

}  // namespace

bool ThreadClock::ShowsShortWakes() {
  const int given = GivenByTest();
  if (given >= 0) return given == 1;
  int known = measured.load();
  if (known < 0) {
    // Two threads may both measure; they find the same.
    known = MeasureShortWakes() ? 1 : 0;
    measured.store(known);
  }
  return known == 1;
}
