// The Virtual Disk Service client against an in-process fake service that
// records every call: loading, the binding of disks, groups and volumes,
// and the group operations with their calls in order.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fdisk/named_var_keys.h"
#include "ldm/group.h"
#include "ldm/vds_client.h"
#include "ldmtest/mini_disk.h"

namespace {

using Ldm::VdsId;

VdsId Id(std::uint8_t tag) {
  VdsId id{};
  id[0] = tag;
  id[15] = 0xEE;
  return id;
}

// A service of one or more software providers, each with its packs; the
// calls are recorded as text, in order.
class FakeVds : public Ldm::VdsService {
 public:
  struct Pack {
    Ldm::VdsPackInfo info;
    std::vector<Ldm::VdsDiskInfo> disks;
    std::vector<Ldm::VdsVolumeInfo> volumes;
  };

  std::int32_t Load() override { return Call("Load", loadResult); }
  std::int32_t WaitForServiceReady() override { return Call("WaitForServiceReady", 0); }
  std::int32_t QueryProviders(std::vector<Ldm::VdsProviderInfo>& out) override {
    out = providers;
    return Call("QueryProviders", 0);
  }
  std::int32_t QueryPacks(std::size_t provider, std::vector<Ldm::VdsPackInfo>& out) override {
    out.clear();
    if (provider == dynamicProvider) {
      for (const Pack& p : packs) out.push_back(p.info);
    }
    return Call("QueryPacks", 0, false);
  }
  std::int32_t QueryDisks(const VdsId& pack, std::vector<Ldm::VdsDiskInfo>& out) override {
    out = Find(pack) ? Find(pack)->disks : std::vector<Ldm::VdsDiskInfo>();
    return Call("QueryDisks", 0, false);
  }
  std::int32_t QueryVolumes(const VdsId& pack, std::vector<Ldm::VdsVolumeInfo>& out) override {
    out = Find(pack) ? Find(pack)->volumes : std::vector<Ldm::VdsVolumeInfo>();
    return Call("QueryVolumes", 0, false);
  }
  std::int32_t CreateVolume(const VdsId& pack, std::uint32_t type,
                            const std::vector<Ldm::VdsInputDisk>& disks, std::uint32_t stripe,
                            VdsId& volume) override {
    created.push_back({type, stripe, disks});
    createdIn = pack;
    volume = newVolume;
    if (onCreate) onCreate();
    return Call("CreateVolume", createResult);
  }
  std::int32_t CreatePack(std::size_t, Ldm::VdsPackInfo& pack) override {
    pack.id = Id(0x70);
    return Call("CreatePack", 0);
  }
  std::int32_t MigrateDisk(const VdsId& disk, const VdsId& target, bool& restart) override {
    migrated.push_back({disk, target});
    restart = needsRestart;
    return Call("MigrateDisk", migrateResult);
  }
  std::int32_t AddAccessPath(const VdsId& volume, const std::u16string& path) override {
    paths.push_back({volume, path});
    return Call("AddAccessPath", 0);
  }
  std::int32_t Reenumerate() override { return Call("Reenumerate", 0); }
  std::int32_t Refresh() override { return Call("Refresh", 0); }

  Pack* Find(const VdsId& id) {
    for (Pack& p : packs) {
      if (p.info.id == id) return &p;
    }
    return nullptr;
  }
  // The calls that change or load something (queries are too many to list).
  std::vector<std::string> calls;
  std::vector<Ldm::VdsProviderInfo> providers;
  std::size_t dynamicProvider = 0;
  std::vector<Pack> packs;
  struct Created {
    std::uint32_t type;
    std::uint32_t stripe;
    std::vector<Ldm::VdsInputDisk> disks;
  };
  std::vector<Created> created;
  VdsId createdIn{};
  VdsId newVolume{};
  std::function<void()> onCreate;
  std::vector<std::pair<VdsId, VdsId>> migrated;
  std::vector<std::pair<VdsId, std::u16string>> paths;
  std::int32_t loadResult = 0;
  std::int32_t createResult = 0;
  std::int32_t migrateResult = 0;
  bool needsRestart = false;

 private:
  std::int32_t Call(const char* name, std::int32_t result, bool listed = true) {
    if (listed) calls.push_back(name);
    return result;
  }
};

FakeVds* lastMade = nullptr;
std::unique_ptr<FakeVds> next;

std::unique_ptr<Ldm::VdsService> MakeFake() {
  lastMade = next.get();
  return std::move(next);
}

// A computer with one group of two dynamic disks numbered 2 and 3 (model
// "DiskNumber" 3 and 4), a service that knows them, and the client loaded.
struct World {
  std::vector<std::unique_ptr<DiskTest::MemoryModelDisk>> modelDisks;
  Ldm::LdmComputer computer;
  Ldm::LdmDgAccess* group = nullptr;
  std::vector<Ldm::LdmDisk*> disks;
  FakeVds* vds = nullptr;

  World() {
    computer.groups.push_back(std::make_unique<Ldm::LdmDgAccess>(
        "HostDg0", "h", "3e1b3a4c-1f2d-11de-9b6a-000c29a1b2c3", &computer));
    group = computer.groups.back().get();
    for (unsigned n : {2u, 3u}) {
      modelDisks.push_back(std::make_unique<DiskTest::MemoryModelDisk>(8192));
      modelDisks.back()->GetProperties().Set(Fdisk::NamedVars::Keys::DiskNumber, n + 1);
      auto d = std::make_unique<Ldm::LdmDisk>(modelDisks.back().get(), &computer);
      d->type = Ldm::kDiskDynamic;
      d->rid = 0x30 + n;
      d->publicStart = 63;
      disks.push_back(d.get());
      group->AddMember(d.get());
      computer.disks.push_back(std::move(d));
    }
    next = std::make_unique<FakeVds>();
    next->providers = {{true, true, true, u"Basic", 0x2}, {true, true, true, u"Dynamic", 0x1}};
    next->dynamicProvider = 1;
    FakeVds::Pack pack;
    pack.info = {Id(0x10), u"HostDg"};
    pack.disks = {{Id(0x22), u"\\\\?\\PhysicalDrive2"}, {Id(0x23), u"\\\\?\\PhysicalDrive3"},
                  {Id(0x29), u"short9"}};
    next->packs.push_back(pack);
    Ldm::VdsAccess::SetMaker(&MakeFake);
    Ldm::VdsAccess* access = Ldm::VdsAccess::Instance();
    EXPECT_EQ(access->Init(), Ldm::kVdsOk);
    vds = lastMade;
    computer.vds = access;
  }
  ~World() {
    Ldm::VdsAccess::Destroy();
    Ldm::VdsAccess::SetMaker(nullptr);
  }
};

TEST(VdsClient, InitFindsTheDynamicProviderOrReleasesTheService) {
  {
    World w;
    EXPECT_TRUE(Ldm::VdsAccess::Instance()->HasProvider());
    EXPECT_EQ(Ldm::VdsAccess::Instance()->Provider(), 1u);
    EXPECT_EQ(w.vds->calls,
              (std::vector<std::string>{"Load", "WaitForServiceReady", "QueryProviders"}));
  }
  // No dynamic provider: S_FALSE, and no service kept.
  next = std::make_unique<FakeVds>();
  next->providers = {{true, true, true, u"Basic", 0x2}};
  Ldm::VdsAccess::SetMaker(&MakeFake);
  EXPECT_EQ(Ldm::VdsAccess::Instance()->Init(), Ldm::kVdsFalse);
  EXPECT_EQ(Ldm::VdsAccess::Instance()->Service(), nullptr);
  // A failing load is reported as it is.
  next = std::make_unique<FakeVds>();
  next->loadResult = Ldm::kVdsFail;
  EXPECT_EQ(Ldm::VdsAccess::Instance()->Init(), Ldm::kVdsFail);
  // Without a binding at all (a build without the service) Init fails.
  Ldm::VdsAccess::SetMaker(nullptr);
  EXPECT_TRUE(Ldm::VdsFailed(Ldm::VdsAccess::Instance()->Init()));
  Ldm::VdsAccess::Destroy();
}

TEST(VdsClient, DiskNumbersFromServiceNames) {
  struct Case {
    std::u16string name;
    long number;
  };
  const std::vector<Case> cases = {
      {u"\\\\?\\PhysicalDrive2", 2},  {u"\\\\?\\PhysicalDrive12", 12},
      {u"PhysicalDrive15", -1},       // 15 characters: never bound
      {u"\\\\?\\PhysicalDriveX", -1}, {u"", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Ldm::VdsDiskNumber(c.name), c.number) << c.name.size();
  }
}

TEST(VdsClient, BindingGivesDisksGroupsAndVolumesTheirIds) {
  World w;
  // A spanned volume with one subdisk on each disk; the service has it as
  // one volume whose plex has two extents.
  auto add = [&](Ldm::LdmRecord r) {
    w.group->records.push_front(std::make_unique<Ldm::LdmRecord>(r));
    return w.group->records.front().get();
  };
  Ldm::LdmRecord v;
  v.type = Ldm::kRecordVolume;
  v.rid = 1;
  v.name = "Volume1";
  Ldm::LdmRecord* volume = add(v);
  Ldm::LdmRecord p;
  p.type = Ldm::kRecordPlex;
  p.rid = 2;
  p.parent = 1;
  Ldm::LdmRecord* plex = add(p);
  w.group->LinkChild(*volume, *plex);
  for (int i = 0; i < 2; ++i) {
    Ldm::LdmRecord s;
    s.type = Ldm::kRecordSubdisk;
    s.rid = 3 + i;
    s.diskRid = w.disks[i]->rid;
    s.start = 100 * (i + 1);
    s.size = 2048;
    w.group->LinkChild(*plex, *add(s));
  }
  Ldm::VdsVolumeInfo vol;
  vol.id = Id(0x40);
  Ldm::VdsPlexInfo vplex;
  vplex.id = Id(0x41);
  vplex.extents = {{Id(0x22), Ldm::kVdsExtentData, (63 + 100) * 512ull, 2048 * 512ull},
                   {Id(0x23), Ldm::kVdsExtentData, (63 + 200) * 512ull, 2048 * 512ull}};
  vol.plexes = {vplex};
  w.vds->packs[0].volumes = {vol};
  w.group->vdsPackId = Id(0x99);  // stale: every bind starts from zero

  w.vds->calls.clear();
  EXPECT_FALSE(Ldm::RefreshVds(w.computer));
  EXPECT_EQ(w.vds->calls,
            (std::vector<std::string>{"Reenumerate", "Refresh", "QueryProviders"}));
  EXPECT_EQ(w.disks[0]->vdsId, Id(0x22));
  EXPECT_EQ(w.disks[1]->vdsId, Id(0x23));
  EXPECT_EQ(w.group->vdsPackId, Id(0x10)) << "pack name is a prefix of the group's";
  EXPECT_EQ(volume->vdsId, Id(0x40));
  EXPECT_EQ(plex->vdsId, Id(0x41));
  EXPECT_EQ(Ldm::FindVolumeByVdsId(*w.group, Id(0x40)), volume);
  EXPECT_EQ(Ldm::FindVolumeByVdsId(*w.group, Id(0x41)), nullptr);

  // An extent one sector off binds nothing.
  w.vds->packs[0].volumes[0].plexes[0].extents[0].offset += 512;
  w.vds->packs[0].volumes[0].plexes[0].extents[1].size -= 512;
  EXPECT_FALSE(Ldm::BindVds(w.computer));
  EXPECT_EQ(volume->vdsId, VdsId{});
}

TEST(VdsClient, VolumeTypesAndStripeSizes) {
  struct Case {
    Fdisk::LdmVolType type;
    std::uint32_t code;  // 0: accepted
    std::uint32_t serviceType;
    std::uint32_t stripe;
  };
  const std::vector<Case> cases = {
      {Fdisk::kLdmVolSimple, 0, 10, 0},       {Fdisk::kLdmVolSpanned, 0, 11, 0},
      {Fdisk::kLdmVolStriped, 0, 12, 65536},  {Fdisk::kLdmVolMirrored, 0, 13, 0},
      {Fdisk::kLdmVolRaid5, 0, 14, 65536},    {Fdisk::kLdmVolStripeSetWithParity, 0, 14, 65536},
      {Fdisk::kLdmVolRaid01, 0x109012, 0, 0}, {Fdisk::kLdmVolInvalid, 0x10900E, 0, 0},
      {Fdisk::LdmVolType(9), 0x10900E, 0, 0},
  };
  World w;
  w.vds->newVolume = Id(0x50);
  // The service's new volume appears in the group's database: here the
  // record is added as the rescan would find it, with the plex extent the
  // binding matches.
  w.vds->onCreate = [&] {
    if (w.group->FindRecord(7) != nullptr) return;
    Ldm::LdmRecord v;
    v.type = Ldm::kRecordVolume;
    v.rid = 7;
    w.group->records.push_front(std::make_unique<Ldm::LdmRecord>(v));
    Ldm::LdmRecord* vr = w.group->records.front().get();
    Ldm::LdmRecord p;
    p.type = Ldm::kRecordPlex;
    p.rid = 8;
    w.group->records.push_front(std::make_unique<Ldm::LdmRecord>(p));
    Ldm::LdmRecord* pr = w.group->records.front().get();
    w.group->LinkChild(*vr, *pr);
    Ldm::LdmRecord s;
    s.type = Ldm::kRecordSubdisk;
    s.rid = 9;
    s.diskRid = w.disks[0]->rid;
    s.start = 0;
    s.size = 64;
    w.group->records.push_front(std::make_unique<Ldm::LdmRecord>(s));
    w.group->LinkChild(*pr, *w.group->records.front());
    Ldm::VdsVolumeInfo vol;
    vol.id = Id(0x50);
    vol.plexes = {{Id(0x51), {{Id(0x22), Ldm::kVdsExtentData, 63 * 512ull, 64 * 512ull}}}};
    w.vds->packs[0].volumes = {vol};
  };
  ASSERT_FALSE(Ldm::BindVds(w.computer));
  Ldm::SpaceRequest e0, e1;
  e0.disk = w.disks[0]->rid;
  e0.size = 64;
  e1.disk = w.disks[1]->rid;
  e1.size = 32;
  for (const Case& c : cases) {
    const std::size_t calls = w.vds->created.size();
    std::uint32_t luid = 1234;
    const Common::Error e = Ldm::VdsCreateVolume(*w.group, c.type, {e0, e1}, &luid);
    EXPECT_EQ(e.Code(), c.code) << c.type;
    if (c.code != 0) {
      EXPECT_EQ(w.vds->created.size(), calls) << "refused before any call, type " << c.type;
      EXPECT_EQ(luid, 0u);
      continue;
    }
    ASSERT_EQ(w.vds->created.size(), calls + 1);
    const FakeVds::Created& made = w.vds->created.back();
    EXPECT_EQ(made.type, c.serviceType);
    EXPECT_EQ(made.stripe, c.stripe);
    ASSERT_EQ(made.disks.size(), 2u);
    EXPECT_EQ(made.disks[0].disk, Id(0x22));
    EXPECT_EQ(made.disks[0].bytes, 64 * 512u);
    EXPECT_EQ(made.disks[1].disk, Id(0x23));
    EXPECT_EQ(made.disks[1].bytes, 32 * 512u);
    EXPECT_EQ(made.disks[1].plex, VdsId{});
    EXPECT_EQ(w.vds->createdIn, Id(0x10));
    EXPECT_EQ(luid, w.group->FindRecord(7)->ModelId());
  }
  // A disk outside the group: refused before the service is called.
  Ldm::SpaceRequest stranger;
  stranger.disk = 0x999;
  const std::size_t calls = w.vds->created.size();
  EXPECT_EQ(Ldm::VdsCreateVolume(*w.group, Fdisk::kLdmVolSimple, {stranger}, nullptr).Code(),
            0x109097u);
  EXPECT_EQ(w.vds->created.size(), calls);
  // The service fails: the cause is kept.
  w.vds->createResult = Ldm::kVdsFail;
  const Common::Error failed = Ldm::VdsCreateVolume(*w.group, Fdisk::kLdmVolSimple, {e0}, nullptr);
  EXPECT_EQ(failed.Code(), 0x109088u);
}

TEST(VdsClient, LettersBecomeAccessPathsAndDisksAreMigratedInOrder) {
  World w;
  ASSERT_FALSE(Ldm::BindVds(w.computer));
  for (auto [in, out] : std::vector<std::pair<std::string, std::string>>{
           {"E", "E:\\"}, {"E:", "E:\\"}, {"E:\\", "E:\\"}, {"C:\\mnt\\x", "C:\\mnt\\x"}}) {
    EXPECT_EQ(Ldm::VdsAccessPathFor(in), out) << in;
  }
  Ldm::LdmRecord volume;
  volume.type = Ldm::kRecordVolume;
  EXPECT_EQ(Ldm::VdsAssignDriveLetter(*w.group, volume, "E").Code(), 0x10909Eu)
      << "an unbound volume has no interface to ask";
  volume.vdsId = Id(0x60);
  w.vds->calls.clear();
  EXPECT_FALSE(Ldm::VdsAssignDriveLetter(*w.group, volume, "E"));
  ASSERT_EQ(w.vds->paths.size(), 1u);
  EXPECT_EQ(w.vds->paths[0].first, Id(0x60));
  EXPECT_EQ(w.vds->paths[0].second, u"E:\\");

  // Conversion of a basic disk in a pack of its own, then another into the
  // group's pack; each migration is followed by a new binding.
  w.vds->calls.clear();
  EXPECT_FALSE(Ldm::VdsConvertDiskToDynamic(w.computer, *w.disks[0]));
  EXPECT_FALSE(Ldm::VdsAddDisk(*w.group, *w.disks[1]));
  const std::vector<std::string> expected = {"CreatePack", "MigrateDisk", "QueryProviders",
                                             "MigrateDisk", "QueryProviders"};
  EXPECT_EQ(w.vds->calls, expected);
  ASSERT_EQ(w.vds->migrated.size(), 2u);
  EXPECT_EQ(w.vds->migrated[0].first, Id(0x22));
  EXPECT_EQ(w.vds->migrated[0].second, Id(0x70));
  EXPECT_EQ(w.vds->migrated[1].first, Id(0x23));
  EXPECT_EQ(w.vds->migrated[1].second, Id(0x10));

  w.vds->needsRestart = true;
  EXPECT_EQ(Ldm::VdsAddDisk(*w.group, *w.disks[1]).Code(), 0x100C0Eu);
  w.vds->needsRestart = false;
  w.vds->migrateResult = Ldm::kVdsFail;
  EXPECT_EQ(Ldm::VdsAddDisk(*w.group, *w.disks[1]).Code(), 0x10908Eu);
  w.computer.vds = nullptr;
  EXPECT_EQ(Ldm::VdsAddDisk(*w.group, *w.disks[1]).Code(), 0x1090A4u);
  EXPECT_EQ(Ldm::RefreshVds(w.computer).Code(), 0x10907Fu);
}

}  // namespace
