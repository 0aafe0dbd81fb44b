// The portion manager: layers, refreshes, routing, and merged disks.
#include <gtest/gtest.h>

#include "fake_drivers.h"
#include "fdisk/ps_manager.h"
#include "fixtures/MbrSfdisk.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;
namespace K = Fdisk::NamedVars::Keys;
using Fdisk::PSManager;

class ManagerTest : public ::testing::Test {
 protected:
  Fdisk::Computer& Computer() { return registry_.Stage().GetComputer(computerId_); }
  PSManager& Manager() { return Computer().GetPortionManager(); }
  Fdisk::PSDriverFactory& Factory() { return Computer().GetDriverFactory(); }

  // An MBR disk made by sfdisk and a blank one.
  void AddMbrAndBlankDisks() {
    mbrDisk_ = Computer().AddDisk(
        std::make_unique<DiskTest::TestDisk>(FixtureDisk(dir_, kMbrSfdisk)));
    blankDisk_ = Computer().AddDisk(std::make_unique<MemoryModelDisk>(4096));
  }

  // The disk a raw portion stands for.
  static std::uint32_t RawDiskOf(const Fdisk::PSPortion& portion) {
    Fdisk::GetRawLocationVisitor visitor;
    portion.GetLocation().Accept(visitor);
    return visitor.found ? visitor.diskId : 0;
  }

  DiskTest::TempDir dir_;
  RegistryScope registry_;
  std::uint32_t computerId_ = registry_.Stage().CreateLocalComputer();
  std::uint32_t mbrDisk_ = 0;
  std::uint32_t blankDisk_ = 0;
};

TEST_F(ManagerTest, NoLayersBeforeTheFirstRefreshAndAfterClear) {
  EXPECT_EQ(ThrownCode([&] { Manager().GetHeadLayer(); }), Fdisk::kErrLayerNotFound);
  EXPECT_EQ(ThrownCode([&] { Manager().GetRawLayer(); }), Fdisk::kErrLayerNotFound);
  AddMbrAndBlankDisks();
  Manager().Refresh(PSManager::kRefreshFull);
  EXPECT_NO_THROW(Manager().GetHeadLayer());
  Manager().Clear();
  EXPECT_EQ(ThrownCode([&] { Manager().GetHeadLayer(); }), Fdisk::kErrLayerNotFound);
  EXPECT_EQ(ThrownCode([&] { Manager().GetRawLayer(); }), Fdisk::kErrLayerNotFound);
  EXPECT_TRUE(Manager().GetDriverIds().empty());
  EXPECT_TRUE(Manager().GetLayers().empty());
}

TEST_F(ManagerTest, RefreshModes) {
  AddMbrAndBlankDisks();
  Manager().Refresh(PSManager::kRefreshFull);
  const std::uint32_t rawId = Factory().GetRawDriver().GetId();
  Manager().Refresh(PSManager::kRefreshNone);
  EXPECT_EQ(Factory().GetRawDriver().GetId(), rawId);
  EXPECT_EQ(Manager().GetRawLayer().size(), 2u);
  EXPECT_EQ(ThrownCode([&] { Manager().Refresh(3); }), Fdisk::kErrInvalidParameter);
}

// With only the raw driver, both disks are raw portions, and that layer is
// also what the computer's disks look like.
TEST_F(ManagerTest, RawLayerOfAnMbrDiskAndABlankOne) {
  // No scheme driver: the raw layer is the head layer.
  DriverMakersScope makers({});
  AddMbrAndBlankDisks();
  Manager().Refresh(PSManager::kRefreshFull);
  Fdisk::Layer& raw = Manager().GetRawLayer();
  ASSERT_EQ(raw.size(), 2u);
  std::vector<std::uint32_t> disks;
  for (const auto& entry : raw) {
    EXPECT_EQ(entry.second.GetDriverId(), Factory().GetRawDriver().GetId());
    disks.push_back(RawDiskOf(entry.second));
  }
  EXPECT_EQ(disks, (std::vector<std::uint32_t>{mbrDisk_, blankDisk_}));
  EXPECT_EQ(&Manager().GetHeadLayer(), &raw);
  EXPECT_TRUE(Manager().GetDriverIds().empty());
  // The portion's view reads the disk.
  std::uint8_t sector[512];
  ASSERT_FALSE(raw.begin()->second.GetView().Io(Fdisk::kIoRead, 0, sector, 1));
  EXPECT_EQ(sector[510], 0x55);
}

// The stacking with three scheme drivers: the first claims MBR disks, the
// other two find nothing and are purged, but their layers stay.
TEST_F(ManagerTest, LayersOfStackedDrivers) {
  std::vector<FakeDriver*> made;
  std::vector<std::uint32_t> ids;
  FakeDriver::Options mbr;
  mbr.claimMbr = true;
  FakeDriver::Options nothing;
  FakeDriver::Options dynamic;
  dynamic.dynamic = true;
  DriverMakersScope makers({FakeDriverMaker{mbr, &made, nullptr, &ids},
                            FakeDriverMaker{nothing, nullptr, nullptr, &ids},
                            FakeDriverMaker{dynamic, nullptr, nullptr, &ids}});
  AddMbrAndBlankDisks();
  Manager().Refresh(PSManager::kRefreshFull);

  ASSERT_EQ(ids.size(), 3u);
  const std::uint32_t mbrId = ids[0];
  const std::uint32_t dynamicId = ids[2];
  EXPECT_LT(mbrId, ids[1]);
  EXPECT_LT(ids[1], dynamicId);
  EXPECT_EQ(Manager().GetDriverIds(), (std::list<std::uint32_t>{mbrId}));
  EXPECT_EQ(Manager().GetLayers().size(), 4u);
  EXPECT_TRUE(Factory().HasDriver(mbrId));
  EXPECT_FALSE(Factory().HasDriver(dynamicId));

  // Head: the dynamic driver's (purged) layer, with the three partitions of
  // the MBR disk and the blank disk's raw portion.
  Fdisk::Layer& head = Manager().GetHeadLayer();
  EXPECT_EQ(&head, Manager().GetLayer(dynamicId));
  int partitions = 0;
  int rawPortions = 0;
  for (const auto& entry : head) {
    if (entry.second.GetDriverId() == mbrId) {
      ++partitions;
    } else {
      EXPECT_EQ(entry.second.GetDriverId(), Factory().GetRawDriver().GetId());
      EXPECT_EQ(RawDiskOf(entry.second), blankDisk_);
      ++rawPortions;
    }
  }
  EXPECT_EQ(partitions, 3);
  EXPECT_EQ(rawPortions, 1);
  // Every driver saw the raw layer and the head below it.
  EXPECT_EQ(made[0]->processCalls, 1);
  for (const auto& p : Factory().GetDrivers()) {
    EXPECT_EQ(p.second->GetProperties().Get(K::StageID), registry_.StageId());
    EXPECT_EQ(p.second->GetProperties().Get(K::ComputerID), computerId_);
  }
}

TEST_F(ManagerTest, FailingDriverDoesNotStopTheRefresh) {
  std::vector<FakeDriver*> made;
  FakeDriver::Options mbr;
  mbr.claimMbr = true;
  DriverMakersScope makers({FakeDriverMaker{mbr, &made, [](FakeDriver& d) {
                              d.processResult = Fdisk::Error(1, 1, 0x4711);
                            }}});
  AddMbrAndBlankDisks();
  EXPECT_NO_THROW(Manager().Refresh(PSManager::kRefreshFull));
  EXPECT_EQ(Manager().GetHeadLayer().size(), 4u);
}

TEST_F(ManagerTest, ResetGivesANewRawDriver) {
  AddMbrAndBlankDisks();
  Manager().Refresh(PSManager::kRefreshFull);
  const std::uint32_t oldRaw = Factory().GetRawDriver().GetId();
  EXPECT_EQ(&Factory().GetDriver(oldRaw), &Factory().GetRawDriver());
  EXPECT_EQ(ThrownCode([&] { Factory().GetDriver(oldRaw + 1000); }), Fdisk::kErrDriverNotFound);
  Manager().Refresh(PSManager::kRefreshFull);
  EXPECT_NE(Factory().GetRawDriver().GetId(), oldRaw);
  EXPECT_EQ(Manager().GetLayer(oldRaw), nullptr);
  EXPECT_EQ(ThrownCode([&] { Factory().GetDriver(oldRaw); }), Fdisk::kErrDriverNotFound);
}

TEST_F(ManagerTest, RebuildRestacksTheCurrentDrivers) {
  EXPECT_EQ(ThrownCode([&] { Manager().Refresh(PSManager::kRefreshRebuild); }),
            Fdisk::kErrDriverNotFound);
  std::vector<FakeDriver*> made;
  FakeDriver::Options mbr;
  mbr.claimMbr = true;
  DriverMakersScope makers({FakeDriverMaker{mbr, &made, nullptr}});
  AddMbrAndBlankDisks();
  Manager().Refresh(PSManager::kRefreshFull);
  const Fdisk::Layer before = Manager().GetHeadLayer();
  const std::uint32_t rawId = Factory().GetRawDriver().GetId();

  Manager().Refresh(PSManager::kRefreshRebuild);
  ASSERT_EQ(made.size(), 1u) << "no driver is re-created";
  EXPECT_EQ(made[0]->refreshCalls, 1);
  EXPECT_EQ(Factory().GetRawDriver().GetId(), rawId);
  EXPECT_EQ(Manager().GetDriverIds(), (std::list<std::uint32_t>{made[0]->GetId()}));
  const Fdisk::Layer& after = Manager().GetHeadLayer();
  ASSERT_EQ(after.size(), before.size());
  for (const auto& entry : before) EXPECT_EQ(after.count(entry.first), 1u);
}

TEST_F(ManagerTest, FindPortionInLayersTakesTheLowestDriverId) {
  std::vector<FakeDriver*> made;
  FakeDriver::Options passThrough;
  passThrough.hasStore = false;
  DriverMakersScope makers({FakeDriverMaker{passThrough, &made, nullptr}});
  AddMbrAndBlankDisks();
  Manager().Refresh(PSManager::kRefreshFull);
  // Both layers hold the raw portions under the same ids.
  const std::uint32_t id = Manager().GetRawLayer().begin()->first;
  ASSERT_EQ(Manager().GetHeadLayer().count(id), 1u);
  EXPECT_EQ(&Manager().FindPortionInLayers(id), &Manager().GetRawLayer().at(id));
  EXPECT_EQ(ThrownCode([&] { Manager().FindPortionInLayers(id + 100000); }),
            Fdisk::kErrPartitionNotFound);
  EXPECT_EQ(&Fdisk::FindPortion(registry_.StageId(), computerId_, id),
            &Manager().GetHeadLayer().at(id));
}

// Requests go to the driver that owns the portion; its failures come back
// as 0x100401 with the driver's error as cause.
class RoutingTest : public ManagerTest {
 protected:
  void SetUp() override {
    makers_ = std::make_unique<DriverMakersScope>(std::vector<Fdisk::PSDriverFactory::DriverMaker>{
        FakeDriverMaker{mbrOptions(), &made_, nullptr}});
    AddMbrAndBlankDisks();
    Manager().Refresh(PSManager::kRefreshFull);
    driver_ = made_.at(0);
    for (const auto& entry : Manager().GetHeadLayer()) {
      if (entry.second.GetDriverId() == driver_->GetId()) partition_ = entry.first;
    }
    params_.Set(K::PortionID, static_cast<unsigned long>(partition_));
  }
  void TearDown() override { makers_.reset(); }

  static FakeDriver::Options mbrOptions() {
    FakeDriver::Options o;
    o.claimMbr = true;
    return o;
  }

  std::unique_ptr<DriverMakersScope> makers_;
  std::vector<FakeDriver*> made_;
  FakeDriver* driver_ = nullptr;
  std::uint32_t partition_ = 0;
  Fdisk::NamedVars::VarContainer params_;
};

TEST_F(RoutingTest, CreateCommitsOnSuccess) {
  const auto created = Manager().CreatePortion(params_);
  EXPECT_FALSE(created.first);
  EXPECT_EQ(created.second, 4242u);
  EXPECT_EQ(driver_->commitCalls, 1);
}

TEST_F(RoutingTest, DriverFailuresBecomeNotImplementedWithTheirCause) {
  struct Case {
    const char* what;
    std::function<void(FakeDriver&)> arrange;
    std::function<Common::Error(PSManager&, const Fdisk::NamedVars::VarContainer&)> call;
    int commits;
  };
  const Common::Error cause(9, 9, 0x4711);
  const Case cases[] = {
      {"create fails", [&](FakeDriver& d) { d.createResult = cause; },
       [](PSManager& m, const auto& p) { return m.CreatePortion(p).first; }, 0},
      {"create commit fails", [&](FakeDriver& d) { d.commitResult = cause; },
       [](PSManager& m, const auto& p) { return m.CreatePortion(p).first; }, 1},
      {"delete fails", [&](FakeDriver& d) { d.deleteResult = cause; },
       [](PSManager& m, const auto& p) { return m.DeletePortion(p); }, 0},
      {"change fails", [&](FakeDriver& d) { d.changeResult = cause; },
       [](PSManager& m, const auto& p) { return m.ChangePortion(p); }, 0},
      {"change throws Fdisk::Error",
       [&](FakeDriver& d) { d.changeThrow = [&] { throw Fdisk::Error(cause); }; },
       [](PSManager& m, const auto& p) { return m.ChangePortion(p); }, 0},
  };
  for (const Case& c : cases) {
    driver_->createResult = driver_->deleteResult = driver_->changeResult = Common::Error();
    driver_->commitResult = Common::Error();
    driver_->changeThrow = nullptr;
    driver_->commitCalls = 0;
    c.arrange(*driver_);
    const Common::Error result = c.call(Manager(), params_);
    EXPECT_EQ(Common::GetErrorCode(result), Fdisk::kErrNotImplemented) << c.what;
    EXPECT_EQ(Common::GetErrorCode(Common::GetErrorCause(result)), 0x4711u) << c.what;
    EXPECT_EQ(driver_->commitCalls, c.commits) << c.what;
  }
}

TEST_F(RoutingTest, ChangeLetsOtherErrorsPass) {
  driver_->changeThrow = [] { throw Common::Error(9, 9, 0x4711); };
  EXPECT_THROW(Manager().ChangePortion(params_), Common::Error);
}

TEST_F(RoutingTest, LookupFailuresAreThrown) {
  Fdisk::NamedVars::VarContainer none;
  EXPECT_EQ(ThrownCode([&] { Manager().CreatePortion(none); }), Fdisk::kErrVariableNotFound);
  Fdisk::NamedVars::VarContainer absent;
  absent.Set(K::PortionID, 999999ul);
  EXPECT_EQ(ThrownCode([&] { Manager().DeletePortion(absent); }), Fdisk::kErrPartitionNotFound);
  EXPECT_EQ(driver_->deleteCalls, 0);
}

// The raw driver owns the blank disk's portion and refuses to delete it.
TEST_F(RoutingTest, RawPortionsCannotBeDeleted) {
  Fdisk::NamedVars::VarContainer params;
  for (const auto& entry : Manager().GetHeadLayer()) {
    if (RawDiskOf(entry.second) == blankDisk_) {
      params.Set(K::PortionID, static_cast<unsigned long>(entry.first));
    }
  }
  const Common::Error result = Manager().DeletePortion(params);
  EXPECT_EQ(Common::GetErrorCode(result), Fdisk::kErrNotImplemented);
  EXPECT_EQ(Common::GetErrorCode(Common::GetErrorCause(result)), Fdisk::kErrNotImplemented);
}

TEST_F(ManagerTest, DeleteRefusesAFreePortionBeforeAnyDriver) {
  std::vector<FakeDriver*> made;
  FakeDriver::Options kept;
  kept.hasStore = false;
  DriverMakersScope makers({FakeDriverMaker{kept, &made, nullptr}});
  AddMbrAndBlankDisks();
  Manager().Refresh(PSManager::kRefreshFull);
  // A free portion in the head layer.
  auto location = std::make_unique<Fdisk::MbrLocation>();
  location->diskId = blankDisk_;
  location->view = std::make_shared<Fdisk::ContiguousDisk>(
      *Computer().FindDisk(blankDisk_).GetSimpleDisk(), 10, 10);
  Fdisk::PSPortion free(made.at(0)->GetId(), std::move(location), true, Fdisk::kAccessFull);
  Manager().GetHeadLayer().emplace(free.GetId(), free);
  Fdisk::NamedVars::VarContainer params;
  params.Set(K::PortionID, static_cast<unsigned long>(free.GetId()));
  EXPECT_EQ(ThrownCode([&] { Manager().DeletePortion(params); }), Fdisk::kErrPartitionNotFound);
  EXPECT_EQ(made[0]->deleteCalls, 0);
}

// A full refresh deletes the drivers and with them the disks they
// presented; the computer must forget those disks, and the new raw layer
// must not be built from them.
TEST_F(ManagerTest, RefreshDropsTheDisksOfDeletedDrivers) {
  std::vector<std::uint32_t> presented;
  auto record = [&](FakeDriver& d) { d.onDestroy = [&d, &presented] {
    presented.insert(presented.end(), d.presented.begin(), d.presented.end()); }; };
  FakeDriver::Options presenting;
  presenting.presentedDisks = 1;
  presenting.hasStore = false;
  FakeDriver::Options purgedPresenting;
  purgedPresenting.presentedDisks = 1;  // found nothing: purged
  std::vector<FakeDriver*> made;
  DriverMakersScope makers({FakeDriverMaker{presenting, &made, nullptr},
                            FakeDriverMaker{purgedPresenting, nullptr, record}});
  AddMbrAndBlankDisks();
  Manager().Refresh(PSManager::kRefreshFull);
  const std::uint32_t kept = made.at(0)->presented.at(0);
  ASSERT_EQ(presented.size(), 1u);
  const std::uint32_t purged = presented[0];
  EXPECT_EQ(Computer().GetDisks().count(kept), 1u);
  EXPECT_EQ(Computer().GetDisks().count(purged), 0u) << "its driver is gone";

  Manager().Refresh(PSManager::kRefreshFull);
  EXPECT_EQ(Computer().GetDisks().count(kept), 0u);
  EXPECT_EQ(Computer().GetDisks().size(), 3u);  // two own disks and the new driver's one
  EXPECT_EQ(Manager().GetRawLayer().size(), 2u);
}

TEST_F(ManagerTest, AThousandRefreshes) {
  std::vector<FakeDriver*> made;
  FakeDriver::Options mbr;
  mbr.claimMbr = true;
  mbr.presentedDisks = 1;
  FakeDriver::Options nothing;
  DriverMakersScope makers({FakeDriverMaker{mbr, nullptr, nullptr},
                            FakeDriverMaker{nothing, nullptr, nullptr}});
  AddMbrAndBlankDisks();
  for (int i = 0; i < 1000; ++i) {
    Manager().Refresh(i % 5 == 4 ? PSManager::kRefreshRebuild : PSManager::kRefreshFull);
  }
  EXPECT_EQ(Manager().GetHeadLayer().size(), 4u);
  EXPECT_EQ(Computer().GetDisks().size(), 3u);
}

}  // namespace
