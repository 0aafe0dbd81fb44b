#include "foundation/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using Common::CriticalSection;
using Common::CriticalSectionLock;
using Common::EventObject;
using Common::RecursiveLock;
using Common::Semaphore;
using Common::TestHooks::LiveRecursiveLockEvents;

// Waits (without a time limit; ctest's timeout ends a hang) until cond holds.
template <class Cond>
void SpinUntil(Cond cond) {
  while (!cond()) std::this_thread::yield();
}

// ---------------------------------------------------------------------------
// CriticalSection

TEST(CriticalSection, ReenteredBySameThread) {
  CriticalSection section;
  section.Enter();
  section.Enter();
  section.Leave();
  section.Leave();
}

TEST(CriticalSection, SerialisesThreads) {
  CriticalSection section;
  long counter = 0;  // deliberately not atomic
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        CriticalSectionLock outer(&section);
        CriticalSectionLock inner(&section);
        ++counter;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 4 * 5000);
}

TEST(CriticalSectionLock, LeavesEarlyAndEntersAgain) {
  CriticalSection section;
  CriticalSectionLock lock(&section);
  EXPECT_TRUE(lock.Holds());
  lock.Leave();
  EXPECT_FALSE(lock.Holds());
  lock.Leave();  // a second leave does nothing

  // Another thread can take the section while the scope has left it.
  bool entered = false;
  std::thread other([&] {
    CriticalSectionLock theirs(&section);
    entered = true;
  });
  other.join();
  EXPECT_TRUE(entered);

  lock.Enter();
  EXPECT_TRUE(lock.Holds());
}

TEST(CriticalSectionLock, NullSectionDoesNothing) {
  CriticalSectionLock lock(nullptr);
  EXPECT_FALSE(lock.Holds());
  lock.Enter();
  EXPECT_FALSE(lock.Holds());
  lock.Leave();
}

// ---------------------------------------------------------------------------
// RecursiveLock

TEST(RecursiveLock, UncontendedNeedsNoEvent) {
  const int32_t base = LiveRecursiveLockEvents();
  RecursiveLock lock;
  for (int i = 0; i < 3; ++i) lock.Lock();
  EXPECT_EQ(lock.LockCount(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(lock.Unlock());
  EXPECT_EQ(lock.LockCount(), 0);
  EXPECT_EQ(LiveRecursiveLockEvents(), base);
}

TEST(RecursiveLock, ThreeLocksNeedThreeUnlocksBeforeAnotherThreadGetsIt) {
  RecursiveLock lock;
  lock.Lock();
  lock.Lock();
  lock.Lock();

  std::atomic<bool> acquired{false};
  std::thread other([&] {
    lock.Lock();
    acquired = true;
    EXPECT_TRUE(lock.Unlock());
  });
  SpinUntil([&] { return lock.LockCount() == 4; });  // three levels and one waiter

  EXPECT_TRUE(lock.Unlock());
  EXPECT_TRUE(lock.Unlock());
  EXPECT_FALSE(acquired);  // still held at the first level
  EXPECT_TRUE(lock.Unlock());
  other.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(lock.LockCount(), 0);
}

TEST(RecursiveLock, ReenteredAndContendedAcrossThreads) {
  RecursiveLock lock;
  long counter = 0;  // deliberately not atomic
  std::atomic<int> badUnlocks{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        lock.Lock();
        lock.Lock();
        ++counter;
        lock.Lock();
        ++counter;
        if (!lock.Unlock()) ++badUnlocks;
        if (!lock.Unlock()) ++badUnlocks;
        if (!lock.Unlock()) ++badUnlocks;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 2 * 4 * 5000);
  EXPECT_EQ(badUnlocks, 0);
  EXPECT_EQ(lock.LockCount(), 0);
}

TEST(RecursiveLock, ContentionLeavesExactlyOneEvent) {
  const int32_t base = LiveRecursiveLockEvents();
  {
    RecursiveLock lock;
    // Force one wait: hold the lock until another thread queues for it.
    lock.Lock();
    std::thread waiter([&] {
      lock.Lock();
      lock.Unlock();
    });
    SpinUntil([&] { return lock.LockCount() == 2; });
    lock.Unlock();
    waiter.join();
    EXPECT_EQ(LiveRecursiveLockEvents(), base + 1);

    // However many more threads race, they share that one event.
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 2000; ++i) {
          lock.Lock();
          lock.Unlock();
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(LiveRecursiveLockEvents(), base + 1);

    lock.Close();  // nobody waits: the event goes at once
    EXPECT_EQ(LiveRecursiveLockEvents(), base);
    EXPECT_FALSE(lock.HasEvent());

    // A closed lock still works.
    lock.Lock();
    EXPECT_TRUE(lock.Unlock());
  }
  EXPECT_EQ(LiveRecursiveLockEvents(), base);
}

TEST(RecursiveLock, DestructorReleasesTheEvent) {
  const int32_t base = LiveRecursiveLockEvents();
  {
    RecursiveLock lock;
    lock.Lock();
    std::thread waiter([&] {
      lock.Lock();
      lock.Unlock();
    });
    SpinUntil([&] { return lock.LockCount() == 2; });
    lock.Unlock();
    waiter.join();
    EXPECT_EQ(LiveRecursiveLockEvents(), base + 1);
  }
  EXPECT_EQ(LiveRecursiveLockEvents(), base);
}

TEST(RecursiveLock, CloseKeepsTheEventUntilTheWaiterHasTheLock) {
  const int32_t base = LiveRecursiveLockEvents();
  RecursiveLock lock;
  lock.Lock();
  std::atomic<int> eventsOnceAcquired{-1};
  std::thread waiter([&] {
    lock.Lock();
    eventsOnceAcquired = LiveRecursiveLockEvents() - base;
    lock.Unlock();
  });
  // The waiter has queued and made the event it waits on.
  SpinUntil([&] { return lock.LockCount() == 2 && lock.HasEvent(); });

  lock.Close();
  EXPECT_EQ(LiveRecursiveLockEvents(), base + 1);  // still waited on
  EXPECT_EQ(eventsOnceAcquired, -1);

  EXPECT_TRUE(lock.Unlock());
  waiter.join();
  EXPECT_EQ(eventsOnceAcquired, 0);  // the new holder disposed of it
  EXPECT_EQ(LiveRecursiveLockEvents(), base);
}

TEST(RecursiveLock, UnlockByAThreadThatDoesNotHoldItIsRefused) {
  RecursiveLock lock;
  EXPECT_FALSE(lock.Unlock());  // free
  EXPECT_EQ(lock.LockCount(), 0);

  lock.Lock();
  bool refused = false;
  std::thread other([&] { refused = !lock.Unlock(); });
  other.join();
  EXPECT_TRUE(refused);
  EXPECT_EQ(lock.LockCount(), 1);
  EXPECT_TRUE(lock.Unlock());
  EXPECT_FALSE(lock.Unlock());  // one unlock too many
  EXPECT_EQ(lock.LockCount(), 0);
}

// ---------------------------------------------------------------------------
// EventObject

TEST(EventObject, ManualResetStaysSignalledUntilReset) {
  EventObject event(true, false);
  ASSERT_TRUE(event.IsValid());
  EXPECT_FALSE(event.TryWait());
  EXPECT_TRUE(event.Set());
  EXPECT_TRUE(event.TryWait());
  EXPECT_TRUE(event.TryWait());
  EXPECT_TRUE(event.Wait());
  EXPECT_TRUE(event.Reset());
  EXPECT_FALSE(event.TryWait());
}

TEST(EventObject, ManualResetReleasesEveryWaiter) {
  EventObject event(true, false);
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 5; ++t) {
    threads.emplace_back([&] {
      if (event.Wait()) ++released;
    });
  }
  EXPECT_TRUE(event.Set());
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(released, 5);
  EXPECT_TRUE(event.TryWait());  // still signalled
}

TEST(EventObject, AutoResetIsConsumedByOneWait) {
  EventObject event(false, true);
  EXPECT_TRUE(event.TryWait());
  EXPECT_FALSE(event.TryWait());
  EXPECT_TRUE(event.Set());
  EXPECT_TRUE(event.Set());  // a second set before any wait adds nothing
  EXPECT_TRUE(event.Wait());
  EXPECT_FALSE(event.TryWait());
}

TEST(EventObject, AutoResetReleasesOneWaiterPerSet) {
  constexpr int kThreads = 5;
  EventObject event(false, false);
  Semaphore woke(0);
  std::atomic<int> released{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      if (event.Wait()) ++released;
      woke.Release();
    });
  }
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_TRUE(event.Set());
    EXPECT_TRUE(woke.Wait());
    EXPECT_GE(released, i + 1);
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(released, kThreads);
  EXPECT_FALSE(event.TryWait());  // every set was consumed by exactly one wait
  EXPECT_FALSE(woke.TryWait());
}

TEST(EventObject, ClosedEventRefusesEveryOperation) {
  EventObject event(true, true);
  event.Close();
  EXPECT_FALSE(event.IsValid());
  EXPECT_FALSE(event.Set());
  EXPECT_FALSE(event.Reset());
  EXPECT_FALSE(event.Wait());
  EXPECT_FALSE(event.TryWait());
  event.Close();  // twice is harmless
}

// ---------------------------------------------------------------------------
// Semaphore

TEST(Semaphore, CountsReleasesAndWaits) {
  Semaphore semaphore(2);
  ASSERT_TRUE(semaphore.IsValid());
  EXPECT_TRUE(semaphore.TryWait());
  EXPECT_TRUE(semaphore.Wait());
  EXPECT_FALSE(semaphore.TryWait());
  EXPECT_TRUE(semaphore.Release(3));
  EXPECT_TRUE(semaphore.Release());
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(semaphore.TryWait());
  EXPECT_FALSE(semaphore.TryWait());
}

TEST(Semaphore, DefaultInitialCountIsZero) {
  Semaphore semaphore;
  ASSERT_TRUE(semaphore.IsValid());
  EXPECT_FALSE(semaphore.TryWait());
}

TEST(Semaphore, ProducersAndConsumers) {
  constexpr int kConsumers = 4, kProducers = 3, kPerConsumer = 600;
  constexpr int kTotal = kConsumers * kPerConsumer;  // 2400 = 3 producers x 800
  Semaphore semaphore(0);
  std::atomic<int> consumed{0};
  std::atomic<int> failedReleases{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c) {
    threads.emplace_back([&] {
      for (int i = 0; i < kPerConsumer; ++i)
        if (semaphore.Wait()) ++consumed;
    });
  }
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&] {
      // 800 in releases of 1, 2, 3 and 4 (80 rounds of 10).
      for (int round = 0; round < 80; ++round)
        for (int count = 1; count <= 4; ++count)
          if (!semaphore.Release(count)) ++failedReleases;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failedReleases, 0);
  EXPECT_EQ(consumed, kTotal);
  EXPECT_FALSE(semaphore.TryWait());
}

TEST(Semaphore, NegativeInitialCountIsRefused) {
  Semaphore semaphore(-1);
  EXPECT_FALSE(semaphore.IsValid());
  EXPECT_FALSE(semaphore.Wait());
  EXPECT_FALSE(semaphore.TryWait());
  EXPECT_FALSE(semaphore.Release());
  Semaphore lowest(INT32_MIN);
  EXPECT_FALSE(lowest.IsValid());
}

TEST(Semaphore, ReleaseBelowOneIsRefused) {
  Semaphore semaphore(1);
  EXPECT_FALSE(semaphore.Release(0));
  EXPECT_FALSE(semaphore.Release(-1));
  EXPECT_FALSE(semaphore.Release(INT32_MIN));
  EXPECT_TRUE(semaphore.TryWait());
  EXPECT_FALSE(semaphore.TryWait());  // the count stayed at 1
}

TEST(Semaphore, ReleasePastTheMaximumFailsAndKeepsTheCount) {
  Semaphore semaphore(5);
  EXPECT_FALSE(semaphore.Release(Semaphore::kMaximumCount));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(semaphore.TryWait());
  EXPECT_FALSE(semaphore.TryWait());

  Semaphore full(5);
  EXPECT_TRUE(full.Release(Semaphore::kMaximumCount - 5));  // exactly the maximum
  EXPECT_FALSE(full.Release(1));
  EXPECT_FALSE(full.Release(Semaphore::kMaximumCount));
  EXPECT_TRUE(full.TryWait());
  EXPECT_TRUE(full.Release(1));  // back at the maximum
  EXPECT_FALSE(full.Release(1));

  Semaphore atMaximum(Semaphore::kMaximumCount);
  ASSERT_TRUE(atMaximum.IsValid());
  EXPECT_FALSE(atMaximum.Release());
}

TEST(Semaphore, ClosedSemaphoreRefusesEveryOperation) {
  Semaphore semaphore(3);
  semaphore.Close();
  EXPECT_FALSE(semaphore.IsValid());
  EXPECT_FALSE(semaphore.Release());
  EXPECT_FALSE(semaphore.Wait());
  EXPECT_FALSE(semaphore.TryWait());
}

}  // namespace
