// The MBR scheme driver in the portion manager's pipeline over image disks:
// partitions and free areas with stable ids, create, delete and change
// through named variables, written on commit, all or nothing.
#include "foundation/byteorder.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fdisk/mbr_driver.h"
#include "fdisk/ps_manager.h"
#include "fdisk/raw_driver.h"
#include "fixtures/mbr_layout.h"
#include "fixtures/mbr_sfdisk.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;
namespace K = Fdisk::NamedVars::Keys;
using Fdisk::PSManager;
using Fdisk::PSMbrDriver;

constexpr std::uint64_t kCyl = 16065;

// What a portion of the MBR driver shows.
struct Shown {
  std::uint32_t id = 0;
  bool free = false;
  std::uint64_t first = 0;
  std::uint64_t count = 0;
  int type = 0;
  bool logical = false;
  bool active = false;
  std::uint32_t diskId = 0;
  std::array<std::uint32_t, 3> numbers{};
};

class MbrLocationReader : public Fdisk::LocationVisitor {
 public:
  using Fdisk::LocationVisitor::Visit;
  void Visit(Fdisk::MbrLocation& l) override {
    found = true;
    shown.first = l.firstSector;
    shown.count = l.sectorCount;
    shown.type = l.type;
    shown.logical = l.logical;
    shown.active = l.active;
    shown.diskId = l.diskId;
    shown.numbers = l.entryNumbers;
  }
  bool found = false;
  Shown shown;
};

// The MBR portions of a layer in ascending first sector.
std::vector<Shown> MbrPortions(const Fdisk::Layer& layer) {
  std::vector<Shown> out;
  for (const auto& entry : layer) {
    MbrLocationReader reader;
    entry.second.GetLocation().Accept(reader);
    if (!reader.found) continue;
    reader.shown.id = entry.first;
    reader.shown.free = entry.second.IsFree();
    out.push_back(reader.shown);
  }
  std::sort(out.begin(), out.end(),
            [](const Shown& a, const Shown& b) { return a.first < b.first; });
  return out;
}

std::optional<Shown> At(const std::vector<Shown>& shown, std::uint64_t first) {
  for (const Shown& s : shown) {
    if (s.first == first) return s;
  }
  return std::nullopt;
}

class DriverTest : public ::testing::Test {
 protected:
  Fdisk::Computer& Computer() { return registry_.Stage().GetComputer(computerId_); }
  PSManager& Manager() { return Computer().GetPortionManager(); }

  // An image disk: the sfdisk-made layout, or blank with `cylinders`
  // cylinders. Returns its disk id.
  std::uint32_t AddImage(const DiskTest::SparseImage* layout, std::uint64_t cylinders = 8,
                         DiskTest::ImageDisk** image = nullptr) {
    std::unique_ptr<DiskTest::ImageDisk> disk;
    if (layout != nullptr) {
      disk = FixtureDisk(dir_, *layout);
    } else {
      const std::string path = dir_.File("blank" + std::to_string(++images_) + ".img");
      DiskTest::ImageDisk::CreateImage(path, cylinders * kCyl * 512);
      disk = std::make_unique<DiskTest::ImageDisk>(path, 512);
    }
    if (image != nullptr) *image = disk.get();
    paths_.push_back(disk->Path());
    return Computer().AddDisk(std::make_unique<DiskTest::TestDisk>(std::move(disk)));
  }

  PSMbrDriver* Driver() {
    for (const auto& d : Computer().GetDriverFactory().GetDrivers()) {
      if (auto* mbr = dynamic_cast<PSMbrDriver*>(d.second.get())) return mbr;
    }
    return nullptr;
  }

  std::vector<Shown> Head() { return MbrPortions(Manager().GetHeadLayer()); }

  // These tests stack the MBR driver alone.
  DriverMakersScope makers_{{[]() -> std::unique_ptr<Fdisk::PSDriver> {
    return std::make_unique<PSMbrDriver>();
  }}};
  DiskTest::TempDir dir_;
  RegistryScope registry_;
  std::uint32_t computerId_ = registry_.Stage().CreateLocalComputer();
  int images_ = 0;
  std::vector<std::string> paths_;
};

// kMbrLayout: a primary over cylinders 1-2, logicals 0x83 at cylinder 6
// and 0x0B at cylinder 10 (see fixtures/mbr_make_fixtures.sh).

TEST_F(DriverTest, MbrDisksBecomePartitionsAndFreeAreas) {
  const std::uint32_t mbr = AddImage(&kMbrLayout);
  const std::uint32_t blank = AddImage(nullptr, 8);
  Manager().Refresh(PSManager::kRefreshFull);
  PSMbrDriver* driver = Driver();
  ASSERT_NE(driver, nullptr) << "the driver holds a disk and stays";
  EXPECT_EQ(Manager().GetDriverIds(), (std::list<std::uint32_t>{driver->GetId()}));

  const std::vector<Shown> shown = Head();
  struct Want {
    bool free;
    std::uint64_t first;
    std::uint64_t count;
    int type;
    bool logical;
  };
  const Want wants[] = {
      {true, 63, kCyl - 63, 0, false},
      {false, kCyl, 2 * kCyl, 0x07, false},
      {true, 3 * kCyl, 3 * kCyl, 0, false},
      {false, 6 * kCyl + 63, 2 * kCyl - 63, 0x83, true},
      {true, 8 * kCyl, 2 * kCyl, 0, false},
      {false, 10 * kCyl + 63, 3 * kCyl - 63, 0x0B, true},
      {true, 13 * kCyl, 19 * kCyl, 0, false},
  };
  ASSERT_EQ(shown.size(), std::size(wants));
  for (std::size_t i = 0; i < shown.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(shown[i].free, wants[i].free);
    EXPECT_EQ(shown[i].first, wants[i].first);
    EXPECT_EQ(shown[i].count, wants[i].count);
    EXPECT_EQ(shown[i].type, wants[i].type);
    EXPECT_EQ(shown[i].logical, wants[i].logical);
    EXPECT_EQ(shown[i].diskId, mbr);
  }
  EXPECT_EQ(shown[1].numbers, (std::array<std::uint32_t, 3>{1, 1, 1}));
  EXPECT_EQ(shown[3].numbers[0], 1u) << "the first EBR's partition counts like a primary";
  EXPECT_EQ(shown[5].numbers[0], 5u);

  // The blank disk passes through as its raw portion; the driver holds no
  // table for it.
  int raw = 0;
  for (const auto& entry : Manager().GetHeadLayer()) {
    Fdisk::GetRawLocationVisitor visitor;
    entry.second.GetLocation().Accept(visitor);
    if (visitor.found) {
      ++raw;
      EXPECT_EQ(visitor.diskId, blank);
    }
  }
  EXPECT_EQ(raw, 1);
  EXPECT_EQ(driver->GetTable(blank), nullptr);
  Fdisk::Layer held;
  driver->GetStateStore()->Store(held);
  ASSERT_EQ(held.size(), 1u);

  // The portion's view reads the partition's own sectors.
  std::uint8_t sector[512];
  const Fdisk::PSPortion& primary = Manager().GetHeadLayer().at(shown[1].id);
  ASSERT_FALSE(primary.GetView().Io(Fdisk::kIoRead, 0, sector, 1));
  EXPECT_EQ(primary.GetView().GetSectorCount() + 1, 2 * kCyl);

  // The EBR positions, read again from the disk.
  std::map<std::uint32_t, std::list<std::uint64_t>> positions;
  static_cast<PSMbrDriver::StoreMbrLocation*>(driver->GetStateStore())
      ->RestoreTablePositions(positions);
  ASSERT_EQ(positions.size(), 1u);
  EXPECT_EQ(positions.begin()->first, held.begin()->first);
  EXPECT_EQ(positions.begin()->second, (std::list<std::uint64_t>{6 * kCyl, 10 * kCyl + 62}));
}

TEST_F(DriverTest, WithoutMbrDisksTheDriverIsPurged) {
  AddImage(nullptr, 8);
  Manager().Refresh(PSManager::kRefreshFull);
  EXPECT_EQ(Driver(), nullptr);
  EXPECT_TRUE(Manager().GetDriverIds().empty());
}

TEST_F(DriverTest, CreateDeleteAndChangeThroughTheManager) {
  const std::uint32_t disk = AddImage(&kMbrLayout);
  Manager().Refresh(PSManager::kRefreshFull);
  std::vector<Shown> shown = Head();
  const std::uint32_t freeId = shown[2].id;      // cylinders 3-5
  const std::uint32_t primaryId = shown[1].id;
  const std::uint32_t logicalId = shown[5].id;

  // Create a primary in the free area: the request names the free portion.
  Fdisk::NamedVars::VarContainer create;
  create.Set(K::PortionID, (unsigned long)freeId);
  create.Set(K::DiskID, (unsigned long)disk);
  create.Set(K::Start, Fdisk::NamedVars::VarU64(3 * kCyl));
  create.Set(K::Size, Fdisk::NamedVars::VarU64(2 * kCyl));
  create.Set(K::Type, 0x0Cul);
  create.Set(K::PrimaryFlag, true);
  const auto created = Manager().CreatePortion(create);
  ASSERT_FALSE(created.first);
  const std::uint32_t newId = created.second;
  ASSERT_NE(newId, 0u);
  const std::optional<Shown> made = At(MbrPortions(Driver()->GetPortions()), 3 * kCyl);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->id, newId);
  EXPECT_EQ(made->numbers, (std::array<std::uint32_t, 3>{0, 0, 0})) << "numbered at refresh";
  // The primary and logical keep their ids through the rebuild.
  ASSERT_TRUE(At(MbrPortions(Driver()->GetPortions()), kCyl));
  EXPECT_EQ(At(MbrPortions(Driver()->GetPortions()), kCyl)->id, primaryId);

  // Change: move the logical, retype and activate the primary.
  Fdisk::NamedVars::VarContainer move;
  move.Set(K::PortionID, (unsigned long)logicalId);
  move.Set(K::Start, Fdisk::NamedVars::VarU64(20 * kCyl));
  ASSERT_FALSE(Manager().ChangePortion(move));
  const std::optional<Shown> moved = At(MbrPortions(Driver()->GetPortions()), 20 * kCyl + 63);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->id, logicalId) << "a moved partition keeps its id";
  // The moved portion's window is its new place.
  std::uint8_t mark[512];
  std::memset(mark, 0x5A, sizeof mark);
  ASSERT_FALSE(Driver()->GetPortions().at(logicalId).GetView().Io(Fdisk::kIoWrite, 0, mark, 1));

  Fdisk::NamedVars::VarContainer change;
  change.Set(K::PortionID, (unsigned long)primaryId);
  change.Set(K::Type, 0x83ul);
  change.Set(K::ActiveBootStatus, true);
  ASSERT_FALSE(Manager().ChangePortion(change));

  // Delete the other logical.
  Fdisk::NamedVars::VarContainer del;
  del.Set(K::PortionID, (unsigned long)shown[3].id);
  ASSERT_FALSE(Manager().DeletePortion(del));

#if !defined(_WIN32)
  if (MbrTest::HaveSfdisk()) {
    std::string report;
    EXPECT_TRUE(MbrTest::SfdiskVerify(paths_[0], &report)) << report;
    const std::vector<MbrTest::DumpLine> expected = {
        {1, kCyl, 2 * kCyl, 0x83, true},
        {2, 20 * kCyl, 2 * kCyl, 0x05, false},
        {3, 3 * kCyl, 2 * kCyl, 0x0B, false},
        {5, 20 * kCyl + 63, 2 * kCyl - 63, 0x0B, false},
    };
    EXPECT_EQ(MbrTest::SfdiskDump(paths_[0]), expected);
  }
#endif
  // What was committed is what a new refresh reads.
  Manager().Refresh(PSManager::kRefreshFull);
  shown = Head();
  ASSERT_TRUE(At(shown, 20 * kCyl + 63));
  EXPECT_TRUE(At(shown, kCyl)->active);
  EXPECT_EQ(At(shown, kCyl)->type, 0x83);
  std::uint8_t in[512];
  ASSERT_FALSE(Manager().GetHeadLayer().at(At(shown, 20 * kCyl + 63)->id).GetView().Io(
      Fdisk::kIoRead, 0, in, 1));
  EXPECT_EQ(in[0], 0x5A);
}

// Failing requests change neither the disk nor the model.
TEST_F(DriverTest, FailedRequestsChangeNothing) {
  DiskTest::ImageDisk* image = nullptr;
  const std::uint32_t disk = AddImage(&kMbrLayout, 0, &image);
  Manager().Refresh(PSManager::kRefreshFull);
  PSMbrDriver* driver = Driver();
  const std::vector<Shown> before = MbrPortions(driver->GetPortions());
  image->ResetCounters();

  struct Case {
    const char* what;
    Fdisk::NamedVars::VarContainer params;
    int op;  // 0 create, 1 delete, 2 change
    std::uint32_t code;
  };
  auto params = [&](std::function<void(Fdisk::NamedVars::VarContainer&)> f) {
    Fdisk::NamedVars::VarContainer p;
    f(p);
    return p;
  };
  const std::uint32_t primaryId = before[1].id;
  const std::uint32_t firstLogical = before[3].id;
  const Case cases[] = {
      {"create over a partition", params([&](auto& p) {
         p.Set(K::DiskID, (unsigned long)disk);
         p.Set(K::Start, Fdisk::NamedVars::VarU64(2 * kCyl));
         p.Set(K::Size, Fdisk::NamedVars::VarU64(2 * kCyl));
         p.Set(K::Type, 7ul);
         p.Set(K::PrimaryFlag, true);
       }), 0, Fdisk::Mbr::kErrCrosses},
      {"create on a disk without table", params([&](auto& p) {
         p.Set(K::DiskID, (unsigned long)(disk + 1000));
         p.Set(K::Start, Fdisk::NamedVars::VarU64(2 * kCyl));
         p.Set(K::Size, Fdisk::NamedVars::VarU64(2 * kCyl));
         p.Set(K::Type, 7ul);
         p.Set(K::PrimaryFlag, true);
       }), 0, Fdisk::kErrDiskNotFound},
      {"create without a type", params([&](auto& p) {
         p.Set(K::DiskID, (unsigned long)disk);
         p.Set(K::Start, Fdisk::NamedVars::VarU64(3 * kCyl));
         p.Set(K::Size, Fdisk::NamedVars::VarU64(2 * kCyl));
         p.Set(K::PrimaryFlag, true);
       }), 0, Fdisk::kErrVariableNotFound},
      {"delete an unknown portion", params([&](auto& p) { p.Set(K::PortionID, 999999ul); }), 1,
       Fdisk::kErrPartitionNotFound},
      {"move onto a neighbour", params([&](auto& p) {
         p.Set(K::PortionID, (unsigned long)primaryId);
         p.Set(K::Size, Fdisk::NamedVars::VarU64(8 * kCyl));
       }), 2, Fdisk::Mbr::kErrCrosses},
      {"hide a primary", params([&](auto& p) {
         p.Set(K::PortionID, (unsigned long)primaryId);
         p.Set(K::HiddenFlag, Fdisk::Mbr::kHiddenFlag);
       }), 2, Fdisk::Mbr::kErrCannotHide},
      {"a type beyond 255", params([&](auto& p) {
         p.Set(K::PortionID, (unsigned long)firstLogical);
         p.Set(K::Type, 0x1FFul);
       }), 2, Fdisk::Mbr::kErrNotSupported},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Common::Error e;
    if (c.op == 0) {
      const auto r = driver->CreatePortion(c.params);
      EXPECT_EQ(r.second, 0u);
      e = r.first;
    } else if (c.op == 1) {
      e = driver->DeletePortion(c.params);
    } else {
      e = driver->ChangePortion(c.params);
    }
    EXPECT_EQ(Common::GetErrorCode(e), c.code);
    std::vector<Shown> now = MbrPortions(driver->GetPortions());
    ASSERT_EQ(now.size(), before.size());
    for (std::size_t i = 0; i < now.size(); ++i) {
      EXPECT_EQ(now[i].first, before[i].first);
      EXPECT_EQ(now[i].count, before[i].count);
    }
  }
  ASSERT_FALSE(driver->Commit());
  EXPECT_EQ(image->Counters().writes, 0u) << "nothing changed, nothing written";

  // Through the manager a driver failure comes back wrapped, and the commit
  // does not run.
  Fdisk::NamedVars::VarContainer p = cases[0].params;
  p.Set(K::PortionID, (unsigned long)primaryId);
  const auto r = Manager().CreatePortion(p);
  EXPECT_EQ(Common::GetErrorCode(r.first), Fdisk::kErrNotImplemented);
  EXPECT_EQ(Common::GetErrorCode(Common::GetErrorCause(r.first)), Fdisk::Mbr::kErrCrosses);
  EXPECT_EQ(image->Counters().writes, 0u);
}

// A conversion that fails half-way (no MBR slot left for the new primary)
// leaves the logical where it was; an unchanged position writes nothing.
TEST_F(DriverTest, ChangesAreAllOrNothing) {
  DiskTest::ImageDisk* image = nullptr;
  const std::uint32_t disk = AddImage(&kMbrLayout, 0, &image);
  Manager().Refresh(PSManager::kRefreshFull);
  PSMbrDriver* driver = Driver();
  for (std::uint64_t first : {3 * kCyl, 14 * kCyl}) {
    Fdisk::NamedVars::VarContainer p;
    p.Set(K::DiskID, (unsigned long)disk);
    p.Set(K::Start, Fdisk::NamedVars::VarU64(first));
    p.Set(K::Size, Fdisk::NamedVars::VarU64(2 * kCyl));
    p.Set(K::Type, 7ul);
    p.Set(K::PrimaryFlag, true);
    ASSERT_FALSE(driver->CreatePortion(p).first);
  }
  ASSERT_FALSE(driver->Commit());
  const std::vector<Shown> before = MbrPortions(driver->GetPortions());
  const std::optional<Shown> logical = At(before, 10 * kCyl + 63);
  ASSERT_TRUE(logical);
  image->ResetCounters();

  Fdisk::NamedVars::VarContainer convert;
  convert.Set(K::PortionID, (unsigned long)logical->id);
  convert.Set(K::PrimaryFlag, true);
  EXPECT_EQ(Common::GetErrorCode(driver->ChangePortion(convert)), Fdisk::Mbr::kErrSlotsFull);
  Fdisk::NamedVars::VarContainer same;
  same.Set(K::PortionID, (unsigned long)logical->id);
  same.Set(K::Start, Fdisk::NamedVars::VarU64(logical->first));
  EXPECT_FALSE(driver->ChangePortion(same));
  ASSERT_FALSE(driver->Commit());
  EXPECT_EQ(image->Counters().writes, 0u);
  const std::vector<Shown> after = MbrPortions(driver->GetPortions());
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i].first, before[i].first);
    EXPECT_EQ(after[i].count, before[i].count);
    if (!after[i].free) {
      EXPECT_EQ(after[i].id, before[i].id);
    }
  }
}

TEST_F(DriverTest, CommitFailuresAreThrown) {
  DiskTest::ImageDisk* image = nullptr;
  AddImage(&kMbrLayout, 0, &image);
  Manager().Refresh(PSManager::kRefreshFull);
  const std::vector<Shown> shown = Head();
  image->FailRange(Fdisk::kIoWrite, 0, 1);
  Fdisk::NamedVars::VarContainer del;
  del.Set(K::PortionID, (unsigned long)shown[1].id);
  const Common::Error e = Manager().DeletePortion(del);
  EXPECT_EQ(Common::GetErrorCode(e), Fdisk::kErrNotImplemented);
  EXPECT_EQ(Common::GetErrorCode(Common::GetErrorCause(e)), Fdisk::Mbr::kErrWriteTable);
}

// Empty tables for other drivers' use (a protective MBR): nothing is read,
// only what is created is written.
TEST_F(DriverTest, EmptyTablesForNewDisks) {
  DiskTest::ImageDisk* image = nullptr;
  const std::uint32_t disk = AddImage(nullptr, 16, &image);
  PSMbrDriver driver;
  Fdisk::PSDriverFactory factory(1, 2);
  Fdisk::DiskMap disks{{disk, &Computer().FindDisk(disk)}};
  Fdisk::Layer none;
  image->ResetCounters();
  ASSERT_FALSE(driver.InitDisks(factory, disks, none, {}));
  EXPECT_EQ(image->Counters().reads, 0u);
  const std::vector<Shown> shown = MbrPortions(driver.GetPortions());
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_TRUE(shown[0].free);

  Fdisk::NamedVars::VarContainer p;
  p.Set(K::DiskID, (unsigned long)disk);
  p.Set(K::Start, Fdisk::NamedVars::VarU64(1));
  p.Set(K::Size, Fdisk::NamedVars::VarU64(16 * kCyl - 1));
  p.Set(K::Type, 0xEEul);
  p.Set(K::PrimaryFlag, true);
  p.Set(K::BeginAligned, false);
  ASSERT_FALSE(driver.CreatePortion(p).first);
  ASSERT_FALSE(driver.Commit());
  EXPECT_EQ(image->Counters().writes, 1u);
  std::uint8_t sector[512];
  ASSERT_FALSE(image->Io(Fdisk::kIoRead, 0, sector, 1));
  EXPECT_EQ(sector[446 + 4], 0xEE);
  EXPECT_EQ(Common::LoadLe32(sector + 446 + 8), 1u);
  EXPECT_EQ(Common::LoadLe32(sector + 446 + 12), 16 * kCyl - 1);
}

}  // namespace
