// The block cache against a counting volume device: accounting, eviction at
// the limit, the write probe, write-back failures, shared accounts.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "fake_driver.h"
#include "files/file_error.h"
#include "filesystems/driver.h"
#include "image_volume.h"

namespace {

using filesystems::BlockHandle;
using filesystems::FileSystemDriver;
using fstest::FakeDriver;
using fstest::ImageVolume;

constexpr std::uint64_t kEightSectorBlock = 8 * 512 + 512 + 39;  // 4647

std::uint32_t NextKey() {
  static std::uint32_t key = 0x1000;
  return ++key;
}

struct Mount {
  explicit Mount(std::uint64_t sectors = 16384, std::uint32_t sectorSize = 512,
                 std::uint32_t key = NextKey())
      : device(new ImageVolume(sectors, sectorSize)),
        driver(new FakeDriver(device.get(), 0, sectors, key)) {
    // Every sector starts with its own number so that reads can be checked.
    std::vector<std::uint8_t> sector(sectorSize);
    for (std::uint64_t s = 0; s < sectors; ++s) {
      std::memcpy(sector.data(), &s, sizeof s);
      device->Poke(s, sector.data(), 1);
    }
  }
  std::uint64_t Total() { return driver->CacheAccount()->Total(); }
  std::unique_ptr<ImageVolume> device;
  std::unique_ptr<FakeDriver> driver;
};

std::uint64_t SectorTag(const std::uint8_t* data) {
  std::uint64_t v;
  std::memcpy(&v, data, sizeof v);
  return v;
}

template <class F>
Common::Error Caught(F f) {
  try {
    f();
  } catch (Common::Error& e) {
    return e;
  }
  return Common::Error();
}

TEST(BlockCache, EightSectorBlockOf512BytesCounts4647Bytes) {
  Mount m;
  {
    BlockHandle h = m.driver->GetBlocks(16, 8, false);
    EXPECT_EQ(SectorTag(h.Data()), 16u);
    EXPECT_EQ(SectorTag(h.Data() + 7 * 512), 23u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(h.Data()) % 512, 0u);
    EXPECT_EQ(m.Total(), kEightSectorBlock);
  }
  // Idle blocks stay cached and counted; a hit reads nothing.
  EXPECT_EQ(m.Total(), kEightSectorBlock);
  m.device->ClearLog();
  BlockHandle again = m.driver->GetBlocks(16, 8, false);
  EXPECT_EQ(m.device->GetCounters().reads, 0u);
  EXPECT_EQ(m.driver->CachedBlockCount(), 1u);
}

TEST(BlockCache, EvictionStartsAtTheBlockThatCrossesTheLimitAndStopsAtOrBelowIt) {
  Mount m(20000);
  const std::uint64_t fit = FileSystemDriver::kCacheLimit / kEightSectorBlock;  // 902
  for (std::uint64_t i = 0; i < fit; ++i) m.driver->GetBlocks(i * 8, 8, false);
  EXPECT_EQ(m.driver->CachedBlockCount(), fit);
  EXPECT_EQ(m.Total(), fit * kEightSectorBlock);
  EXPECT_LE(m.Total(), FileSystemDriver::kCacheLimit);

  // The crossing block evicts the oldest idle block, and only that one.
  m.driver->GetBlocks(fit * 8, 8, false);
  EXPECT_EQ(m.driver->CachedBlockCount(), fit);
  EXPECT_LE(m.Total(), FileSystemDriver::kCacheLimit);
  EXPECT_GT(m.Total() + kEightSectorBlock, FileSystemDriver::kCacheLimit);
  m.device->ClearLog();
  m.driver->GetBlocks(8, 8, false);  // still cached
  EXPECT_EQ(m.device->GetCounters().reads, 0u);
}

TEST(BlockCache, BlocksInUseAreNotEvictedAndLeaveAsSoonAsTheirLastUseGoes) {
  Mount m(20000);
  const std::uint64_t fit = FileSystemDriver::kCacheLimit / kEightSectorBlock;
  std::vector<BlockHandle> held;
  for (std::uint64_t i = 0; i <= fit + 2; ++i) held.push_back(m.driver->GetBlocks(i * 8, 8, false));
  EXPECT_EQ(m.driver->CachedBlockCount(), fit + 3);
  EXPECT_GT(m.Total(), FileSystemDriver::kCacheLimit);
  held.erase(held.begin(), held.begin() + 3);  // over the limit: clean blocks leave at once
  EXPECT_EQ(m.driver->CachedBlockCount(), fit);
  EXPECT_LE(m.Total(), FileSystemDriver::kCacheLimit);
}

TEST(BlockCache, DirtyBlocksAreWrittenBackBeforeEviction) {
  Mount m(20000);
  {
    BlockHandle h = m.driver->GetBlocks(0, 8, false);
    h.PrepareWrite();
    std::memset(h.Data(), 0xAB, 512);
    h.MarkDirty();
  }
  const std::uint64_t fit = FileSystemDriver::kCacheLimit / kEightSectorBlock;
  for (std::uint64_t i = 1; i <= fit; ++i) m.driver->GetBlocks(i * 8, 8, false);
  EXPECT_EQ(m.device->Peek(0, 1)[100], 0xAB);
}

TEST(BlockCache, ReadOnlyDeviceRefusesTheFirstCachedWriteWithOneProbe) {
  Mount m;
  m.device->SetReadOnly(true);
  m.device->ClearLog();
  BlockHandle h = m.driver->GetBlocks(40, 8, false);
  Common::Error e = Caught([&] { h.PrepareWrite(); });
  EXPECT_EQ(e.Code(), kFileReadOnly);
  EXPECT_EQ(Common::GetErrorCause(e).Code(), ImageVolume::kDeviceErrorCode);
  EXPECT_FALSE(m.driver->Written());
  std::vector<ImageVolume::Call> writes;
  for (auto& c : m.device->Log())
    if (c.op == Fdisk::kIoWrite) writes.push_back(c);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].sector, 40u);
  EXPECT_EQ(writes[0].count, 1u);
  // The next write probes again; once the device takes it, no more probes.
  m.device->SetReadOnly(false);
  h.PrepareWrite();
  EXPECT_TRUE(m.driver->Written());
  m.device->ClearLog();
  h.PrepareWrite();
  EXPECT_EQ(m.device->GetCounters().writes, 0u);
}

TEST(BlockCache, FirstWriteBlocksOnReadOnlyDeviceFailsByWhetherTheRangeIsCached) {
  Mount m;
  m.device->SetReadOnly(true);
  std::vector<std::uint8_t> data(512 * 4, 1);
  BlockHandle h = m.driver->GetBlocks(100, 8, false);
  EXPECT_EQ(Caught([&] { m.driver->WriteBlocks(data.data(), 100, 4); }).Code(), kFileReadOnly);
  EXPECT_EQ(Caught([&] { m.driver->WriteBlocks(data.data(), 300, 4); }).Code(), kFileWriteError);
}

TEST(BlockCache, RefusedWriteBackKeepsTheBlockDirtyAndFlushReportsIt) {
  Mount m;
  {
    BlockHandle h = m.driver->GetBlocks(64, 8, false);
    h.PrepareWrite();
    std::memset(h.Data(), 0x5A, 8 * 512);
    h.MarkDirty();
  }
  m.device->FailWrites(64, 8);
  Common::Error e = Caught([&] { m.driver->Flush(); });
  EXPECT_EQ(e.Code(), kFileWriteError);
  EXPECT_EQ(Common::GetErrorCause(e).Code(), ImageVolume::kDeviceErrorCode);
  EXPECT_NE(m.device->Peek(64, 1)[0], 0x5A);
  // Nothing was lost: once the device takes writes again the data land.
  m.device->ClearFailures();
  m.driver->Flush();
  EXPECT_EQ(m.device->Peek(71, 1)[511], 0x5A);
}

TEST(BlockCache, ReleasingAHandleNeverThrowsAndLeavesTheFailureForFlush) {
  Mount m(20000);
  const std::uint64_t fit = FileSystemDriver::kCacheLimit / kEightSectorBlock;
  std::vector<BlockHandle> held;
  for (std::uint64_t i = 0; i <= fit; ++i) held.push_back(m.driver->GetBlocks(i * 8, 8, false));
  held[0].PrepareWrite();
  held[0].Data()[0] = 0x77;
  held[0].MarkDirty();
  m.device->FailWrites(0, 8);
  EXPECT_NO_THROW(held.clear());  // over the limit, dirty, refused
  EXPECT_LE(m.Total(), FileSystemDriver::kCacheLimit);
  {
    m.device->ClearLog();
    BlockHandle kept = m.driver->GetBlocks(0, 8, false);  // the dirty one stayed
    EXPECT_EQ(kept.Data()[0], 0x77);
    EXPECT_TRUE(kept.IsDirty());
    EXPECT_EQ(m.device->GetCounters().reads, 0u);
  }
  EXPECT_EQ(Caught([&] { m.driver->Flush(); }).Code(), kFileWriteError);
  m.device->ClearFailures();
  m.driver->Flush();
  EXPECT_EQ(m.device->Peek(0, 1)[0], 0x77);
}

TEST(BlockCache, AHitOnAShorterBlockNeverHandsOutTheShortBlock) {
  Mount m;
  {
    BlockHandle one = m.driver->GetBlocks(200, 1, false);
    one.PrepareWrite();
    one.Data()[3] = 0x42;
    one.MarkDirty();
  }
  BlockHandle eight = m.driver->GetBlocks(200, 8, false);
  EXPECT_EQ(eight.SectorCount(), 8u);
  EXPECT_EQ(eight.Data()[3], 0x42);  // the change was written and read back
  EXPECT_EQ(SectorTag(eight.Data() + 7 * 512), 207u);
  EXPECT_EQ(m.Total(), kEightSectorBlock);
  // While the short block is in use it cannot be replaced.
  BlockHandle small = m.driver->GetBlocks(300, 1, false);
  EXPECT_EQ(Caught([&] { m.driver->GetBlocks(300, 2, false); }).Code(), kFileCorrupted);
  // A longer cached block serves a shorter request unchanged.
  EXPECT_EQ(m.driver->GetBlocks(200, 2, false).SectorCount(), 8u);
}

TEST(BlockCache, DiscardDropsAnIdleBlocksChangesAndLeavesABlockInUse) {
  Mount m;
  {
    BlockHandle h = m.driver->GetBlocks(8, 8, false);
    h.PrepareWrite();
    h.Data()[0] = 0x99;
    h.MarkDirty();
  }
  BlockHandle held = m.driver->GetBlocks(16, 8, false);
  m.driver->DiscardBlock(8);
  m.driver->DiscardBlock(16);
  EXPECT_EQ(m.driver->CachedBlockCount(), 1u);
  m.driver->Flush();
  EXPECT_EQ(SectorTag(m.device->Peek(8, 1).data()), 8u);
  EXPECT_EQ(m.Total(), kEightSectorBlock);
}

TEST(BlockCache, ReadBlocksTakesCachedDataAndReadsTheRestFromTheDevice) {
  Mount m;
  {
    BlockHandle h = m.driver->GetBlocks(10, 4, false);
    h.PrepareWrite();
    std::memset(h.Data(), 0xEE, 4 * 512);
    h.MarkDirty();
  }
  alignas(512) static std::uint8_t buffer[20 * 512];
  m.device->ClearLog();
  m.driver->ReadBlocks(buffer, 5, 20);
  EXPECT_EQ(SectorTag(buffer), 5u);
  EXPECT_EQ(buffer[5 * 512], 0xEE);
  EXPECT_EQ(buffer[9 * 512 - 1], 0xEE);
  EXPECT_EQ(SectorTag(buffer + 9 * 512), 14u);
  auto log = m.device->Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].sector, 5u);
  EXPECT_EQ(log[0].count, 5u);
  EXPECT_EQ(log[1].sector, 14u);
  EXPECT_EQ(log[1].count, 11u);
  m.device->FailReads(20, 1);
  EXPECT_EQ(Caught([&] { m.driver->ReadBlocks(buffer, 18, 4); }).Code(), kFileReadError);
  EXPECT_EQ(Caught([&] { m.driver->GetBlocks(16, 8, false); }).Code(), kFileReadError);
  EXPECT_EQ(m.Total(), filesystems::BlockAccountedSize(4, 512));
}

TEST(BlockCache, UnalignedReadsGoThroughTheLastUnitsCachedBlock) {
  Mount m;
  std::vector<std::uint8_t> storage(12 * 512 + 1);
  std::uint8_t* odd = storage.data() + 1;
  m.driver->ReadBlocksUnaligned(odd, 3, 11, 4, 2);  // units 2-5, 6-9, 10-13
  for (int i = 0; i < 11; ++i) EXPECT_EQ(SectorTag(odd + i * 512), 3u + i) << i;
  EXPECT_EQ(m.driver->CachedBlockCount(), 1u);
  EXPECT_EQ(m.driver->GetBlocks(10, 4, false).SectorCount(), 4u);
}

TEST(BlockCache, FourKilobyteSectorsAndAPartitionOffset) {
  auto device = std::make_unique<ImageVolume>(64, 4096);
  std::vector<std::uint8_t> sector(4096, 0x31);
  device->Poke(10, sector.data(), 1);
  FakeDriver driver(device.get(), 8, 32, NextKey());
  BlockHandle h = driver.GetBlocks(2, 2, false);
  EXPECT_EQ(h.Data()[4095], 0x31);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(h.Data()) % 4096, 0u);
  EXPECT_EQ(driver.CacheAccount()->Total(), filesystems::BlockAccountedSize(2, 4096));
}

TEST(BlockCache, DestroyingADriverDropsExactlyItsBlocksFromTheSharedAccount) {
  const std::uint32_t key = NextKey();
  Mount a(4096, 512, key), b(4096, 512, key);
  ASSERT_EQ(a.driver->CacheAccount(), b.driver->CacheAccount());
  for (int i = 0; i < 5; ++i) a.driver->GetBlocks(i * 8, 8, false);
  for (int i = 0; i < 3; ++i) b.driver->GetBlocks(i * 4, 4, false);
  EXPECT_EQ(a.Total(), 5 * kEightSectorBlock + 3 * filesystems::BlockAccountedSize(4, 512));
  a.driver.reset();
  EXPECT_EQ(b.Total(), 3 * filesystems::BlockAccountedSize(4, 512));
  b.driver.reset();
  EXPECT_EQ(FileSystemDriver::FileSystemCache::Find(key), nullptr);
}

TEST(BlockCache, TwoDriversOnOneKeyFromTwoThreadsShareOneAccount) {
  const std::uint32_t key = NextKey();
  Mount a(12000, 512, key), b(12000, 512, key);
  auto work = [](FakeDriver* d, int salt) {
    for (int round = 0; round < 3; ++round) {
      for (std::uint64_t i = 0; i < 1400; ++i) {
        BlockHandle h = d->GetBlocks(i * 8, 8, false);
        if (SectorTag(h.Data()) != i * 8) ADD_FAILURE() << "wrong data at " << i * 8;
        if (i % 97 == static_cast<std::uint64_t>(salt)) {
          h.PrepareWrite();
          h.Data()[100] = static_cast<std::uint8_t>(round);
          h.MarkDirty();
        }
      }
    }
    d->Flush();
  };
  std::thread ta(work, a.driver.get(), 1), tb(work, b.driver.get(), 2);
  ta.join();
  tb.join();
  auto* account = FileSystemDriver::FileSystemCache::Find(key);
  ASSERT_NE(account, nullptr);
  EXPECT_LE(account->Total(), FileSystemDriver::kCacheLimit);
  EXPECT_EQ(account->Total(),
            (a.driver->CachedBlockCount() + b.driver->CachedBlockCount()) * kEightSectorBlock);
  EXPECT_EQ(a.device->Peek(8 * 1, 1)[100], 2);
  a.driver.reset();
  EXPECT_EQ(FileSystemDriver::FileSystemCache::Find(key), account);
  b.driver.reset();
  EXPECT_EQ(FileSystemDriver::FileSystemCache::Find(key), nullptr);
}

}  // namespace
