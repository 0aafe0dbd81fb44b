// Composite volumes: mirrored reads and writes, the volume status, plex
// assembly, and the range lock that keeps overlapping requests apart.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "data/dm_test_kit.h"
#include "foundation/sync.h"
#include "test_helpers.h"

namespace {

using namespace DmTest;
namespace DM = Fdisk::DM;
namespace K = Fdisk::NamedVars::Keys;
using Fdisk::kIoRead;
using Fdisk::kIoWrite;

// Two simple plexes, each one column on its own disk (disks 1 and 2).
struct Mirror {
  Mirror() {
    first = v.AddPlex(DM::kPlexSimple);
    v.AddExtent(first, 0, v.AddDisk(64), 0, 64);
    second = v.AddPlex(DM::kPlexSimple);
    v.AddExtent(second, 0, v.AddDisk(64), 0, 64);
  }
  Volume v;
  std::uint32_t first;
  std::uint32_t second;
};

TEST(Mirror, WritesGoToEveryPlexAndReadsToTheFirst) {
  Mirror m;
  EXPECT_LT(m.first, m.second) << "plexes are kept in the order they were added";
  const std::vector<std::uint8_t> data = Pattern(5, 7);
  ASSERT_FALSE(m.v.Write(10, data));
  EXPECT_EQ(0, std::memcmp(m.v.Disk(1).SectorAt(10), data.data(), data.size()));
  EXPECT_EQ(0, std::memcmp(m.v.Disk(2).SectorAt(10), data.data(), data.size()));
  m.v.Disk(1).ClearLog();
  m.v.Disk(2).ClearLog();
  std::vector<std::uint8_t> out;
  ASSERT_FALSE(m.v.Read(10, out, 5));
  EXPECT_TRUE(out == data);
  EXPECT_EQ(m.v.Disk(1).Log().size(), 1u);
  EXPECT_TRUE(m.v.Disk(2).Log().empty());
}

TEST(Mirror, ReadFallsBackToTheNextPlex) {
  Mirror m;
  const std::vector<std::uint8_t> second = Pattern(64, 500);
  std::memcpy(m.v.Disk(2).Bytes(), second.data(), second.size());
  m.v.Disk(1).Fail(kIoRead, 3, 1);
  std::vector<std::uint8_t> out;
  ASSERT_FALSE(m.v.Read(2, out, 4));
  EXPECT_EQ(0, std::memcmp(out.data(), second.data() + 2 * kSector, out.size()));
  EXPECT_EQ(m.v.Io().Status(), DM::kVolumeHealthy);

  m.v.Disk(2).Fail(kIoRead, 40, 1);
  EXPECT_EQ(Code(m.v.Read(40, out, 1)), DM::kErrNoHealthyPlex);
  EXPECT_EQ(m.v.Io().Status(), DM::kVolumeFailed);
}

TEST(Mirror, PartialWriteFailureDegradesTotalFails) {
  Mirror m;
  m.v.Disk(2).Fail(kIoWrite, 20, 1);
  EXPECT_FALSE(m.v.Write(18, Pattern(4, 1))) << "one plex took the data";
  EXPECT_EQ(m.v.Io().Status(), DM::kVolumeDegraded);
  // The volume still reads what the good plex holds.
  std::vector<std::uint8_t> out;
  ASSERT_FALSE(m.v.Read(18, out, 4));
  EXPECT_TRUE(out == Pattern(4, 1));

  m.v.Disk(1).Fail(kIoWrite, 50, 1);
  EXPECT_EQ(Code(m.v.Write(50, Pattern(1, 2))), DM::kErrNoHealthyPlex);
  EXPECT_EQ(m.v.Io().Status(), DM::kVolumeFailed);
}

TEST(Volume, OtherOpsTransferNothing) {
  Mirror m;
  std::vector<std::uint8_t> buffer(kSector, 0xAB);
  EXPECT_FALSE(m.v.Io().Io(1, 0, buffer.data(), 1));
  EXPECT_FALSE(m.v.Io().Io(Fdisk::kIoInvalidate, 0, buffer.data(), 1));
  EXPECT_TRUE(m.v.Disk(1).Log().empty());
  EXPECT_TRUE(m.v.Disk(2).Log().empty());
  EXPECT_TRUE(m.v.Io().Lock().Held().empty());
}

TEST(Volume, StatusStartsFromItsVariable) {
  Fdisk::NamedVars::VarContainer vars;
  vars.Set(K::VolumeStatus, DM::kVolumeDegraded);
  Volume v(vars);
  EXPECT_EQ(v.Io().Status(), DM::kVolumeDegraded);
  EXPECT_EQ(Volume().Io().Status(), DM::kVolumeHealthy);
}

TEST(Volume, NoPlexOrNoUsablePlexReadsNothing) {
  Volume empty;
  std::vector<std::uint8_t> out;
  EXPECT_EQ(Code(empty.Read(0, out, 1)), DM::kErrNoHealthyPlex);
  EXPECT_EQ(Code(empty.Write(0, Pattern(1, 0))), DM::kErrNoHealthyPlex);

  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::PlexType(7));
  v.AddExtent(plex, 0, v.AddDisk(8), 0, 8);
  EXPECT_EQ(v.Simple(plex).GetPlexIO(), nullptr);
  EXPECT_EQ(Code(v.Read(0, out, 1)), DM::kErrNoHealthyPlex);
  EXPECT_TRUE(v.Disk(1).Log().empty());
}

TEST(Plex, ExtentsSortByColumnInInsertionOrder) {
  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::kPlexStriped, 8);
  v.AddExtent(plex, 1, v.AddDisk(8), 100, 1);
  v.AddExtent(plex, 0, v.AddDisk(8), 200, 1);
  v.AddExtent(plex, 1, v.AddDisk(8), 300, 1);
  v.AddExtent(plex, 0, v.AddDisk(8), 400, 1);
  const DM::ExtentVector& e = v.Simple(plex).Extents();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].start, 200u);
  EXPECT_EQ(e[1].start, 400u);
  EXPECT_EQ(e[2].start, 100u);
  EXPECT_EQ(e[3].start, 300u);
  EXPECT_EQ(v.Simple(plex).Columns().size(), 2u);
}

TEST(Plex, AddColumnKeepsTheFirstOfAKey) {
  Volume v;
  const std::uint32_t plex = v.AddPlex(DM::kPlexSimple);
  v.AddExtent(plex, 0, v.AddDisk(8), 0, 8);
  const DM::SubIO* before = v.Simple(plex).Columns().at(0).get();
  v.Simple(plex).AddColumn(0, std::make_unique<DM::SubDiskUnion>(nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(v.Simple(plex).Columns().at(0).get(), before);
}

TEST(Plextor, LookupsAndRequiredType) {
  Volume v;
  EXPECT_EQ(DiskModelTest::ThrownCode([&] { v.Plextor().FindPlex(12345); }),
            DM::kErrInvalidPlexId);
  try {
    v.Plextor().FindPlex(12345);
  } catch (const DM::Error&) {
    SUCCEED();
  }
  Fdisk::NamedVars::VarContainer noType;
  EXPECT_EQ(DiskModelTest::ThrownCode([&] { v.Plextor().AddPlex(noType, &v.Map()); }),
            Fdisk::kErrVariableNotFound);
  EXPECT_TRUE(v.Plextor().Plexes().empty());
}

// ---------------------------------------------------------------------------
// Range lock

TEST(RegionLock, GrantsAGapAtOnceAndReleasesByStart) {
  DM::RegionLock lock;
  lock.Lock(50, 10);
  lock.Lock(200, 10);
  lock.Lock(100, 10);
  std::vector<DM::RegionLock::Range> held = lock.Held();
  ASSERT_EQ(held.size(), 3u);
  EXPECT_EQ(held[0].first, 50u);
  EXPECT_EQ(held[1].first, 100u);
  EXPECT_EQ(held[2].first, 200u);
  lock.Unlock(100);
  held = lock.Held();
  ASSERT_EQ(held.size(), 2u);
  EXPECT_EQ(held[0].first, 50u);
  EXPECT_EQ(held[1].first, 200u);
  // Adjacent ranges do not overlap; ranges at the top of the sector space
  // do not wrap.
  lock.Lock(60, 40);
  lock.Lock(~std::uint64_t(0) - 1, 10);
  lock.Lock(0, 0);
  EXPECT_EQ(lock.Held().size(), 5u);
}

// Waits (yielding) until `lock` has `n` callers waiting, or until `done`
// shows that a caller that should have waited got through.
void AwaitWaiters(DM::RegionLock& lock, std::uint32_t n, const std::atomic<bool>& done) {
  while (lock.Waiting() < n && !done.load()) std::this_thread::yield();
}

TEST(RegionLock, OverlapWaitsDisjointDoesNot) {
  DM::RegionLock lock;
  lock.Lock(0, 8);
  // Disjoint: granted while (0, 8) is held; a blocked Lock would hang here.
  std::thread([&] {
    lock.Lock(8, 8);
    lock.Unlock(8);
  }).join();

  std::atomic<bool> entered{false};
  std::thread overlapping([&] {
    lock.Lock(4, 8);
    entered = true;
    lock.Unlock(4);
  });
  AwaitWaiters(lock, 1, entered);
  EXPECT_FALSE(entered.load());
  lock.Unlock(0);
  overlapping.join();
  EXPECT_TRUE(entered.load());
  EXPECT_TRUE(lock.Held().empty());
}

// Several waiters on one held range all get through once it is released,
// each in turn.
TEST(RegionLock, EveryWaiterWakes) {
  DM::RegionLock lock;
  lock.Lock(0, 100);
  std::atomic<int> done{0};
  std::atomic<bool> any{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      lock.Lock(std::uint64_t(i) * 10, 30);
      ++done;
      any = true;
      lock.Unlock(std::uint64_t(i) * 10);
    });
  }
  AwaitWaiters(lock, 4, any);
  EXPECT_EQ(done.load(), 0);
  lock.Unlock(0);
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(done.load(), 4);
}

// A member disk that holds a request touching `gate` until released.
class GateDisk : public Fdisk::SimpleDisk {
 public:
  GateDisk(MemberDisk& inner, std::uint64_t gate)
      : inner_(inner), gate_(gate), entered_(true, false), release_(true, false) {
    sectorSize_ = kSector;
    lastSector_ = inner.GetSectorCount();
  }
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    if (sector <= gate_ && gate_ < sector + count) {
      entered_.Set();
      release_.Wait();
    }
    return inner_.Io(op, sector, buffer, count);
  }
  void AwaitEntered() { entered_.Wait(); }
  void Release() { release_.Set(); }

 private:
  MemberDisk& inner_;
  std::uint64_t gate_;
  Common::EventObject entered_;
  Common::EventObject release_;
};

TEST(RegionLock, VolumeRequestsOverlapInTurnAndDisjointTogether) {
  Volume v;
  const std::uint32_t backing = v.AddDisk(64);
  GateDisk gate(v.Disk(backing), 0);
  v.Map()[50] = &gate;
  const std::uint32_t plex = v.AddPlex(DM::kPlexSimple);
  v.AddExtent(plex, 0, 50, 0, 64);

  std::thread held([&] { EXPECT_FALSE(v.Write(0, Pattern(8, 1))); });
  gate.AwaitEntered();  // (0, 8) is inside the volume now

  EXPECT_FALSE(v.Write(8, Pattern(8, 2))) << "disjoint: runs beside it";

  std::atomic<bool> overlapDone{false};
  std::thread overlapping([&] {
    EXPECT_FALSE(v.Write(4, Pattern(8, 3)));
    overlapDone = true;
  });
  AwaitWaiters(v.Io().Lock(), 1, overlapDone);
  EXPECT_FALSE(overlapDone.load());
  gate.Release();
  held.join();
  overlapping.join();
  // The overlapping write came second: its data is on the disk.
  std::vector<std::uint8_t> out;
  ASSERT_FALSE(v.Read(0, out, 16));
  const std::vector<std::uint8_t> first = Pattern(8, 1);
  const std::vector<std::uint8_t> third = Pattern(8, 3);
  EXPECT_EQ(0, std::memcmp(out.data(), first.data(), 4 * kSector));
  EXPECT_EQ(0, std::memcmp(out.data() + 4 * kSector, third.data(), 8 * kSector));
  v.Map().erase(50);
}

}  // namespace
