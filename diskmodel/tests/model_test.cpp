// Stage registry, stages, computers and disks, and who deletes which disk.
#include <gtest/gtest.h>

#include "fake_drivers.h"
#include "fdisk/ps_manager.h"
#include "fdisk/real_stage.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;
namespace K = Fdisk::NamedVars::Keys;

TEST(StageRegistry, LivesFromFirstAcquireToLastRelease) {
  ASSERT_EQ(Fdisk::StageRegistry::Instance(), nullptr);
  const std::uint32_t first = Fdisk::StageRegistry::Acquire();
  EXPECT_EQ(Fdisk::StageRegistry::Acquire(), first);
  EXPECT_EQ(Fdisk::StageRegistry::GetRealStageId(), first);
  EXPECT_EQ(Fdisk::StageRegistry::Release(), 1);
  ASSERT_NE(Fdisk::StageRegistry::Instance(), nullptr);
  EXPECT_NE(dynamic_cast<Fdisk::RealStage*>(&Fdisk::StageRegistry::GetStage(first)), nullptr);
  EXPECT_EQ(Fdisk::StageRegistry::Release(), 0);
  EXPECT_EQ(Fdisk::StageRegistry::Instance(), nullptr);
  EXPECT_EQ(ThrownCode([&] { Fdisk::StageRegistry::GetStage(first); }),
            Fdisk::kErrStageNotFound);

  const std::uint32_t second = Fdisk::StageRegistry::Acquire();
  EXPECT_GT(second, first);
  EXPECT_EQ(ThrownCode([&] { Fdisk::StageRegistry::GetStage(second + 1000); }),
            Fdisk::kErrStageNotFound);
  Fdisk::StageRegistry::Release();
}

TEST(StageRegistry, ReleaseDestroysEverythingBelow) {
  int destroyed = 0;
  {
    RegistryScope registry;
    Fdisk::Computer& computer =
        registry.Stage().GetComputer(registry.Stage().CreateLocalComputer());
    for (int i = 0; i < 3; ++i) {
      auto disk = std::make_unique<MemoryModelDisk>(100);
      disk->OnDestroy([&] { ++destroyed; });
      computer.AddDisk(std::move(disk));
    }
  }
  EXPECT_EQ(destroyed, 3);
}

TEST(Stage, ComputersByIdAndIdsIncrease) {
  RegistryScope registry;
  Fdisk::Stage& stage = registry.Stage();
  const std::uint32_t id = stage.CreateLocalComputer();
  EXPECT_EQ(stage.GetLocalComputerId(), id);
  Fdisk::Computer& computer = stage.GetComputer(id);
  EXPECT_GT(id, stage.GetId());
  EXPECT_GT(computer.GetDriverFactory().GetRawDriver().GetId(), id);
  EXPECT_EQ(computer.GetStageId(), stage.GetId());
  EXPECT_EQ(computer.GetProperties().Get(K::StageID), stage.GetId());
  EXPECT_EQ(&Fdisk::FindComputer(stage.GetId(), id), &computer);

  bool caughtAsStageError = false;
  try {
    stage.GetComputer(id + 1000);
  } catch (const Fdisk::Stage::Error& e) {
    caughtAsStageError = Common::GetErrorCode(e) == Fdisk::kErrComputerNotFound;
  }
  EXPECT_TRUE(caughtAsStageError);

  stage.DeleteComputer(id + 1000);  // ignored
  stage.DeleteComputer(id);
  EXPECT_EQ(ThrownCode([&] { stage.GetComputer(id); }), Fdisk::kErrComputerNotFound);
}

TEST(Stage, LocalComputerComesFromTheInstalledFactory) {
  static int made = 0;
  Fdisk::Stage::SetLocalComputerFactory([](std::uint32_t stageId) {
    ++made;
    return std::make_unique<Fdisk::Computer>(stageId);
  });
  {
    RegistryScope registry;
    registry.Stage().CreateLocalComputer();
  }
  Fdisk::Stage::SetLocalComputerFactory(nullptr);
  EXPECT_EQ(made, 1);
}

TEST(RealStage, UnsupportedOperations) {
  Fdisk::RealStage stage;
  Fdisk::NamedVars::VarContainer params;
  EXPECT_EQ(Common::GetErrorCode(stage.Reserved1(params)), Fdisk::kErrNotImplemented);
  EXPECT_EQ(Common::GetErrorCode(stage.Reserved5(params)), Fdisk::kErrNotImplemented);
  EXPECT_EQ(Common::GetErrorCode(stage.Reserved6(params)), Fdisk::kErrNotImplemented);
}

TEST(Disk, StartsWithEmptyProperties) {
  auto disk = std::make_unique<MemoryModelDisk>(10);
  Fdisk::Disk& plain = *disk;
  // TestDisk fills these two from its device; the rest keep the defaults.
  EXPECT_EQ(plain.GetProperties().Get(K::SectorSize), 512u);
  EXPECT_EQ(plain.GetProperties().Get(K::Model), "");
  EXPECT_EQ(plain.GetProperties().Get(K::BIOS_NUMBER), 0);
  EXPECT_EQ(plain.GetProperties().Get(K::HDInterfaceType), Fdisk::kHDInterfaceUnknown);
  EXPECT_EQ(plain.GetProperties().Get(K::HWSerialNumber), u"");
  EXPECT_EQ(plain.GetProperties().Size(), 12u);
  EXPECT_EQ(ThrownCode([&] { plain.GetProperties().Get<unsigned long>(K::SectorSize); }),
            Fdisk::NamedVars::kBadVarCastCode);
  EXPECT_FALSE(plain.Invalidate());
}

class ComputerTest : public ::testing::Test {
 protected:
  Fdisk::Computer& Computer() {
    return registry_.Stage().GetComputer(computerId_);
  }
  std::uint32_t StageId() const { return registry_.StageId(); }
  std::uint32_t ComputerId() const { return computerId_; }

  RegistryScope registry_;
  std::uint32_t computerId_ = registry_.Stage().CreateLocalComputer();
};

TEST_F(ComputerTest, AddDiskReplacesAnOwnedDiskOfTheSameId) {
  int destroyed = 0;
  auto first = std::make_unique<MemoryModelDisk>(10);
  first->OnDestroy([&] { ++destroyed; });
  const std::uint32_t id = Computer().AddDisk(std::move(first));
  const std::uint32_t other = Computer().AddDisk(std::make_unique<MemoryModelDisk>(10));
  auto second = std::make_unique<DiskTest::TestDisk>(std::make_unique<MemoryDisk>(20), id);
  Fdisk::Disk* secondRaw = second.get();
  EXPECT_EQ(Computer().AddDisk(std::move(second)), id);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(&Computer().FindDisk(id), secondRaw);
  EXPECT_EQ(Computer().GetDiskOrder(), (std::list<std::uint32_t>{other, id}));
  EXPECT_EQ(Computer().GetDisks().size(), 2u);

  Computer().RemoveDisk(id);
  EXPECT_EQ(Computer().GetDiskOrder(), (std::list<std::uint32_t>{other}));
  EXPECT_EQ(ThrownCode([&] { Computer().FindDisk(id); }), Fdisk::kErrDiskNotFound);
  Computer().RemoveDisk(id);  // absent: nothing
}

TEST_F(ComputerTest, VolumesById) {
  struct Volume : Fdisk::IdObject {
    explicit Volume(int* destroyed) : destroyed_(destroyed) {}
    ~Volume() override { ++*destroyed_; }
    int* destroyed_;
  };
  int destroyed = 0;
  const std::uint32_t id = Computer().AddVolume(std::make_unique<Volume>(&destroyed));
  Computer().AddVolume(std::make_unique<Volume>(&destroyed));
  EXPECT_EQ(Computer().FindVolume(id).GetId(), id);
  EXPECT_EQ(&Fdisk::FindVolume(StageId(), ComputerId(), id), &Computer().FindVolume(id));
  Computer().DeleteVolume(id);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(ThrownCode([&] { Computer().FindVolume(id); }), Fdisk::kErrVolumeNotFound);
  Computer().ClearVolumes();
  EXPECT_EQ(destroyed, 2);
}

// A scheme driver's disks are entered into the computer but stay the
// driver's: replacing or removing them through the computer must not delete
// them, and the driver deletes them exactly once.
TEST_F(ComputerTest, MergedDisksAreDeletedOnlyByTheirDriver) {
  int presentedDestroyed = 0;
  std::vector<FakeDriver*> made;
  FakeDriver::Options options;
  options.presentedDisks = 2;
  options.hasStore = false;  // kept by the purge
  DriverMakersScope makers({FakeDriverMaker{options, &made, [&](FakeDriver& d) {
                              d.onPresentedDestroy = [&] { ++presentedDestroyed; };
                            }}});
  Computer().AddDisk(std::make_unique<MemoryModelDisk>(100));
  Computer().GetPortionManager().Refresh(Fdisk::PSManager::kRefreshFull);
  ASSERT_EQ(made.size(), 1u);
  const std::uint32_t replaced = made[0]->presented[0];
  const std::uint32_t removed = made[0]->presented[1];
  ASSERT_EQ(Computer().GetDisks().count(replaced), 1u);
  EXPECT_FALSE(Computer().OwnsDisk(replaced));

  int replacementDestroyed = 0;
  auto replacement =
      std::make_unique<DiskTest::TestDisk>(std::make_unique<MemoryDisk>(10), replaced);
  replacement->OnDestroy([&] { ++replacementDestroyed; });
  Computer().AddDisk(std::move(replacement));
  EXPECT_TRUE(Computer().OwnsDisk(replaced));
  Computer().RemoveDisk(removed);
  EXPECT_EQ(Computer().GetDisks().count(removed), 0u);
  EXPECT_EQ(presentedDestroyed, 0);

  Computer().RemoveDisk(replaced);
  EXPECT_EQ(replacementDestroyed, 1);
  EXPECT_EQ(presentedDestroyed, 0);

  // Destroying the computer deletes the driver, which deletes its disks.
  registry_.Stage().DeleteComputer(ComputerId());
  EXPECT_EQ(presentedDestroyed, 2);
  EXPECT_EQ(replacementDestroyed, 1);
}

TEST_F(ComputerTest, ClearDisksDeletesOwnedDisksInOrderAndForgetsMerged) {
  std::vector<int> order;
  std::vector<std::uint32_t> ids;
  for (int i = 0; i < 3; ++i) {
    auto disk = std::make_unique<MemoryModelDisk>(10);
    disk->OnDestroy([&order, i] { order.push_back(i); });
    ids.push_back(Computer().AddDisk(std::move(disk)));
  }
  DiskTest::TestDisk foreign(std::make_unique<MemoryDisk>(10));
  Computer().MergeDisks({{foreign.GetId(), &foreign}, {ids[0], &foreign}});
  EXPECT_EQ(&Computer().FindDisk(foreign.GetId()), &foreign);
  EXPECT_NE(&Computer().FindDisk(ids[0]), &foreign) << "merging never replaces";
  Computer().ClearDisks();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(Computer().GetDisks().empty());
  EXPECT_TRUE(Computer().GetDiskOrder().empty());
}

}  // namespace
