// The administrative service's client: without its interface every
// operation refuses with 0x1090B3 and changes nothing; its records read the
// service's detail layouts and copy into the model's records exactly as the
// dynamic-disk service's update does from the same bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/byteorder.h"
#include "ldm/admin_client.h"
#include "ldm/group.h"
#include "ldm/service_groups.h"

namespace {

struct Detail {
  std::vector<std::uint8_t> bytes;
  explicit Detail(std::size_t n) : bytes(n, 0) {}
  Detail& U64(std::size_t o, std::uint64_t v) {
    Common::StoreLe64(&bytes.at(o + 7) - 7, v);
    return *this;
  }
  Detail& U32(std::size_t o, std::uint32_t v) {
    Common::StoreLe32(&bytes.at(o + 3) - 3, v);
    return *this;
  }
  Detail& U8(std::size_t o, std::uint8_t v) {
    bytes.at(o) = v;
    return *this;
  }
  Detail& Text(std::size_t o, const std::string& s) {
    std::memcpy(&bytes.at(o + s.size()) - s.size(), s.data(), s.size());
    return *this;
  }
  Common::ByteView View() const { return Common::ByteView(bytes.data(), bytes.size()); }
};

// The record the dynamic-disk service's update makes of the same detail.
Ldm::LdmRecord ViaService(std::uint16_t type, std::uint64_t id, const Detail& d) {
  std::vector<std::uint8_t> object(Ldm::kObjBytes, 0);
  Common::StoreLe16(&object[Ldm::kObjTypeOffset], type);
  Common::StoreLe64(&object[Ldm::kObjIdOffset], id);
  Ldm::LdmRecord r;
  Ldm::UpdateFromWin(r, {Common::ByteView(object.data(), object.size()), d.View()});
  return r;
}

void ExpectSame(const Ldm::LdmRecord& a, const Ldm::LdmRecord& b) {
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.version, b.version);
  EXPECT_EQ(a.rid, b.rid);
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.volType, b.volType);
  EXPECT_EQ(a.volState, b.volState);
  EXPECT_EQ(a.volTypeCode, b.volTypeCode);
  EXPECT_EQ(a.volNum, b.volNum);
  EXPECT_EQ(a.volFlags, b.volFlags);
  EXPECT_EQ(a.numChild, b.numChild);
  EXPECT_EQ(a.logComId, b.logComId);
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.volSize, b.volSize);
  EXPECT_EQ(a.partType, b.partType);
  EXPECT_EQ(a.guid, b.guid);
  EXPECT_EQ(a.plxState, b.plxState);
  EXPECT_EQ(a.layout, b.layout);
  EXPECT_EQ(a.plxFlags, b.plxFlags);
  EXPECT_EQ(a.parent, b.parent);
  EXPECT_EQ(a.stripeSiz, b.stripeSiz);
  EXPECT_EQ(a.numCol, b.numCol);
  EXPECT_EQ(a.sdFlags, b.sdFlags);
  EXPECT_EQ(a.start, b.start);
  EXPECT_EQ(a.volOff, b.volOff);
  EXPECT_EQ(a.size, b.size);
  EXPECT_EQ(a.plexRid, b.plexRid);
  EXPECT_EQ(a.diskRid, b.diskRid);
  EXPECT_EQ(a.plexIdx, b.plexIdx);
  EXPECT_EQ(a.guidText, b.guidText);
  EXPECT_EQ(a.diskFlags, b.diskFlags);
  EXPECT_EQ(a.logId, b.logId);
}

TEST(AdminRecords, RecordsReadTheServiceLayoutsAndCopyLikeTheServiceUpdate) {
  Detail vol(Ldm::kVolumeDetailBytes);
  vol.U64(0x188, 0x101).Text(0x90, "Volume7").Text(0x115, "gen").Text(0x106, "ACTIVE")
      .U8(0x114, 3).U32(0x1B0, 6).U32(0x1AC, 0x8).U32(0x1C0, 1).U64(0x198, 0x55)
      .U64(0x1A0, 0x66).U64(0x1C8, 123456).U32(0x1F4, 7);
  for (int i = 0; i < 16; ++i) vol.U8(0x1F8 + i, std::uint8_t(0xA0 + i));
  Detail plex(Ldm::kPlexDetailBytes);
  plex.U64(0x110, 0x102).Text(0x68, "Volume7-01").Text(0xFE, "ACTIVE").U8(0x138, 1)
      .U32(0x148, 4).U32(0x14C, 3).U64(0x128, 0x56).U64(0x118, 0x101).U32(0x140, 128)
      .U32(0x170, 3);
  Detail sd(Ldm::kSubdiskDetailBytes);
  sd.U64(0x198, 0x103).Text(0xB0, "Disk1-01").U32(0x1B8, 2).U64(0x1B0, 0x57).U64(0x1D0, 2048)
      .U64(0x1C8, 4096).U64(0x1D8, 8192).U64(0x1A0, 0x102).U64(0x1A8, 0x104).U32(0x1EC, 2);
  Detail disk(Ldm::kDiskDetailBytes);
  disk.U64(0x2D0, 0x104).Text(0x1F8, "Disk1").Text(0x26E, "5f1c6b1e-8a2b-11de-9b6a-000c29a1b2c3")
      .U32(0x2E0, 1).U64(0x2D8, 0x58);

  struct Case {
    const char* what;
    std::unique_ptr<Fdisk::LdmDmRecord> record;
    std::uint16_t type;
    std::uint64_t id;
    const Detail* detail;
  };
  std::vector<Case> cases;
  cases.push_back({"volume", Fdisk::VolumeRecord::FromDetail(vol.View()), 1, 0x101, &vol});
  cases.push_back({"plex", Fdisk::PlexRecord::FromDetail(plex.View()), 2, 0x102, &plex});
  cases.push_back({"subdisk", Fdisk::SubDiskRecord::FromDetail(sd.View()), 3, 0x103, &sd});
  cases.push_back({"disk", Fdisk::DiskRecord::FromDetail(disk.View()), 4, 0x104, &disk});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.record->GetId(), c.id);
    EXPECT_EQ(c.record->GetType(), c.type);
    Ldm::LdmRecord copied;
    c.record->CopyTo(&copied);
    ExpectSame(copied, ViaService(c.type, c.id, *c.detail));
    EXPECT_EQ(copied.type, c.type);
    EXPECT_EQ(copied.rid, c.id);
    c.record->CopyTo(nullptr);  // changes nothing, and does not fault
  }
  // The volume's GUID comes out with its first three fields turned round.
  Ldm::LdmRecord v;
  cases[0].record->CopyTo(&v);
  EXPECT_EQ(v.guid[0], 0xA3);
  EXPECT_EQ(v.guid[3], 0xA0);
  EXPECT_EQ(v.guid[4], 0xA5);
  EXPECT_EQ(v.guid[8], 0xA8);
  EXPECT_EQ(v.version, 5);
}

TEST(AdminClient, EveryOperationRefusesWithoutItsInterfaceAndChangesNothing) {
  Ldm::LdmComputer computer;
  computer.groups.push_back(std::make_unique<Ldm::LdmDgAccess>(
      "Dg0", "h", "3e1b3a4c-1f2d-11de-9b6a-000c29a1b2c3", &computer));
  Ldm::LdmDgAccess& group = *computer.groups.back();
  Ldm::LdmRecord r;
  r.type = Ldm::kRecordVolume;
  r.rid = 9;
  r.volSize = 100;
  group.records.push_front(std::make_unique<Ldm::LdmRecord>(r));
  Ldm::LdmDisk disk(nullptr, &computer);

  std::uint64_t id = 5;
  std::uint32_t luid = 5;
  std::vector<Ldm::DmGroupEntry> groups;
  const std::vector<std::pair<const char*, Common::Error>> results = {
      {"convert id", Ldm::DmConvertRidToId(9, &id)},
      {"enumerate disks", Ldm::DmEnumDisks()},
      {"group disks", Ldm::DmEnumGroupDisks()},
      {"groups", Ldm::DmEnumDiskGroups(groups)},
      {"encapsulate", Ldm::DmEncapsulateDisk(disk)},
      {"create", Ldm::DmCreateVolume(group, Fdisk::kLdmVolSimple, 100, {}, &luid)},
      {"create RAID 0+1", Ldm::DmCreateVolume(group, Fdisk::kLdmVolRaid01, 100, {}, &luid)},
      {"add disk", Ldm::DmAddDisk(group, disk)},
      {"bind disks", Ldm::BindDmDisks(group)},
  };
  for (const auto& [what, e] : results) {
    EXPECT_EQ(e.Code(), 0x1090B3u) << what;
    EXPECT_NE(Common::Describe(e).find(u"DMADMIN"), std::u16string::npos) << what;
  }
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(luid, 0u);
  EXPECT_TRUE(groups.empty());
  EXPECT_TRUE(Ldm::DmFindDiskGroup("Dg0").Empty());

  Ldm::SynchronizeDmAndRawLdm(group);
  ASSERT_EQ(group.records.size(), 1u);
  EXPECT_EQ(group.records.front()->rid, 9u);
  EXPECT_EQ(group.records.front()->volSize, 100u);
}

TEST(AdminClient, ServiceRecordsUpdateOrJoinTheGroup) {
  Ldm::LdmComputer computer;
  computer.groups.push_back(std::make_unique<Ldm::LdmDgAccess>(
      "Dg0", "h", "3e1b3a4c-1f2d-11de-9b6a-000c29a1b2c3", &computer));
  Ldm::LdmDgAccess& group = *computer.groups.back();
  Ldm::LdmRecord plexTyped;
  plexTyped.type = Ldm::kRecordPlex;
  plexTyped.rid = 0x102;
  plexTyped.name = "keep";
  group.records.push_front(std::make_unique<Ldm::LdmRecord>(plexTyped));

  Fdisk::VolumeRecord otherType;
  otherType.id = 0x102;
  otherType.name = "Volume9";
  Ldm::UpdateFromDmRecord(group, otherType);
  EXPECT_EQ(group.records.size(), 1u);
  EXPECT_EQ(group.records.front()->name, "keep") << "a record of another type is not filled";
  EXPECT_TRUE(group.records.front()->winReported);

  Fdisk::VolumeRecord fresh;
  fresh.id = 0x200;
  fresh.name = "Volume2";
  fresh.volSize = 77;
  Ldm::UpdateFromDmRecord(group, fresh);
  ASSERT_EQ(group.records.size(), 2u);
  const Ldm::LdmRecord& made = *group.records.front();
  EXPECT_EQ(made.rid, 0x200u);
  EXPECT_EQ(made.type, Ldm::kRecordVolume);
  EXPECT_EQ(made.volSize, 77u);
  EXPECT_TRUE(made.winReported);
  EXPECT_TRUE(made.winCreated);
}

}  // namespace
