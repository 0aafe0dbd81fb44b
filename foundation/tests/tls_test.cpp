#include "foundation/thread_local_slot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "foundation/sync.h"

namespace {

using Common::kTlsOutOfIndexes;
using Common::kTlsSlotCount;
using Common::TlsSlotAlloc;
using Common::TlsSlotFree;
using Common::TlsSlotGet;
using Common::TlsSlotSet;

void* Tag(uintptr_t n) { return reinterpret_cast<void*>(n); }

// Records the values that a thread-exit destructor was called with.
struct DestructorLog {
  std::mutex mutex;
  std::vector<void*> values;

  std::vector<void*> Take() {
    std::lock_guard<std::mutex> hold(mutex);
    std::vector<void*> taken;
    taken.swap(values);
    return taken;
  }
};
DestructorLog g_logA, g_logB;
void DestroyIntoA(void* value) {
  std::lock_guard<std::mutex> hold(g_logA.mutex);
  g_logA.values.push_back(value);
}
void DestroyIntoB(void* value) {
  std::lock_guard<std::mutex> hold(g_logB.mutex);
  g_logB.values.push_back(value);
}

TEST(ThreadLocalSlot, NewSlotReadsNullAndKeepsThisThreadsValue) {
  const uint32_t slot = TlsSlotAlloc();
  ASSERT_NE(slot, kTlsOutOfIndexes);
  EXPECT_LT(slot, kTlsSlotCount);
  EXPECT_EQ(TlsSlotGet(slot), nullptr);
  EXPECT_TRUE(TlsSlotSet(slot, Tag(0x1234)));
  EXPECT_EQ(TlsSlotGet(slot), Tag(0x1234));
  EXPECT_TRUE(TlsSlotSet(slot, nullptr));
  EXPECT_EQ(TlsSlotGet(slot), nullptr);
  EXPECT_TRUE(TlsSlotFree(slot));
}

TEST(ThreadLocalSlot, EachThreadHasItsOwnValue) {
  const uint32_t slot = TlsSlotAlloc();
  ASSERT_NE(slot, kTlsOutOfIndexes);
  ASSERT_TRUE(TlsSlotSet(slot, Tag(1)));

  constexpr int kThreads = 6;
  Common::Semaphore allSet(0);
  Common::EventObject go(true, false);
  std::atomic<int> sawNullFirst{0}, keptOwn{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      if (TlsSlotGet(slot) == nullptr) ++sawNullFirst;
      TlsSlotSet(slot, Tag(100 + t));
      allSet.Release();
      go.Wait();  // every thread has set its value before any reads it back
      if (TlsSlotGet(slot) == Tag(100 + t)) ++keptOwn;
      TlsSlotSet(slot, nullptr);
    });
  }
  for (int t = 0; t < kThreads; ++t) allSet.Wait();
  EXPECT_EQ(TlsSlotGet(slot), Tag(1));
  go.Set();
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(sawNullFirst, kThreads);
  EXPECT_EQ(keptOwn, kThreads);
  EXPECT_EQ(TlsSlotGet(slot), Tag(1));
  EXPECT_TRUE(TlsSlotFree(slot));
}

TEST(ThreadLocalSlot, SlotsAreIndependent) {
  const uint32_t a = TlsSlotAlloc();
  const uint32_t b = TlsSlotAlloc();
  ASSERT_NE(a, kTlsOutOfIndexes);
  ASSERT_NE(b, kTlsOutOfIndexes);
  EXPECT_NE(a, b);
  TlsSlotSet(a, Tag(7));
  EXPECT_EQ(TlsSlotGet(b), nullptr);
  TlsSlotSet(b, Tag(8));
  EXPECT_EQ(TlsSlotGet(a), Tag(7));
  EXPECT_TRUE(TlsSlotFree(a));
  EXPECT_TRUE(TlsSlotFree(b));
}

TEST(ThreadLocalSlot, FreedSlotIsClearedInEveryThread) {
  const uint32_t slot = TlsSlotAlloc();
  ASSERT_NE(slot, kTlsOutOfIndexes);
  TlsSlotSet(slot, Tag(5));

  Common::EventObject valueSet(true, false), slotRenewed(true, false);
  void* seen = Tag(1);
  uint32_t renewed = kTlsOutOfIndexes;
  std::thread other([&] {
    TlsSlotSet(slot, Tag(6));
    valueSet.Set();
    slotRenewed.Wait();
    seen = TlsSlotGet(renewed);
  });
  valueSet.Wait();
  EXPECT_TRUE(TlsSlotFree(slot));
  // The freed index is handed out again, by this allocation or a later one;
  // whichever slot comes back starts empty in both threads.
  renewed = TlsSlotAlloc();
  ASSERT_NE(renewed, kTlsOutOfIndexes);
  EXPECT_EQ(TlsSlotGet(renewed), nullptr);
  slotRenewed.Set();
  other.join();
  EXPECT_EQ(seen, nullptr);
  EXPECT_TRUE(TlsSlotFree(renewed));
}

TEST(ThreadLocalSlot, FreeTwiceIsRefused) {
  const uint32_t slot = TlsSlotAlloc();
  ASSERT_NE(slot, kTlsOutOfIndexes);
  EXPECT_TRUE(TlsSlotFree(slot));
  EXPECT_FALSE(TlsSlotFree(slot));
}

TEST(ThreadLocalSlot, IndexesOutOfRangeAreRefused) {
  for (uint32_t bad : {kTlsSlotCount, kTlsSlotCount + 1, 0x7FFFFFFFu, 0x80000000u,
                       kTlsOutOfIndexes}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(TlsSlotGet(bad), nullptr);
    EXPECT_FALSE(TlsSlotSet(bad, Tag(1)));
    EXPECT_FALSE(TlsSlotFree(bad));
  }
}

TEST(ThreadLocalSlot, RunningOutOfSlotsIsReported) {
  std::vector<uint32_t> slots;
  for (;;) {
    const uint32_t slot = TlsSlotAlloc();
    if (slot == kTlsOutOfIndexes) break;
    slots.push_back(slot);
    ASSERT_LE(slots.size(), kTlsSlotCount);
  }
  EXPECT_FALSE(slots.empty());
  EXPECT_EQ(std::set<uint32_t>(slots.begin(), slots.end()).size(), slots.size());
  for (uint32_t slot : slots) EXPECT_TRUE(TlsSlotFree(slot));
  // Slots are available again.
  const uint32_t again = TlsSlotAlloc();
  EXPECT_NE(again, kTlsOutOfIndexes);
  EXPECT_TRUE(TlsSlotFree(again));
}

TEST(ThreadLocalSlot, DestructorRunsForEachEndingThreadWithAValue) {
  g_logA.Take();
  const uint32_t slot = TlsSlotAlloc(DestroyIntoA);
  ASSERT_NE(slot, kTlsOutOfIndexes);

  std::thread withValue([&] { TlsSlotSet(slot, Tag(0xA1)); });
  withValue.join();
  std::thread clearedValue([&] {
    TlsSlotSet(slot, Tag(0xA2));
    TlsSlotSet(slot, nullptr);
  });
  clearedValue.join();
  std::thread neverSet([] {});
  neverSet.join();
  std::thread another([&] { TlsSlotSet(slot, Tag(0xA3)); });
  another.join();

  EXPECT_EQ(g_logA.Take(), (std::vector<void*>{Tag(0xA1), Tag(0xA3)}));
  EXPECT_TRUE(TlsSlotFree(slot));
}

TEST(ThreadLocalSlot, FreeingTheSlotForgetsItsDestructor) {
  g_logA.Take();
  const uint32_t slot = TlsSlotAlloc(DestroyIntoA);
  ASSERT_NE(slot, kTlsOutOfIndexes);
  EXPECT_TRUE(TlsSlotFree(slot));
  // Even when the index comes back, no destructor comes with it.
  const uint32_t plain = TlsSlotAlloc();
  ASSERT_NE(plain, kTlsOutOfIndexes);
  std::thread user([&] { TlsSlotSet(plain, Tag(0xB1)); });
  user.join();
  EXPECT_TRUE(g_logA.Take().empty());
  EXPECT_TRUE(TlsSlotFree(plain));
}

TEST(ThreadLocalSlot, OnlyTheLatestDestructorIsKept) {
  g_logA.Take();
  g_logB.Take();
  const uint32_t first = TlsSlotAlloc(DestroyIntoA);
  const uint32_t second = TlsSlotAlloc(DestroyIntoB);
  ASSERT_NE(first, kTlsOutOfIndexes);
  ASSERT_NE(second, kTlsOutOfIndexes);
  std::thread user([&] {
    TlsSlotSet(first, Tag(0xC1));
    TlsSlotSet(second, Tag(0xC2));
  });
  user.join();
  EXPECT_TRUE(g_logA.Take().empty());
  EXPECT_EQ(g_logB.Take(), std::vector<void*>{Tag(0xC2)});

  // Freeing a slot that is not the registered one keeps the destructor.
  EXPECT_TRUE(TlsSlotFree(first));
  std::thread again([&] { TlsSlotSet(second, Tag(0xC3)); });
  again.join();
  EXPECT_EQ(g_logB.Take(), std::vector<void*>{Tag(0xC3)});
  EXPECT_TRUE(TlsSlotFree(second));
}

}  // namespace
