// Disk kinds, database validation and the scan on small in-memory disks,
// each with one field changed from a sound database.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fdisk/portion.h"
#include "ldm/driver.h"
#include "ldm/group.h"
#include "ldmtest/mini_disk.h"

namespace {

using Ldm::LdmComputer;
using LdmTest::Layout;
using LdmTest::MemoryModelDisk;

struct Machine {
  std::vector<std::unique_ptr<MemoryModelDisk>> disks;
  LdmComputer computer;

  MemoryModelDisk& Add(const Layout& layout,
                       const std::vector<std::vector<std::uint8_t>>& slots = {}) {
    disks.push_back(std::make_unique<MemoryModelDisk>(layout.sectors));
    LdmTest::WriteLdm(disks.back()->Memory(), layout, slots);
    return *disks.back();
  }
  void Scan() {
    Fdisk::DiskMap map;
    for (auto& d : disks) map[d->GetId()] = d.get();
    Ldm::LdmStartInit(map, computer);
  }
  Ldm::LdmDisk& Disk(std::size_t i) { return *computer.FindDisk(disks[i]->GetId()); }
};

// The records of one disk's group: the disk itself and a spanned volume.
std::vector<std::vector<std::uint8_t>> OneVolume(const Layout& layout) {
  LdmTest::GroupRecords g;
  Ldm::LdmRecord d = LdmTest::DiskRecord(2, "Disk1", layout.diskGuid);
  Ldm::LdmRecord v = LdmTest::VolumeRecord(3, "Volume1", 100, 1);
  Ldm::LdmRecord p = LdmTest::PlexRecord(4, "Volume1-01", 3, 2, 0, 0);
  Ldm::LdmRecord s = LdmTest::SubdiskRecord(5, "Disk1-01", 4, 2, 0, 100, 0);
  for (Ldm::LdmRecord* r : {&d, &v, &p, &s}) g.Add(*r);
  return g.slots;
}

TEST(DiskType, DetectionTable) {
  const struct {
    const char* what;
    void (*change)(Layout&);
    void (*damage)(MemoryModelDisk&);
    Ldm::DiskType type;
  } cases[] = {
      {"sound", [](Layout&) {}, nullptr, Ldm::kDiskDynamic},
      {"all-zero sector 0", [](Layout&) {},
       [](MemoryModelDisk& d) { std::memset(d.Memory().Sector(0), 0, 512); },
       Ldm::kDiskNotInitialized},
      {"no type-0x42 partition", [](Layout& l) { l.partitionType = 0x07; }, nullptr,
       Ldm::kDiskBasic},
      {"PRIVHEAD 2.12", [](Layout& l) { l.phMinor = 12; }, nullptr, Ldm::kDiskDynamic},
      {"PRIVHEAD 2.10", [](Layout& l) { l.phMinor = 10; }, nullptr, Ldm::kDiskIncompatible},
      {"PRIVHEAD 3.11", [](Layout& l) { l.phMajor = 3; }, nullptr, Ldm::kDiskIncompatible},
      {"VMDB 4.9", [](Layout& l) { l.vmdbMinor = 9; }, nullptr, Ldm::kDiskIncompatible},
      {"every TOCBLOCK sequence 0",
       [](Layout& l) { std::fill(l.tocSequence, l.tocSequence + 4, 0); }, nullptr,
       Ldm::kDiskCorrupt},
      {"PRIVHEAD magic", [](Layout&) {},
       [](MemoryModelDisk& d) { std::memcpy(d.Memory().Sector(6), "PRIVHEAX", 8); },
       Ldm::kDiskCorrupt},
      // Values from disk that would lead reads elsewhere.
      {"private region past the disk", [](Layout& l) { l.privSize = 1u << 30; }, nullptr,
       Ldm::kDiskCorrupt},
      {"public region past the disk", [](Layout& l) { l.pubSize = ~std::uint64_t(0) - 10; },
       nullptr, Ldm::kDiskCorrupt},
      {"config region past the private region", [](Layout& l) { l.configSize = 4000; }, nullptr,
       Ldm::kDiskCorrupt},
      {"log region wrapping", [](Layout& l) { l.logStart = ~std::uint64_t(0) - 1; }, nullptr,
       Ldm::kDiskCorrupt},
  };
  for (const auto& c : cases) {
    Layout layout;
    c.change(layout);
    Machine m;
    MemoryModelDisk& disk = m.Add(layout, OneVolume(layout));
    if (c.damage) c.damage(disk);
    m.Scan();
    EXPECT_EQ(m.Disk(0).type, c.type) << c.what;
    EXPECT_EQ(disk.Memory().Counters().writes, 0u) << c.what;
  }
}

TEST(DiskType, AFreeAreaOfType0x42LeavesTheDiskBasic) {
  Layout layout;
  layout.partitionType = 0x07;
  Machine m;
  MemoryModelDisk& disk = m.Add(layout, OneVolume(layout));
  auto location = std::make_unique<Fdisk::MbrLocation>();
  location->diskId = disk.GetId();
  location->type = 0x42;
  location->firstSector = 63;
  location->sectorCount = 100;
  Fdisk::PSPortion free(1, std::move(location), true, 0);
  m.computer.headLayer.emplace(free.GetId(), free);
  m.Scan();
  EXPECT_EQ(m.Disk(0).type, Ldm::kDiskBasic);
}

// The database is laid out in 512-byte sectors; on a disk of 4096-byte ones
// a dynamic disk is left alone after its first sector, and a basic one
// stays basic.
TEST(DiskType, DisksOf4096ByteSectorsAreReadOnlyAtSectorZero) {
  const struct {
    const char* what;
    std::uint8_t partitionType;
    Ldm::DiskType type;
  } cases[] = {
      {"dynamic", 0x42, Ldm::kDiskIncompatible},
      {"basic", 0x07, Ldm::kDiskBasic},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Layout layout;
    layout.partitionType = c.partitionType;
    MemoryModelDisk narrow(layout.sectors);
    LdmTest::WriteLdm(narrow.Memory(), layout, OneVolume(layout));
    // The same bytes on a disk of 4096-byte sectors.
    MemoryModelDisk wide(layout.sectors / 8, 4096);
    ASSERT_TRUE(wide.Memory().Put(0, narrow.Memory().Sector(0), layout.sectors * 512));
    LdmComputer computer;
    Fdisk::DiskMap map{{wide.GetId(), &wide}};
    Ldm::LdmStartInit(map, computer);
    ASSERT_NE(computer.FindDisk(wide.GetId()), nullptr);
    EXPECT_EQ(computer.FindDisk(wide.GetId())->type, c.type);
    EXPECT_EQ(wide.Memory().Counters().reads, 1u);
    EXPECT_EQ(wide.Memory().Counters().writes, 0u);
    EXPECT_TRUE(computer.volumes.empty());
  }
}

TEST(Validation, TocTiesGoToTheEarlierCopyAndInconsistencyIsRecorded) {
  Layout layout;
  layout.tocSequence[0] = 0;
  layout.tocSequence[1] = 5;
  layout.tocSequence[2] = 5;
  layout.consistent = 0;
  Machine m;
  m.Add(layout, OneVolume(layout));
  m.Scan();
  Ldm::LdmDisk& disk = m.Disk(0);
  EXPECT_EQ(disk.dbState, Ldm::kDbInconsistent);
  EXPECT_EQ(disk.configStart, layout.privStart + layout.configStart);
  EXPECT_EQ(disk.group->primary, nullptr) << "an inconsistent copy is not read";
  EXPECT_TRUE(disk.group->records.empty());
}

TEST(Scan, TimestampsFiveNineSevenMakeTheSecondPrimary) {
  Machine m;
  const std::uint64_t stamps[3] = {5, 9, 7};
  for (int i = 0; i < 3; ++i) {
    Layout layout;
    layout.stamp = stamps[i];
    layout.diskGuid = "00000000-0000-4000-8000-00000000000" + std::to_string(i + 1);
    m.Add(layout, OneVolume(layout));
  }
  m.Scan();
  ASSERT_EQ(m.computer.groups.size(), 1u);
  Ldm::LdmDgAccess& group = *m.computer.groups.front();
  EXPECT_EQ(group.primary, &m.Disk(1));
  EXPECT_EQ(group.dbTime, 9u);
  EXPECT_EQ(m.Disk(0).type, Ldm::kDiskStalled);
  EXPECT_EQ(m.Disk(1).type, Ldm::kDiskDynamic);
  EXPECT_EQ(m.Disk(2).type, Ldm::kDiskStalled);
}

TEST(Scan, EqualTimesKeepTheFirstMemberAsPrimary) {
  Machine m;
  for (int i = 0; i < 2; ++i) {
    Layout layout;
    layout.diskGuid = "00000000-0000-4000-8000-00000000000" + std::to_string(i + 1);
    m.Add(layout, OneVolume(layout));
  }
  m.Scan();
  Ldm::LdmDgAccess& group = *m.computer.groups.front();
  EXPECT_EQ(group.primary, &m.Disk(0));
  EXPECT_EQ(m.Disk(1).type, Ldm::kDiskDynamic);
}

TEST(Scan, ARecordWithAPartMissingIsDroppedAndTheRestRead) {
  Layout layout;
  LdmTest::GroupRecords g;
  Ldm::LdmRecord d = LdmTest::DiskRecord(2, "Disk1", layout.diskGuid);
  d.altName = std::string(200, 'a');  // three slots
  g.Add(d);
  Ldm::LdmRecord v = LdmTest::VolumeRecord(3, "Volume1", 100, 0);
  g.Add(v);
  ASSERT_EQ(g.slots.size(), 4u);
  g.slots[1][0x0E + 1] = 0;  // part 1 of the disk record becomes empty
  g.slots[1][0x0F] = 0;
  Machine m;
  m.Add(layout, g.slots);
  m.Scan();
  Ldm::LdmDgAccess& group = *m.computer.groups.front();
  EXPECT_EQ(group.FindRecord(2), nullptr);
  ASSERT_NE(group.FindRecord(3), nullptr);
  EXPECT_EQ(group.dirtyRegionMark, 7u);
}

TEST(Scan, PartsMayComeInAnyOrderAndSlotCountsAreClamped) {
  Layout layout;
  layout.slotCount = 0xFFFFFFFF;  // far beyond the region's 5924 slots
  LdmTest::GroupRecords g;
  Ldm::LdmRecord d = LdmTest::DiskRecord(2, "Disk1", layout.diskGuid);
  d.altName = std::string(200, 'a');
  g.Add(d);
  std::swap(g.slots[0], g.slots[2]);  // part 2 first, part 0 last
  Machine m;
  m.Add(layout, g.slots);
  m.Scan();
  Ldm::LdmDgAccess& group = *m.computer.groups.front();
  ASSERT_NE(group.FindRecord(2), nullptr);
  EXPECT_EQ(group.FindRecord(2)->altName, d.altName);
  EXPECT_EQ(m.Disk(0).rid, 2u) << "the disk record names the present disk";
}

// Striped and parity volumes whose columns or stripe size from disk would
// divide by zero, and volumes of size 0: listed, failed, never read.
TEST(Volumes, UnsafeValuesMakeAVolumeFailed) {
  const struct {
    const char* what;
    std::uint8_t layout;
    std::uint64_t stripe;
    std::uint32_t columns;
    std::uint64_t size;
  } cases[] = {
      {"striped, no columns", 1, 128, 0, 100},
      {"striped, stripe size 0", 1, 0, 1, 100},
      {"parity, one column", 3, 128, 1, 100},
      {"stripe size beyond 32 bits", 1, std::uint64_t(1) << 33, 1, 100},
      {"size 0", 2, 0, 0, 0},
  };
  for (const auto& c : cases) {
    Layout layout;
    LdmTest::GroupRecords g;
    Ldm::LdmRecord d = LdmTest::DiskRecord(2, "Disk1", layout.diskGuid);
    Ldm::LdmRecord v = LdmTest::VolumeRecord(3, "Volume1", c.size, 1);
    Ldm::LdmRecord p = LdmTest::PlexRecord(4, "Volume1-01", 3, c.layout, c.stripe, c.columns);
    Ldm::LdmRecord s = LdmTest::SubdiskRecord(5, "Disk1-01", 4, 2, 0, 100, 0);
    for (Ldm::LdmRecord* r : {&d, &v, &p, &s}) g.Add(*r);
    Machine m;
    m.Add(layout, g.slots);
    m.Scan();
    ASSERT_EQ(m.computer.volumes.size(), 1u) << c.what;
    Ldm::LdmVolume& volume = *m.computer.volumes.front();
    EXPECT_EQ(volume.state, Ldm::kVolumeFailed) << c.what;
    Fdisk::DM::LdmSimpleDisk disk({}, volume.type, c.size, 0, {}, false);
    std::uint8_t buffer[512];
    EXPECT_EQ(Common::GetErrorCode(disk.Io(Fdisk::kIoRead, 0, buffer, 1)), Ldm::kErrUnsupportedVolume);
  }
}

TEST(Volumes, APieceOutsideItsDisksPublicRegionMakesTheVolumeFailed) {
  Layout layout;
  LdmTest::GroupRecords g;
  Ldm::LdmRecord d = LdmTest::DiskRecord(2, "Disk1", layout.diskGuid);
  Ldm::LdmRecord v = LdmTest::VolumeRecord(3, "Volume1", 100, 1);
  Ldm::LdmRecord p = LdmTest::PlexRecord(4, "Volume1-01", 3, 2, 0, 0);
  Ldm::LdmRecord s = LdmTest::SubdiskRecord(5, "Disk1-01", 4, 2, layout.pubSize - 50, 100, 0);
  for (Ldm::LdmRecord* r : {&d, &v, &p, &s}) g.Add(*r);
  Machine m;
  m.Add(layout, g.slots);
  m.Scan();
  ASSERT_EQ(m.computer.volumes.size(), 1u);
  EXPECT_EQ(m.computer.volumes.front()->state, Ldm::kVolumeFailed);
}

TEST(Volumes, ReadsPastTheVolumesEndAreRefused) {
  LdmTest::MemoryDisk member(1000);
  Fdisk::LdmExtentMap extents;
  Fdisk::LdmExtent e;
  e.diskId = 1;
  e.firstSector = 10;
  e.length = 100;
  e.diskState = Ldm::kDiskDynamic;
  extents[0] = e;
  Fdisk::DM::LdmSimpleDisk volume(extents, Fdisk::kLdmVolSimple, 100, 0, {{1, &member}}, true);
  EXPECT_EQ(volume.GetSectorCount(), 99u);
  std::uint8_t buffer[512 * 2];
  EXPECT_FALSE(volume.Io(Fdisk::kIoRead, 98, buffer, 2));
  EXPECT_TRUE(volume.Io(Fdisk::kIoRead, 99, buffer, 2));
  EXPECT_TRUE(volume.Io(Fdisk::kIoRead, ~std::uint64_t(0), buffer, 2));
  // Geometry of the volume device: cylinders from the size.
  Fdisk::DM::LdmSimpleDisk big({}, Fdisk::kLdmVolSimple, 1008000, 0, {}, false);
  EXPECT_EQ(big.GetGeometry().cylinders, 999u);
}

TEST(MissingDisk, RefusesEveryTransferAsOffline) {
  Fdisk::DiskMissing missing(77);
  EXPECT_EQ(missing.GetId(), 77u);
  std::uint8_t buffer[512];
  EXPECT_EQ(Common::GetErrorCode(missing.GetSimpleDisk()->Io(Fdisk::kIoRead, 0, buffer, 1)),
            0x100403u);
  EXPECT_EQ(missing.GetSimpleDisk()->GetSectorSize(), 0u);
}

}  // namespace
