// All-or-nothing locking of the disks a portion touches.
#include <gtest/gtest.h>

#include "fake_drivers.h"
#include "fdisk/ps_manager.h"
#include "fixtures/MbrSfdisk.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;
using Fdisk::Utility::DiskLocker;
using Fdisk::Utility::ScopedDiskLock;

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeDriver::Options dynamic;
    dynamic.dynamic = true;
    dynamic.hasStore = false;
    FakeDriver::Options mbr;
    mbr.claimMbr = true;
    makers_ = std::make_unique<DriverMakersScope>(std::vector<Fdisk::PSDriverFactory::DriverMaker>{
        FakeDriverMaker{mbr, &made_, nullptr}, FakeDriverMaker{dynamic, &made_, nullptr}});
    for (int i = 0; i < 4; ++i) {
      auto disk = std::make_unique<MemoryModelDisk>(1000);
      disks_.push_back(disk.get());
      ids_.push_back(Computer().AddDisk(std::move(disk)));
    }
    auto mbrDisk = std::make_unique<DiskTest::TestDisk>(FixtureDisk(dir_, kMbrSfdisk));
    mbrDisk_ = mbrDisk.get();
    Computer().AddDisk(std::move(mbrDisk));
    Computer().GetPortionManager().Refresh(Fdisk::PSManager::kRefreshFull);
    for (const auto& entry : Computer().GetPortionManager().GetRawLayer()) {
      rawPortions_.push_back(entry.first);
    }
  }
  void TearDown() override { makers_.reset(); }

  Fdisk::Computer& Computer() { return registry_.Stage().GetComputer(computerId_); }
  std::uint32_t Stage() const { return registry_.StageId(); }

  // A dynamic volume with pieces on the given disks, in the head layer.
  std::uint32_t AddVolume(const std::vector<std::uint32_t>& diskIds) {
    Fdisk::LdmExtentMap extents;
    for (std::uint32_t i = 0; i < diskIds.size(); ++i) extents[i].diskId = diskIds[i];
    auto location = std::make_unique<Fdisk::LdmLocation>(
        extents, std::make_shared<MemoryDisk>(100), false, false);
    Fdisk::PSPortion volume(made_.at(1)->GetId(), std::move(location), false,
                            Fdisk::kAccessFull);
    Computer().GetPortionManager().GetHeadLayer().emplace(volume.GetId(), volume);
    return volume.GetId();
  }

  int LockCalls() const {
    int n = 0;
    for (auto* d : disks_) n += d->LockCalls();
    return n + mbrDisk_->LockCalls();
  }

  DiskTest::TempDir dir_;
  RegistryScope registry_;
  std::uint32_t computerId_ = registry_.Stage().CreateLocalComputer();
  std::unique_ptr<DriverMakersScope> makers_;
  std::vector<FakeDriver*> made_;
  std::vector<DiskTest::TestDisk*> disks_;
  std::vector<std::uint32_t> ids_;
  DiskTest::TestDisk* mbrDisk_ = nullptr;
  std::list<std::uint32_t> rawPortions_;
};

TEST_F(LockTest, AnMbrPartitionLocksExactlyItsDisk) {
  std::uint32_t partition = 0;
  for (const auto& entry : Computer().GetPortionManager().GetHeadLayer()) {
    if (entry.second.GetDriverId() == made_.at(0)->GetId()) partition = entry.first;
  }
  ASSERT_NE(partition, 0u);
  EXPECT_FALSE(Fdisk::Utility::LockPortion(Stage(), computerId_, partition));
  EXPECT_TRUE(mbrDisk_->IsLocked());
  EXPECT_EQ(LockCalls(), 1);
  // A second lock gets what the disk answers.
  EXPECT_EQ(Common::GetErrorCode(Fdisk::Utility::LockPortion(Stage(), computerId_, partition)),
            Common::GetErrorCode(DiskTest::TestDisk::LockError()));
  EXPECT_FALSE(Fdisk::Utility::UnlockPortion(Stage(), computerId_, partition));
  EXPECT_FALSE(mbrDisk_->IsLocked());
}

TEST_F(LockTest, AnUnknownPortionLocksNothing) {
  const Common::Error e = Fdisk::Utility::LockPortion(Stage(), computerId_, 999999);
  EXPECT_EQ(Common::GetErrorCode(e), Fdisk::kErrPartitionNotFound);
  EXPECT_EQ(LockCalls(), 0);
}

TEST_F(LockTest, RefusalRollsBackAndStops) {
  disks_[1]->FailLocks(1, Common::Error());
  DiskLocker locker(Stage(), computerId_, rawPortions_);
  ASSERT_EQ(locker.GetDiskIds().size(), 5u);
  EXPECT_EQ(Common::GetErrorCode(locker.Lock()),
            Common::GetErrorCode(DiskTest::TestDisk::LockError()));
  EXPECT_FALSE(disks_[0]->IsLocked());
  EXPECT_EQ(disks_[0]->UnlockCalls(), 1);
  EXPECT_EQ(disks_[2]->LockCalls(), 0) << "the disks after the refusal are never asked";
  EXPECT_EQ(mbrDisk_->LockCalls(), 0);

  EXPECT_FALSE(locker.Lock());
  for (auto* d : disks_) EXPECT_TRUE(d->IsLocked());
  EXPECT_FALSE(locker.Unlock());
  for (auto* d : disks_) EXPECT_FALSE(d->IsLocked());
}

// A disk that cannot be unlocked during the rollback does not keep the
// others locked; its failure is thrown.
TEST_F(LockTest, RollbackUnlocksEveryDiskEvenWhenOneRefuses) {
  const Common::Error stuck(5, 5, 0x4712);
  disks_[0]->FailUnlocks(1, stuck);
  disks_[2]->FailLocks(1, Common::Error());
  DiskLocker locker(Stage(), computerId_, rawPortions_);
  try {
    locker.Lock();
    ADD_FAILURE() << "the rollback failure is thrown";
  } catch (const Fdisk::Error& e) {
    EXPECT_EQ(Common::GetErrorCode(e), 0x4712u);
  }
  EXPECT_FALSE(disks_[1]->IsLocked());
  EXPECT_EQ(disks_[1]->UnlockCalls(), 1);
}

TEST_F(LockTest, UnlockTriesEveryDisk) {
  DiskLocker locker(Stage(), computerId_, rawPortions_);
  ASSERT_FALSE(locker.Lock());
  disks_[0]->FailUnlocks(1, Common::Error(5, 5, 0x4713));
  EXPECT_EQ(ThrownCode([&] { locker.Unlock(); }), 0x4713u);
  for (std::size_t i = 1; i < disks_.size(); ++i) EXPECT_FALSE(disks_[i]->IsLocked());
  EXPECT_FALSE(mbrDisk_->IsLocked());
}

// The locker finds disks when it locks: one that left the computer after
// the locker was made (and was deleted) is skipped, not touched.
TEST_F(LockTest, ADiskRemovedAfterTheLockerWasMadeIsSkipped) {
  DiskLocker locker(Stage(), computerId_, rawPortions_);
  Computer().RemoveDisk(ids_[1]);
  disks_.erase(disks_.begin() + 1);
  EXPECT_FALSE(locker.Lock());
  for (auto* d : disks_) EXPECT_TRUE(d->IsLocked());
  EXPECT_FALSE(locker.Unlock());
}

TEST_F(LockTest, DynamicVolumesLockTheirWholeGroup) {
  made_.at(1)->groups = {{100, {ids_[0], ids_[1], ids_[2]}}, {101, {ids_[3]}}};
  struct Case {
    const char* what;
    std::vector<int> pieces;   // indexes into ids_
    std::vector<int> locked;
  };
  const Case cases[] = {
      {"neighbours", {1, 2}, {0, 1, 2}},
      {"not neighbours", {2, 0}, {0, 1, 2}},
      {"two pieces on one disk", {1, 1}, {0, 1, 2}},
      {"other group", {3}, {3}},
      {"across groups", {2, 3}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint32_t> pieces;
    for (int i : c.pieces) pieces.push_back(ids_[i]);
    const std::uint32_t volume = AddVolume(pieces);
    DiskLocker locker(Stage(), computerId_, volume);
    std::vector<std::uint32_t> expected;
    for (int i : c.locked) expected.push_back(ids_[i]);
    EXPECT_EQ(locker.GetDiskIds(), expected) << c.what;
  }
}

// An operation that locks in its constructor and then fails must not leave
// the disks locked.
TEST_F(LockTest, ScopedLockUnlocksWhenAConstructorThrows) {
  struct Operation {
    Operation(std::uint32_t stage, std::uint32_t computer, const std::list<std::uint32_t>& p)
        : lock(std::make_unique<DiskLocker>(stage, computer, p)) {
      Fdisk::ThrowError(1, 1, 0x4714, 0);
    }
    ScopedDiskLock lock;
  };
  EXPECT_EQ(ThrownCode([&] { Operation(Stage(), computerId_, rawPortions_); }), 0x4714u);
  for (auto* d : disks_) {
    EXPECT_EQ(d->LockCalls(), 1);
    EXPECT_FALSE(d->IsLocked());
  }
}

TEST_F(LockTest, ScopedLockThatCannotLockLeavesNothingLocked) {
  disks_[3]->FailLocks(1, Common::Error());
  EXPECT_EQ(ThrownCode([&] {
              ScopedDiskLock lock(std::make_unique<DiskLocker>(Stage(), computerId_, rawPortions_));
            }),
            Common::GetErrorCode(DiskTest::TestDisk::LockError()));
  for (auto* d : disks_) EXPECT_FALSE(d->IsLocked());

  {
    ScopedDiskLock lock(std::make_unique<DiskLocker>(Stage(), computerId_, rawPortions_));
    for (auto* d : disks_) EXPECT_TRUE(d->IsLocked());
    std::unique_ptr<DiskLocker> handedOn = lock.Release();
    EXPECT_FALSE(handedOn->Unlock());
  }
  for (auto* d : disks_) EXPECT_FALSE(d->IsLocked());
}

}  // namespace
