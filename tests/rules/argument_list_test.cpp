// The argument list on its own, linked into this program with the stand-in
// host's values. Growing past its room keeps every value and name in order;
// a growth that fails part way, whether an allocation of the list's own or
// one the host makes while it copies a value, leaves the list as it was and
// nothing allocated behind.
//
// Every allocation of this program goes through the operator new below,
// which counts the blocks alive and fails one on purpose when asked.
#include "deferred/calls/argument_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "host_counters.h"

namespace {
std::atomic<long> liveBlocks{0};
// How many more allocations of this thread succeed before one fails; -1:
// none fails.
thread_local long allocationsBeforeFailure = -1;
}  // namespace

void* operator new(std::size_t size) {
  if (allocationsBeforeFailure == 0) {
    allocationsBeforeFailure = -1;
    throw std::bad_alloc();
  }
  if (allocationsBeforeFailure > 0) --allocationsBeforeFailure;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  ++liveBlocks;
  return block;
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* block) noexcept {
  if (block == nullptr) return;
  --liveBlocks;
  std::free(block);
}
void operator delete[](void* block) noexcept { ::operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { ::operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { ::operator delete(block); }

namespace {

const char* const kNames[] = {"a", nullptr, "c", "d", nullptr, "f", "g", "h", "i", nullptr};

// Element i: an array the host copies into storage of its own (even i), or
// an int.
AVSValue Element(int i) {
  if (i % 2 == 1) return AVSValue(i);
  const AVSValue elements[2] = {AVSValue(i), AVSValue("inside")};
  return AVSValue(elements, 2);
}

int NumberOf(const AVSValue& value) { return value.IsArray() ? value[0].AsInt() : value.AsInt(); }

// The list holds elements 0 to `count` - 1 with their names, in order.
void ExpectElements(const ArgumentList& list, std::size_t count) {
  ASSERT_EQ(list.size(), count);
  for (std::size_t i = 0; i < count; ++i) {
    EXPECT_EQ(list.values()[i].IsArray(), i % 2 == 0) << "argument " << i;
    EXPECT_EQ(NumberOf(list.values()[i]), static_cast<int>(i)) << "argument " << i;
    if (list.values()[i].IsArray()) {
      EXPECT_STREQ(list.values()[i][1].AsString(), "inside");
    }
    EXPECT_EQ(list.names()[i], kNames[i]) << "argument " << i;
  }
}

// Appends to a list of `count` elements, with the first, second, third ...
// allocation of the appending failing in turn, until one appending succeeds.
void FailEachAllocationOfAnAppend(std::size_t count) {
  const long valuesBefore = hostCounters().liveValues.load();
  const long arraysBefore = hostCounters().liveArrays.load();
  {
    ArgumentList list;
    for (std::size_t i = 0; i < count; ++i) list.Append(Element(static_cast<int>(i)), kNames[i]);
    const AVSValue next = Element(static_cast<int>(count));
    const long values = hostCounters().liveValues.load(), arrays = hostCounters().liveArrays.load();
    int failures = 0;
    for (long succeeding = 0;; ++succeeding) {
      const long blocks = liveBlocks.load();
      allocationsBeforeFailure = succeeding;
      try {
        list.Append(next, kNames[count]);
        allocationsBeforeFailure = -1;
        break;
      } catch (const std::bad_alloc&) {
        allocationsBeforeFailure = -1;
        ++failures;
      }
      const long blocksLeft = liveBlocks.load() - blocks;  // before the checks allocate
      SCOPED_TRACE("the allocation after " + std::to_string(succeeding) + " failed");
      EXPECT_EQ(blocksLeft, 0) << "blocks left allocated";
      ExpectElements(list, count);
      EXPECT_EQ(hostCounters().liveValues.load(), values) << "copies left unreleased";
      EXPECT_EQ(hostCounters().liveArrays.load(), arrays);
      EXPECT_EQ(hostCounters().doubleReleases.load(), 0) << "a value released and then used";
      if (testing::Test::HasFailure()) return;
    }
    // The room, the copy of each array in the list, the new array's copy.
    EXPECT_GE(failures, static_cast<int>(count / 2) + 2);
    ExpectElements(list, count + 1);
  }
  EXPECT_EQ(hostCounters().liveValues.load(), valuesBefore);
  EXPECT_EQ(hostCounters().liveArrays.load(), arraysBefore);
}

TEST(ArgumentList, KeepsEveryValueAndNameInOrderAsItGrows) {
  const long blocks = liveBlocks.load();
  {
    ArgumentList list;
    for (int i = 0; i < 10; ++i) list.Append(Element(i), kNames[i]);
    ExpectElements(list, 10);
  }
  EXPECT_EQ(liveBlocks.load(), blocks);
  EXPECT_EQ(hostCounters().liveValues.load(), 0);
  EXPECT_EQ(hostCounters().liveArrays.load(), 0);
}

TEST(ArgumentList, AGrowthOutOfItsInlineRoomThatFailsLeavesTheListAsItWas) { FailEachAllocationOfAnAppend(4); }

TEST(ArgumentList, AGrowthOfItsOwnBlockThatFailsLeavesTheListAsItWas) { FailEachAllocationOfAnAppend(8); }

}  // namespace
