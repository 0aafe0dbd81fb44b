// The layer's lifecycle without a computer, its lock, notification counter
// and holder keys.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/geometry.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"

namespace {

DaOsVersion g_os;
void TestOs(DaOsVersion& out) { out = g_os; }

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override { DaSetOsVersionSource(TestOs); }
  void TearDown() override {
    if (DaIsInitialised()) DaDone();
    DaSetOsVersionSource(nullptr);
  }
};

TEST_F(Lifecycle, WithoutAComputerTheFirstCallStillSetsUpTheLayer) {
  g_os = DaOsVersion{};
  g_DaPartitionQuery.sortKind = 1;  // the first call resets the query
  DaInit(0x200 | 0x100);
  EXPECT_TRUE(DaIsInitialised());
  EXPECT_EQ(DaComputerCount(), 0u);
  EXPECT_EQ(DaLocalComputer(), nullptr);
  EXPECT_TRUE(DaHasGlobalLock());
  EXPECT_TRUE(DaRawProcessorRegistered());
  // The raw-device formatter is in place: a device that is not there is
  // refused instead of succeeding at once.
  EXPECT_NE(Da::CallFormatRawDevice(nullptr).Code(), 0u);
  EXPECT_EQ(g_DaPartitionQuery.sortKind, 3u);
  EXPECT_EQ(g_DaPartitionQuery.typeSelector, 8u);
  EXPECT_EQ(g_DaState.initFlags, 0x300u);
  EXPECT_EQ(g_DaState.flag100Absent, 0);

  DaDone();
  EXPECT_FALSE(DaIsInitialised());
  EXPECT_FALSE(DaHasGlobalLock());
  EXPECT_EQ(Da::CallFormatRawDevice(nullptr).Code(), 0u);
  EXPECT_EQ(DaVolumeInfoCacheSize(), 0u);
  EXPECT_EQ(DaPendingRecordCount(), 0u);
}

TEST_F(Lifecycle, RecordsTheOperatingSystemKind) {
  struct Case {
    std::uint32_t platform, major, build;
    bool nt, recent;
  };
  const Case cases[] = {
      {1, 4, 0x040A0457, false, true},   // Windows 9x, build 1111
      {1, 4, 0x040A03E8, false, false},  // build 1000 exactly
      {2, 4, 1381, true, false},         // NT 4
      {2, 5, 2600, true, true},
      {2, 10, 19045, true, true},
  };
  for (const Case& c : cases) {
    g_os = DaOsVersion{};
    g_os.platformId = c.platform;
    g_os.major = c.major;
    g_os.build = c.build;
    DaInit(0x200);
    EXPECT_EQ(DaIsNtFamily(), c.nt) << c.platform << " " << c.major;
    EXPECT_EQ(DaIsRecentOs(), c.recent) << c.platform << " " << c.build;
    DaDone();
  }
}

TEST_F(Lifecycle, ALaterCallWithOtherFlagsKeepsThemWhenNoComputerRefuses) {
  DaInit(0x200);
  DaInit(0x200 | 0x1000);
  EXPECT_EQ(g_DaState.initFlags, 0x1200u);
  EXPECT_EQ(DaComputerCount(), 0u);
}

TEST(GlobalLock, CreatesOneLockAndIgnoresEnterWithoutOne) {
  ASSERT_FALSE(DaHasGlobalLock());
  DaGlobalLock(2);  // nothing to enter
  DaGlobalLock(3);
  DaGlobalLock(0);
  DaGlobalLock(0);
  EXPECT_TRUE(DaHasGlobalLock());
  DaGlobalLock(2);
  DaGlobalLock(2);  // the same thread may enter again
  DaGlobalLock(3);
  DaGlobalLock(3);
  DaGlobalLock(9);
  DaGlobalLock(1);
  EXPECT_FALSE(DaHasGlobalLock());
}

int g_hookCalls = 0;
void CountHook() { ++g_hookCalls; }

TEST(Notifications, StayPendingWhileDisabledAndNeverCallTheHook) {
  g_DaHooks.changed = CountHook;
  g_hookCalls = 0;
  DaTakeChangePending();
  EXPECT_EQ(DaNotificationCounter(), -1);
  EXPECT_EQ(DaNotifyChanged(), 0u);
  EXPECT_EQ(DaNotifyChanged(), 1u);
  DaSuspendNotifications(true);
  DaSuspendNotifications(false);
  EXPECT_EQ(DaNotificationCounter(), -1);
  EXPECT_EQ(DaChangePending(), 1u);
  EXPECT_EQ(g_hookCalls, 0);
  g_DaHooks.changed = nullptr;
}

TEST(Notifications, ExactlyOneOfManyThreadsSeesTheFirstChange) {
  // The library's thread announces changes while others may do the same:
  // the pending word is taken and set in one step.
  for (int round = 0; round < 20; ++round) {
    DaTakeChangePending();
    std::atomic<int> firsts{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        while (!go.load()) {
        }
        if (DaNotifyChanged() == 0) ++firsts;
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(firsts.load(), 1);
  }
}

TEST(HolderKeys, CreatedKeysAreEvenReadKeysOddAndRestoreGoesBack) {
  DaSaveKeyCounters();
  const std::int32_t a = DaNextCreatedHolderKey();
  const std::int32_t b = DaNextCreatedHolderKey();
  EXPECT_EQ(a % 2, 0);
  EXPECT_EQ(b, a + 2);
  DaRestoreKeyCounters();
  EXPECT_EQ(DaNextCreatedHolderKey(), a);
  const std::int32_t r = DaNextReadHolderKey();
  EXPECT_EQ(r % 2, 1);
  EXPECT_EQ(DaNextReadHolderKey(), r + 2);
}

TEST(Hooks, WrappersAnswerTheirFixedValuesWithoutAHook) {
  std::uint8_t flag = 9;
  EXPECT_EQ(DaHookProgress(5), 0u);
  EXPECT_EQ(DaHookBeginPartitionWork(&flag), 0u);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(DaHookPartitionWork(1, nullptr, Common::Error()), 1u);
  EXPECT_EQ(DaHookDiskIoError(1, 2, 3, 4, 5, Common::Error()), 1u);
  EXPECT_EQ(DaHookVolumeOperation(1, 2, nullptr, Common::Error()), 1u);
  EXPECT_EQ(DaHookLockChanged(0, nullptr, 1), 0u);
  std::uint32_t* pair = DaHookContextWord();
  ASSERT_NE(pair, nullptr);
  EXPECT_EQ(pair, DaHookContextWord());
}

}  // namespace
