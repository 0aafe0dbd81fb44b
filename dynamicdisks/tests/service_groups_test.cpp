// Disk groups of the raw model against a service's configuration objects:
// which groups are the machine's own, the default group, disk names, and
// the reconciliation that makes a group's records the service's.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fdisk/named_var_keys.h"
#include "foundation/byteorder.h"
#include "foundation/guid.h"
#include "ldm/group.h"
#include "ldm/service_groups.h"
#include "ldmtest/mini_disk.h"

namespace {

using Ldm::ConfigObject;
using Ldm::LdmComputer;
using Ldm::LdmDgAccess;
using Ldm::LdmDisk;
using Ldm::LdmRecord;

// One configuration object of a fake service: its bytes and its detail
// record's, built field by field at the service's offsets.
struct FakeObject {
  std::vector<std::uint8_t> object = std::vector<std::uint8_t>(Ldm::kObjBytes, 0);
  std::vector<std::uint8_t> detail;

  FakeObject(std::uint16_t type, std::uint64_t id, const std::string& name, std::size_t detailBytes)
      : detail(detailBytes, 0) {
    Common::StoreLe16(&object[Ldm::kObjTypeOffset], type);
    Common::StoreLe64(&object[Ldm::kObjIdOffset], id);
    std::memcpy(&object[Ldm::kObjNameOffset], name.data(), name.size());
  }
  FakeObject& D64(std::size_t o, std::uint64_t v) { return Put(o, 8, v); }
  FakeObject& D32(std::size_t o, std::uint32_t v) { return Put(o, 4, v); }
  FakeObject& D8(std::size_t o, std::uint8_t v) { return Put(o, 1, v); }
  FakeObject& Text(std::size_t o, const std::string& s) {
    std::memcpy(&detail.at(o + s.size()) - s.size(), s.data(), s.size());
    return *this;
  }
  ConfigObject View() const {
    return {Common::ByteView(object.data(), object.size()),
            Common::ByteView(detail.data(), detail.size())};
  }

 private:
  FakeObject& Put(std::size_t o, int n, std::uint64_t v) {
    for (int i = 0; i < n; ++i) detail.at(o + i) = static_cast<std::uint8_t>(v >> (8 * i));
    return *this;
  }
};

FakeObject VolumeObject(std::uint64_t id, const std::string& name, std::uint64_t size) {
  FakeObject o(0x11, id, name, Ldm::kVolumeDetailBytes);
  o.D64(0x188, id).Text(0x90, name).Text(0x115, "gen").D64(0x1C8, size).D32(0x1B0, 5);
  return o;
}
FakeObject PlexObject(std::uint64_t id, const std::string& name, std::uint64_t volume) {
  FakeObject o(0x12, id, name, Ldm::kPlexDetailBytes);
  o.D64(0x110, id).Text(0x68, name).D64(0x118, volume).D8(0x138, 2);
  return o;
}
FakeObject SubdiskObject(std::uint64_t id, const std::string& name, std::uint64_t plex,
                         std::uint64_t disk) {
  FakeObject o(0x13, id, name, Ldm::kSubdiskDetailBytes);
  o.D64(0x198, id).Text(0xB0, name).D64(0x1A0, plex).D64(0x1A8, disk).D64(0x1D8, 2048);
  return o;
}
FakeObject DiskObject(std::uint64_t id, const std::string& name, const std::string& winName) {
  FakeObject o(0x14, id, name, Ldm::kDiskDetailBytes);
  o.D64(0x2D0, id).Text(0x1F8, name).Text(Ldm::kDiskDetailWinNameOffset, winName);
  return o;
}

class FakeService : public Ldm::ServiceConfig {
 public:
  FakeService() { Ldm::SetServiceConfigInstance(this); }
  ~FakeService() override { Ldm::SetServiceConfigInstance(nullptr); }

  void AddGroup(const std::string& name, const std::string& guidText) {
    auto& bytes = groups_[name];
    bytes.assign(Ldm::kObjBytes, 0);
    std::memcpy(&bytes[Ldm::kObjNameOffset], name.data(), name.size());
    std::memcpy(&bytes[Ldm::kGroupObjGuidOffset], guidText.data(), guidText.size());
  }
  Common::ByteView FindDiskGroup(const std::string& name) override {
    auto found = groups_.find(name);
    if (found == groups_.end()) return Common::ByteView();
    return Common::ByteView(found->second.data(), found->second.size());
  }
  void LockConfig() override {
    ++locks;
    locked = true;
  }
  void UnlockConfig() override { locked = false; }
  std::vector<ConfigObject> GroupObjects(const Common::ByteView&) override {
    EXPECT_TRUE(locked) << "objects walked without the configuration lock";
    std::vector<ConfigObject> out;
    for (const FakeObject& o : objects) out.push_back(o.View());
    return out;
  }

  std::vector<FakeObject> objects;
  int locks = 0;
  bool locked = false;

 private:
  std::map<std::string, std::vector<std::uint8_t>> groups_;
};

constexpr const char* kGroupGuid = "3e1b3a4c-1f2d-11de-9b6a-000c29a1b2c3";

// A computer with one group "Dg0" whose records are given; the group's
// records are built directly, as the scan would leave them.
struct Model {
  LdmComputer computer;
  LdmDgAccess* group = nullptr;
  std::vector<std::unique_ptr<DiskTest::MemoryModelDisk>> modelDisks;

  Model() {
    auto g = std::make_unique<LdmDgAccess>("Dg0", "host", kGroupGuid, &computer);
    group = g.get();
    computer.groups.push_front(std::move(g));
  }
  LdmRecord& Add(LdmRecord r) {
    auto made = std::make_unique<LdmRecord>(r);
    LdmRecord& ref = *made;
    group->records.push_front(std::move(made));
    if (ref.type == Ldm::kRecordVolume) group->AddVolumeSummary(ref);
    return ref;
  }
  // A disk of the model with Windows number `number`.
  LdmDisk& AddDisk(unsigned number, Ldm::DiskType type) {
    modelDisks.push_back(std::make_unique<DiskTest::MemoryModelDisk>(4096));
    modelDisks.back()->GetProperties().Set(Fdisk::NamedVars::Keys::DiskNumber, number + 1);
    auto d = std::make_unique<LdmDisk>(modelDisks.back().get(), &computer);
    d->type = type;
    LdmDisk& ref = *d;
    computer.disks.push_front(std::move(d));
    return ref;
  }
};

LdmRecord Typed(std::uint8_t type, std::uint64_t rid, const std::string& name) {
  LdmRecord r;
  r.type = type;
  r.version = 3;
  r.rid = rid;
  r.name = name;
  return r;
}

// --- which groups are the machine's own ---------------------------------------

std::uint32_t flagsValue = 0;
std::string registryName;
std::string registryId;
bool registryPresent = false;

TEST(RootGroups, BootInformationMarksOnlyTheMatchingGroupAndFlag40MarksAll) {
  struct Case {
    const char* what;
    std::uint32_t flags;
    bool present;
    const char* name;
    const char* id;
    std::vector<bool> root;  // of groups A (id 1), A (id 2), B (id 1)
  };
  const std::string id1 = "11111111-1111-1111-1111-111111111111";
  const std::string id2 = "22222222-2222-2222-2222-222222222222";
  const std::vector<Case> cases = {
      {"name and id of the second", 0, true, "A", "22222222-2222-2222-2222-222222222222",
       {false, true, false}},
      {"name of two, id of one", 0, true, "A", "11111111-1111-1111-1111-111111111111",
       {true, false, false}},
      {"case differs", 0, true, "a", "11111111-1111-1111-1111-111111111111", {false, false, false}},
      {"no boot information", 0, false, "A", "", {false, false, false}},
      {"flag 0x40, nothing in the registry", 0x40, false, "", "", {true, true, true}},
      {"flag 0x40 beats the registry", 0x44, true, "B", "11111111-1111-1111-1111-111111111111",
       {true, true, true}},
  };
  for (const Case& c : cases) {
    LdmComputer computer;
    std::vector<LdmDgAccess*> groups;
    for (auto [name, id] : {std::pair<std::string, std::string>{"A", id1}, {"A", id2}, {"B", id1}}) {
      computer.groups.push_back(std::make_unique<LdmDgAccess>(name, "host", id, &computer));
      groups.push_back(computer.groups.back().get());
    }
    flagsValue = c.flags;
    registryPresent = c.present;
    registryName = c.name;
    registryId = c.id;
    Ldm::RootGroupSource source;
    source.platformFlags = [] { return flagsValue; };
    source.primaryGroup = [](std::string& name, std::string& id) {
      name = registryName;
      id = registryId;
      return registryPresent;
    };
    Ldm::SetRootGroupSource(source);
    Ldm::MarkRootDiskGroup(computer);
    for (std::size_t i = 0; i < groups.size(); ++i) {
      EXPECT_EQ(groups[i]->rootLike, c.root[i]) << c.what << ", group " << i;
    }
    // A root flag once set is not taken back by a later marking.
    if (c.root[0]) {
      registryPresent = false;
      flagsValue = 0;
      Ldm::MarkRootDiskGroup(computer);
      EXPECT_TRUE(groups[0]->rootLike) << c.what;
    }
    EXPECT_EQ(Ldm::GetRootDiskGroup(computer), c.root[0]   ? groups[0]
                                               : c.root[1] ? groups[1]
                                               : c.root[2] ? groups[2]
                                                           : nullptr)
        << c.what;
  }
  Ldm::SetRootGroupSource(Ldm::RootGroupSource());
}

TEST(RootGroups, DefaultGroupIsAFreshRootGroupAtTheFront) {
  LdmComputer computer;
  computer.hostGuid = "old host";
  computer.groups.push_back(std::make_unique<LdmDgAccess>("Other", "h", kGroupGuid, &computer));
  EXPECT_FALSE(Ldm::HasNoDiskGroup(computer));
  LdmDgAccess* made = nullptr;
  EXPECT_FALSE(Ldm::CreateDefaultDiskGroup(computer, &made));
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(computer.groups.front().get(), made);
  EXPECT_EQ(made->name, "HarbormarkDg0");
  EXPECT_TRUE(made->hostGuid.empty());
  EXPECT_TRUE(computer.hostGuid.empty());
  EXPECT_TRUE(made->rootLike);
  EXPECT_EQ(made->index, 1u);
  Common::Guid parsed{};
  ASSERT_TRUE(Common::GuidFromString(parsed, made->groupGuid)) << made->groupGuid;
  EXPECT_EQ(Ldm::FindDiskGroupByGuid(computer, parsed), made);
  LdmDgAccess* second = nullptr;
  Ldm::CreateDefaultDiskGroup(computer, &second);
  EXPECT_NE(second->groupGuid, made->groupGuid) << "group ids must be random";
}

// --- disks ---------------------------------------------------------------------

TEST(ServiceDisks, WindowsNamesAndPrivHeadSectors) {
  Model m;
  LdmDisk& d2 = m.AddDisk(2, Ldm::kDiskBasic);
  LdmDisk& d10 = m.AddDisk(10, Ldm::kDiskBasic);
  EXPECT_EQ(Ldm::GetWinName(d2), "Harddisk2");
  EXPECT_EQ(Ldm::GetDeviceName(d10), u"\\Device\\Harddisk10");
  EXPECT_EQ(Ldm::FindDiskByWinName(m.computer, "Harddisk10"), &d10);
  EXPECT_EQ(Ldm::FindDiskByWinName(m.computer, "Harddisk1"), nullptr);
  EXPECT_EQ(Ldm::FindDiskByWinName(m.computer, "harddisk2"), nullptr);
  // A disk without a number is never found, whatever name is asked for.
  LdmDisk unnumbered(nullptr, &m.computer);
  EXPECT_EQ(Ldm::GetWinName(unnumbered), "");

  LdmDisk gpt(nullptr, &m.computer);
  gpt.gpt = true;
  gpt.privateStart = 1000;
  gpt.privateSize = 2048;
  EXPECT_EQ(Ldm::GetPrivHeadSector(gpt, 1), 3047u);
  EXPECT_EQ(Ldm::GetPrivHeadSector(gpt, 0), 2856u);
  LdmDisk mbr(nullptr, &m.computer);
  mbr.privHeadCopy0 = 6;
  mbr.privHeadCopy1 = 4095;
  EXPECT_EQ(Ldm::GetPrivHeadSector(mbr, 0), 6u);
  EXPECT_EQ(Ldm::GetPrivHeadSector(mbr, 1), 4095u);
  EXPECT_EQ(Ldm::GetPrivHeadSector(mbr, 2), 6u);
  EXPECT_STREQ(Ldm::DiskTypeText(8), "    ** Disk Type: Dynamic Database corrupted");
  EXPECT_STREQ(Ldm::DiskTypeText(9), "    ** Disk Type: !!INVALID!! Internal Error");
}

// --- reconciliation --------------------------------------------------------------

TEST(Reconcile, RecordsAreAddedUpdatedAndDroppedWithTheirVolumes) {
  Model m;
  FakeService service;
  service.AddGroup("Dg0", kGroupGuid);
  LdmRecord& kept = m.Add([] {
    LdmRecord r = Typed(Ldm::kRecordVolume, 10, "Volume1");
    r.volSize = 1000;
    return r;
  }());
  m.Add([] {
    LdmRecord r = Typed(Ldm::kRecordPlex, 11, "Volume1-01");
    r.parent = 10;
    return r;
  }());
  m.Add(Typed(Ldm::kRecordDisk, 13, "Disk1"));
  m.Add(Typed(Ldm::kRecordVolume, 20, "Volume2"));
  m.Add([] {
    LdmRecord r = Typed(Ldm::kRecordPlex, 21, "Volume2-01");
    r.parent = 20;
    return r;
  }());
  ASSERT_EQ(m.computer.volumes.size(), 2u);

  service.objects = {VolumeObject(10, "Volume1", 4096), PlexObject(11, "Volume1-01", 10),
                     SubdiskObject(12, "Disk1-01", 11, 13), DiskObject(13, "Disk1", ""),
                     VolumeObject(30, "Volume3", 2048), PlexObject(31, "Volume3-01", 30)};
  Ldm::SynchronizeWinAndRawLdm(*m.group);

  EXPECT_EQ(service.locks, 1);
  EXPECT_FALSE(service.locked);
  std::map<std::uint64_t, LdmRecord*> byRid;
  for (auto& r : m.group->records) byRid[r->rid] = r.get();
  EXPECT_EQ(byRid.size(), 6u);
  EXPECT_EQ(byRid.count(20), 0u);
  EXPECT_EQ(byRid.count(21), 0u);
  // The dropped volume's summary went with it, from the group and the
  // computer alike.
  EXPECT_EQ(m.computer.volumes.size(), 1u);
  EXPECT_EQ(m.group->volumes.size(), 1u);
  EXPECT_EQ(m.group->volumes.front()->record, &kept);
  EXPECT_EQ(m.group->volumes.front()->size, 4096u) << "summary follows the updated record";

  EXPECT_EQ(byRid[10], &kept);
  EXPECT_EQ(kept.volSize, 4096u);
  EXPECT_EQ(kept.volType, "gen");
  EXPECT_EQ(kept.volNum, 5u);
  EXPECT_TRUE(kept.winReported);
  EXPECT_FALSE(kept.winCreated);
  LdmRecord* made = byRid[30];
  ASSERT_NE(made, nullptr);
  EXPECT_TRUE(made->winReported);
  EXPECT_TRUE(made->winCreated);
  EXPECT_EQ(made->type, Ldm::kRecordVolume);
  EXPECT_EQ(made->version, 5);
  EXPECT_EQ(made->name, "Volume3");
  EXPECT_EQ(made->volSize, 2048u);
  EXPECT_EQ(Ldm::FindNewVolume(*m.group), made);
  EXPECT_EQ(byRid[12]->version, 3);
  EXPECT_EQ(byRid[12]->size, 2048u);

  // The graph is the service's.
  ASSERT_EQ(kept.children.size(), 1u);
  EXPECT_EQ(kept.children[0], byRid[11]);
  ASSERT_EQ(byRid[11]->children.size(), 1u);
  EXPECT_EQ(byRid[11]->children[0], byRid[12]);
  EXPECT_EQ(byRid[12]->secondParent, byRid[13]);
  ASSERT_EQ(made->children.size(), 1u);
  EXPECT_EQ(made->children[0], byRid[31]);

  Ldm::ClearNewMarks(*m.group);
  EXPECT_EQ(Ldm::FindNewVolume(*m.group), nullptr);
  // A second pass over the same objects makes nothing new and drops nothing.
  Ldm::SynchronizeWinAndRawLdm(*m.group);
  EXPECT_EQ(m.group->records.size(), 6u);
  EXPECT_EQ(Ldm::FindNewVolume(*m.group), nullptr);
  EXPECT_EQ(kept.children.size(), 1u) << "links are rebuilt, not doubled";
}

TEST(Reconcile, AGroupTheServiceDoesNotKnowIsLeftAloneWithoutTheLock) {
  Model m;
  m.Add(Typed(Ldm::kRecordVolume, 10, "Volume1"));
  {
    FakeService service;
    service.AddGroup("Other", kGroupGuid);
    service.objects = {VolumeObject(30, "Volume3", 1)};
    Ldm::SynchronizeWinAndRawLdm(*m.group);
    EXPECT_EQ(service.locks, 0);
  }
  // No service at all changes nothing either.
  Ldm::SynchronizeWinAndRawLdm(*m.group);
  ASSERT_EQ(m.group->records.size(), 1u);
  EXPECT_EQ(m.group->records.front()->rid, 10u);
  EXPECT_EQ(m.computer.volumes.size(), 1u);
}

TEST(Reconcile, AnObjectOfAnotherTypeCountsAsReportedButIsNotApplied) {
  Model m;
  FakeService service;
  service.AddGroup("Dg0", kGroupGuid);
  LdmRecord& plex = m.Add(Typed(Ldm::kRecordPlex, 11, "Volume1-01"));
  service.objects = {VolumeObject(11, "Volume9", 777)};
  Ldm::SynchronizeWinAndRawLdm(*m.group);
  ASSERT_EQ(m.group->records.size(), 1u);
  EXPECT_EQ(&*m.group->records.front(), &plex);
  EXPECT_EQ(plex.type, Ldm::kRecordPlex);
  EXPECT_EQ(plex.name, "Volume1-01");
  EXPECT_EQ(plex.volSize, 0u);
}

TEST(Reconcile, VolumeDetailInItsLowerLayout) {
  Model m;
  FakeService service;
  service.AddGroup("Dg0", kGroupGuid);
  // Every field 8 bytes lower, told by the non-zero byte at 0x88 (which is
  // the name's first byte in that layout).
  FakeObject o(0x11, 40, "Volume4", Ldm::kVolumeDetailBytes);
  o.Text(0x88, "Volume4").D64(0x180, 40).D64(0x1C0, 9999).D32(0x1EC, 0x42);
  const std::uint8_t stored[16] = {0x44, 0x33, 0x22, 0x11, 0x66, 0x55, 0x88, 0x77,
                                   1,    2,    3,    4,    5,    6,    7,    8};
  for (int i = 0; i < 16; ++i) o.D8(0x1F0 + i, stored[i]);
  service.objects = {o};
  Ldm::SynchronizeWinAndRawLdm(*m.group);
  LdmRecord* r = m.group->FindRecord(40);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->name, "Volume4");
  EXPECT_EQ(r->volSize, 9999u);
  EXPECT_EQ(r->partType, 0x42u);
  const Ldm::Guid16 expected = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                1,    2,    3,    4,    5,    6,    7,    8};
  EXPECT_EQ(r->guid, expected);
}

TEST(Reconcile, ShortObjectsReadNothingBeyondTheirBytes) {
  Model m;
  FakeService service;
  service.AddGroup("Dg0", kGroupGuid);
  // A detail record cut short and an object without its name: the fields
  // outside are not read (the sanitizers of the native build watch this).
  FakeObject cut(0x11, 50, "", 0x100);
  cut.object.resize(Ldm::kObjNameOffset + 2);
  std::memcpy(&cut.object[Ldm::kObjNameOffset], "VV", 2);
  FakeObject empty(0x13, 51, "", 0);
  service.objects = {cut, empty};
  Ldm::SynchronizeWinAndRawLdm(*m.group);
  LdmRecord* r = m.group->FindRecord(50);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->volSize, 0u);
  EXPECT_EQ(r->name, "");
  ASSERT_NE(m.group->FindRecord(51), nullptr);
}

TEST(Reconcile, ABasicDiskTheServiceReportsBecomesDynamicInTheGroup) {
  Model m;
  FakeService service;
  service.AddGroup("Dg0", kGroupGuid);
  LdmDisk& basic = m.AddDisk(3, Ldm::kDiskBasic);
  LdmDisk& offline = m.AddDisk(4, Ldm::kDiskNotInitialized);
  service.objects = {DiskObject(77, "Disk2", "Harddisk3"), DiskObject(78, "Disk3", "Harddisk4")};
  Ldm::SynchronizeWinAndRawLdm(*m.group);
  EXPECT_EQ(basic.type, Ldm::kDiskDynamic);
  EXPECT_EQ(basic.rid, 77u);
  EXPECT_EQ(basic.group, m.group);
  ASSERT_EQ(m.group->members.size(), 1u);
  EXPECT_EQ(m.group->members.front(), &basic);
  EXPECT_EQ(offline.type, Ldm::kDiskNotInitialized) << "only basic disks are taken in";
  EXPECT_EQ(offline.group, nullptr);
}

}  // namespace
