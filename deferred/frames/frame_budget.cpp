#include "frame_budget.h"

#include <algorithm>
#include <string>

#include "deferred/frames/recent_frames.h"
#include "deferred/log/host_log.h"
#include "deferred/process_wide.h"

FrameBudget& FrameBudget::Instance() { return ProcessWide<FrameBudget>(); }

void FrameBudget::ReadLimit(IScriptEnvironment* env) {
  const int mb = env->SetMemoryMax(0);
  if (mb > 0) {
    limitMb_.store(mb, std::memory_order_relaxed);
    // In 64 bits, so that a limit of 4 GB or more does not wrap on 32-bit
    // processors.
    const uint64_t bytes = static_cast<uint64_t>(mb) * 1024 * 1024 / kShareDenominator * kShareNumerator;
    budget_.store(static_cast<std::size_t>(std::min<uint64_t>(bytes, SIZE_MAX)), std::memory_order_relaxed);
  }
  read_.store(true, std::memory_order_release);
}

bool FrameBudget::Add(std::size_t bytes) {
  return kept_.fetch_add(bytes, std::memory_order_relaxed) + bytes > Budget();
}

void FrameBudget::Reclaim() {
  std::vector<PVideoFrame> dropped;  // released after the lock is let go
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (;;) {
      const std::size_t kept = kept_.load(std::memory_order_relaxed);
      const std::size_t budget = Budget();
      if (kept <= budget) break;
      // The keeper with the frame used longest ago, and the oldest use of
      // any other: its frames older than that go before any other's.
      RecentFrames* oldest = nullptr;
      uint64_t first = UINT64_MAX, second = UINT64_MAX;
      for (RecentFrames* keeper : keepers_) {
        if (!keeper->HasFrames()) continue;
        const uint64_t used = keeper->OldestUse();
        if (used < first) {
          second = first;
          first = used;
          oldest = keeper;
        } else if (used < second) {
          second = used;
        }
      }
      if (oldest == nullptr) break;
      oldest->DropOldest(second, kept - budget, dropped);
    }
  }
}

void FrameBudget::Join(RecentFrames* keeper) {
  std::lock_guard<std::mutex> lock(mutex_);
  keeper->place_ = keepers_.size();
  keepers_.push_back(keeper);
}

void FrameBudget::Leave(RecentFrames* keeper) {
  std::lock_guard<std::mutex> lock(mutex_);
  RecentFrames* last = keepers_.back();
  keepers_[keeper->place_] = last;
  last->place_ = keeper->place_;
  keepers_.pop_back();
}

void FrameBudget::ReportOnce(IScriptEnvironment* env) {
  if (reported_.exchange(true)) return;
  const std::size_t budgetMb = Budget() / (1024 * 1024);
  const int limitMb = limitMb_.load(std::memory_order_relaxed);
  WriteHostLog(env, LogLevel::Warning,
               "DorvelFilter: the frames that temporal filters read around each frame do not all fit in the " +
                   std::to_string(budgetMb) + " MB the module may keep (three quarters of the host's memory limit of " +
                   std::to_string(limitMb) +
                   " MB); it keeps fewer, and some frames are made more than once. A larger SetMemoryMax keeps "
                   "them all.");
}
