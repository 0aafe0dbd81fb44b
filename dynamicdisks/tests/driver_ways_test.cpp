// The driver's way of creating a volume, on a fixture judged by ldmtool:
// with no service it falls back to the raw database (written, as ldmtool
// reads it); with a Windows dynamic-disk service that starts, the service
// is asked and the raw database is left to it; with the Virtual Disk
// Service, the service is asked and its failure reported; a driver that
// already wrote the raw database never asks a service again.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disktest/image_disk.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "disktest/test_disk.h"
#include "fdisk/model.h"
#include "fdisk/named_var_keys.h"
#include "fdisk/ps_manager.h"
#include "foundation/byteorder.h"
#include "ldm/driver.h"
#include "ldm/service_groups.h"
#include "ldm/service_requests.h"
#include "ldm/service_ways.h"
#include "ldm/vds_client.h"
#include "ldm_tool_support.h"

namespace {

namespace K = Fdisk::NamedVars::Keys;
using DiskTest::Lines;

// --- fakes of the two services ----------------------------------------------------

int starts = 0;
bool startSucceeds = false;
Common::Error FakeStart(Ldm::LdmComputer&) {
  ++starts;
  return startSucceeds ? Common::Error() : Common::Error(1, 1, 0x109057);
}

// The Windows service: it reports a new volume after a creation request.
class FakeWindowsService : public Ldm::ServiceConfig, public Ldm::ServiceRequester {
 public:
  explicit FakeWindowsService(const std::string& group) : group_(group) {
    groupObject_.assign(0xD0, 0);
    std::memcpy(&groupObject_[Ldm::kObjNameOffset], group.data(), group.size());
    Ldm::SetServiceConfigInstance(this);
    Ldm::SetServiceRequesterInstance(this);
  }
  ~FakeWindowsService() override {
    Ldm::SetServiceConfigInstance(nullptr);
    Ldm::SetServiceRequesterInstance(nullptr);
  }
  Common::ByteView FindDiskGroup(const std::string& name) override {
    return name == group_ ? Common::ByteView(groupObject_.data(), groupObject_.size())
                          : Common::ByteView();
  }
  void LockConfig() override {}
  void UnlockConfig() override {}
  std::vector<Ldm::ConfigObject> GroupObjects(const Common::ByteView&) override {
    std::vector<Ldm::ConfigObject> out;
    for (auto& o : objects) {
      out.push_back({Common::ByteView(o.first.data(), o.first.size()),
                     Common::ByteView(o.second.data(), o.second.size())});
    }
    return out;
  }
  std::uint64_t RootId() override { return 1; }
  std::uint32_t Submit(std::uint32_t opcode, const Ldm::RequestFields& f) override {
    sent.push_back(opcode);
    if (opcode == Ldm::kOpCreateVolume) {
      std::vector<std::uint8_t> object(Ldm::kObjBytes, 0), detail(Ldm::kVolumeDetailBytes, 0);
      Common::StoreLe16(&object[Ldm::kObjTypeOffset], 1);
      Common::StoreLe64(&object[Ldm::kObjIdOffset], 0x9000);
      Common::StoreLe64(&detail[0x188], 0x9000);
      std::memcpy(&detail[0x90], "Volume9", 7);
      Common::StoreLe64(&detail[0x1C8], f.size);
      objects.emplace_back(object, detail);
    }
    if (opcode == Ldm::kOpDriveHint) letter = f.letter1;
    return 0;
  }
  void ClearTaskCompleted() override {}
  bool WaitTaskCompletion() override { return true; }

  std::vector<std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>> objects;
  std::vector<std::uint32_t> sent;
  char16_t letter = 0;

 private:
  std::string group_;
  std::vector<std::uint8_t> groupObject_;
};

// A Virtual Disk Service whose dynamic provider refuses every creation.
class RefusingVds : public Ldm::VdsService {
 public:
  static int creates;
  std::int32_t Load() override { return 0; }
  std::int32_t WaitForServiceReady() override { return 0; }
  std::int32_t QueryProviders(std::vector<Ldm::VdsProviderInfo>& out) override {
    out = {{true, true, true, u"Dynamic", Ldm::kVdsProviderDynamic}};
    return 0;
  }
  std::int32_t QueryPacks(std::size_t, std::vector<Ldm::VdsPackInfo>& out) override {
    Ldm::VdsPackInfo pack;
    pack.id[0] = 1;
    pack.name = u"";  // a prefix of every group's name
    out = {pack};
    return 0;
  }
  std::int32_t QueryDisks(const Ldm::VdsId&, std::vector<Ldm::VdsDiskInfo>& out) override {
    out.clear();
    return 0;
  }
  std::int32_t QueryVolumes(const Ldm::VdsId&, std::vector<Ldm::VdsVolumeInfo>& out) override {
    out.clear();
    return 0;
  }
  std::int32_t CreateVolume(const Ldm::VdsId&, std::uint32_t, const std::vector<Ldm::VdsInputDisk>&,
                            std::uint32_t, Ldm::VdsId&) override {
    ++creates;
    return Ldm::kVdsFail;
  }
  std::int32_t CreatePack(std::size_t, Ldm::VdsPackInfo&) override { return Ldm::kVdsFail; }
  std::int32_t MigrateDisk(const Ldm::VdsId&, const Ldm::VdsId&, bool&) override {
    return Ldm::kVdsFail;
  }
  std::int32_t AddAccessPath(const Ldm::VdsId&, const std::u16string&) override { return 0; }
  std::int32_t Reenumerate() override { return 0; }
  std::int32_t Refresh() override { return 0; }
};
int RefusingVds::creates = 0;
std::unique_ptr<Ldm::VdsService> MakeRefusingVds() { return std::make_unique<RefusingVds>(); }

// --- the fixture under a stage ------------------------------------------------------

class RegistryScope {
 public:
  RegistryScope() : stageId_(Fdisk::StageRegistry::Acquire()) {}
  ~RegistryScope() { Fdisk::StageRegistry::Release(); }
  Fdisk::Stage& Stage() const { return Fdisk::StageRegistry::GetStage(stageId_); }

 private:
  std::uint32_t stageId_;
};

class MakersScope {
 public:
  MakersScope() : saved_(std::move(Fdisk::PSDriverFactory::DriverMakers())) {
    Fdisk::PSDriverFactory::DriverMakers().clear();
    Fdisk::RegisterDynamicDiskDriver();
  }
  ~MakersScope() { Fdisk::PSDriverFactory::DriverMakers() = std::move(saved_); }

 private:
  std::vector<Fdisk::PSDriverFactory::DriverMaker> saved_;
};

std::uint32_t flags = 0;

class DriverWaysTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Ldm::ResetServiceWays();
    starts = 0;
    startSucceeds = false;
    RefusingVds::creates = 0;
    Ldm::SetWindowsServiceStarter(&FakeStart);
    Ldm::VdsAccess::SetMaker(nullptr);
    // A client that takes part in every check: all groups are its own,
    // GPT disks allowed.
    flags = 0x48;
    Ldm::RootGroupSource source;
    source.platformFlags = [] { return flags; };
    Ldm::SetRootGroupSource(source);
    paths_ = Lines(LdmTest::Fixture("build spanned " + dir_.Path()));
    ASSERT_EQ(paths_.size(), 2u);
    for (const std::string& p : paths_) {
      auto image = std::make_unique<DiskTest::ImageDisk>(p, 512);
      Computer().AddDisk(std::make_unique<DiskTest::TestDisk>(std::move(image)));
    }
    Computer().GetPortionManager().Refresh(Fdisk::PSManager::kRefreshFull);
    for (const auto& d : Computer().GetDriverFactory().GetDrivers()) {
      if (auto* ldm = dynamic_cast<Fdisk::PSLdmDriver*>(d.second.get())) driver_ = ldm;
    }
    ASSERT_NE(driver_, nullptr);
    before_ = Ldmtool();
  }
  void TearDown() override {
    Ldm::SetWindowsServiceStarter(nullptr);
    Ldm::VdsAccess::SetMaker(nullptr);
    Ldm::ResetServiceWays();
    Ldm::SetRootGroupSource(Ldm::RootGroupSource());
  }

  Fdisk::Computer& Computer() { return registry_.Stage().GetComputer(computerId_); }
  std::vector<std::string> Ldmtool() {
    return Lines(LdmTest::Fixture("ldmtool-lines spanned " + dir_.Path()));
  }
  // A simple volume of 1024 sectors on the first disk, really made.
  std::pair<Common::Error, std::uint32_t> Create(const std::string& hint = "") {
    Fdisk::NamedVars::VarContainer p;
    p.Set(K::RealOperation, true);
    p.Set(K::VolumeType, Fdisk::kLdmVolSimple);
    p.Set(K::VolumeSize, Fdisk::NamedVars::VarU64(1024));
    std::deque<Fdisk::LdmOpRequest> requests(1);
    requests[0].diskId = driver_->Model().disks.back()->GetDiskId();
    requests[0].size = 1024;
    p.Set(K::OpRequest, requests);
    if (!hint.empty()) p.Set(K::DriveHint, hint);
    return driver_->CreatePortion(p);
  }

  DiskTest::TempDir dir_;
  MakersScope makers_;
  RegistryScope registry_;
  std::uint32_t computerId_ = registry_.Stage().CreateLocalComputer();
  std::vector<std::string> paths_;
  Fdisk::PSLdmDriver* driver_ = nullptr;
  std::vector<std::string> before_;
};

TEST_F(DriverWaysTest, WithoutServicesTheRawDatabaseIsWrittenAndNoServiceIsAskedAgain) {
  const auto made = Create();
  ASSERT_FALSE(made.first) << std::hex << Common::GetErrorCode(made.first);
  EXPECT_EQ(starts, 1) << "the Windows service was tried once";
  const std::vector<std::string> after = Ldmtool();
  EXPECT_EQ(after.size(), before_.size() + 1) << "ldmtool sees the volume the raw way wrote";
  // The driver has written the raw database: it is no longer pristine and
  // asks no service for the next volume.
  startSucceeds = true;
  EXPECT_FALSE(Create().first);
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(Ldmtool().size(), before_.size() + 2);
}

TEST_F(DriverWaysTest, ARefusedCheckOrForcedRawModeNeverAsksAService) {
  flags = 0;  // no client type: the service's check refuses
  startSucceeds = true;
  ASSERT_FALSE(Create().first);
  EXPECT_EQ(starts, 0);
  EXPECT_EQ(Ldmtool().size(), before_.size() + 1);
}

TEST_F(DriverWaysTest, TheWindowsServiceMakesTheVolumeAndTheRawDatabaseIsLeftToIt) {
  const std::string group = driver_->Model().groups.front()->name;
  FakeWindowsService service(group);
  startSucceeds = true;
  const auto made = Create("E");
  ASSERT_FALSE(made.first) << std::hex << Common::GetErrorCode(made.first);
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(service.sent, (std::vector<std::uint32_t>{Ldm::kOpCreateVolume, Ldm::kOpDriveHint}));
  EXPECT_EQ(service.letter, u'E');
  Ldm::LdmRecord* record = driver_->Model().groups.front()->FindRecord(0x9000);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(made.second, record->ModelId());
  EXPECT_EQ(record->volSize, 1024u);
  EXPECT_EQ(Ldmtool(), before_) << "the client itself writes nothing";
}

TEST_F(DriverWaysTest, TheVirtualDiskServiceIsAskedAndItsRefusalReported) {
  Ldm::VdsAccess::SetMaker(&MakeRefusingVds);
  const auto made = Create();
  EXPECT_EQ(Common::GetErrorCode(made.first), 0x109088u);
  EXPECT_EQ(RefusingVds::creates, 1);
  EXPECT_EQ(starts, 0) << "the Virtual Disk Service came first";
  EXPECT_EQ(Ldmtool(), before_);
}

// --- the same database through each way ---------------------------------------------
//
// The stand-in services below carry out the creation as a service would:
// the database on the disks is changed by another program (the disk tool,
// which writes it the raw way), and the service then reports what the
// disks hold. The client's part (asking, rescanning or reconciling,
// binding, finding the new volume) is what is under test; ldmtool judges
// the disks.

std::string Images(const std::vector<std::string>& paths) {
  std::string all;
  for (const std::string& p : paths) all += " '" + p + "'";
  return all;
}

std::vector<std::string> DiskTool(const std::vector<std::string>& paths, const std::string& args) {
  int status = -1;
  const std::string out =
      DiskTest::RunCommand(std::string(DISKIMAGE_PATH) + Images(paths) + " " + args, &status);
  EXPECT_EQ(status, 0) << args << ": " << out;
  return Lines(out);
}

constexpr const char* kCreate = "create-volume simple 1024 --disks 0";

// The configuration object a service keeps for a record.
std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> ObjectOf(const Ldm::LdmRecord& r) {
  std::vector<std::uint8_t> o(Ldm::kObjBytes, 0), d;
  Common::StoreLe16(&o[Ldm::kObjTypeOffset], r.type);
  Common::StoreLe64(&o[Ldm::kObjIdOffset], r.rid);
  std::memcpy(&o[Ldm::kObjNameOffset], r.name.data(), std::min<std::size_t>(r.name.size(), 31));
  auto text = [&](std::size_t at, const std::string& t, std::size_t width) {
    std::memcpy(&d[at], t.data(), std::min(t.size(), width - 1));
  };
  switch (r.type) {
    case Ldm::kRecordVolume:
      d.assign(Ldm::kVolumeDetailBytes, 0);
      Common::StoreLe64(&d[0x188], r.rid);
      text(0x90, r.name, 32);
      text(0x115, r.volType, 32);
      std::memcpy(&d[0x106], r.volState.data(), 14);
      d[0x114] = r.volTypeCode;
      Common::StoreLe32(&d[0x1B0], r.volNum);
      Common::StoreLe32(&d[0x1AC], r.volFlags);
      Common::StoreLe32(&d[0x1C0], r.numChild);
      Common::StoreLe64(&d[0x198], r.logComId);
      Common::StoreLe64(&d[0x1A0], r.id);
      Common::StoreLe64(&d[0x1C8], r.volSize);
      Common::StoreLe32(&d[0x1F4], r.partType);
      break;
    case Ldm::kRecordPlex:
      d.assign(Ldm::kPlexDetailBytes, 0);
      Common::StoreLe64(&d[0x110], r.rid);
      text(0x68, r.name, 32);
      text(0xFE, r.plxState, 14);
      d[0x138] = r.layout;
      Common::StoreLe32(&d[0x148], r.plxFlags);
      Common::StoreLe32(&d[0x14C], r.numChild);
      Common::StoreLe64(&d[0x128], r.logComId);
      Common::StoreLe64(&d[0x118], r.parent);
      Common::StoreLe32(&d[0x140], static_cast<std::uint32_t>(r.stripeSiz));
      Common::StoreLe32(&d[0x170], r.numCol);
      break;
    case Ldm::kRecordSubdisk:
      d.assign(Ldm::kSubdiskDetailBytes, 0);
      Common::StoreLe64(&d[0x198], r.rid);
      text(0xB0, r.name, 32);
      Common::StoreLe32(&d[0x1B8], r.sdFlags);
      Common::StoreLe64(&d[0x1B0], r.logComId);
      Common::StoreLe64(&d[0x1D0], r.start);
      Common::StoreLe64(&d[0x1C8], r.volOff);
      Common::StoreLe64(&d[0x1D8], r.size);
      Common::StoreLe64(&d[0x1A0], r.plexRid);
      Common::StoreLe64(&d[0x1A8], r.diskRid);
      Common::StoreLe32(&d[0x1EC], r.plexIdx);
      break;
    case Ldm::kRecordDisk:
      d.assign(Ldm::kDiskDetailBytes, 0);
      Common::StoreLe64(&d[0x2D0], r.rid);
      text(0x1F8, r.name, 32);
      text(0x26E, r.guidText, 65);
      Common::StoreLe32(&d[0x2E0], r.diskFlags);
      Common::StoreLe64(&d[0x2D8], r.logId);
      break;
    default:
      d.assign(Ldm::kGroupDetailBytes, 0);
      Common::StoreLe64(&d[0x118], r.rid);
      text(0x2D, r.name, 32);
      Common::StoreLe64(&d[0x120], r.logId);
      break;
  }
  return {o, d};
}

// A Windows service whose creation is the disk tool's, and whose
// configuration is read back from the disks by a second computer.
class ToolWindowsService : public FakeWindowsService {
 public:
  ToolWindowsService(const std::string& group, std::vector<std::string> images,
                     Fdisk::Stage& stage)
      : FakeWindowsService(group), images_(std::move(images)), stage_(stage) {}
  std::uint32_t Submit(std::uint32_t opcode, const Ldm::RequestFields&) override {
    sent.push_back(opcode);
    if (opcode != Ldm::kOpCreateVolume) return 0;
    DiskTool(images_, kCreate);
    // What the disks now hold, as a second computer reads them.
    const std::uint32_t id = stage_.CreateLocalComputer();
    Fdisk::Computer& reader = stage_.GetComputer(id);
    for (const std::string& p : images_) {
      reader.AddDisk(std::make_unique<DiskTest::TestDisk>(
          std::make_unique<DiskTest::ImageDisk>(p, 512, true)));
    }
    reader.GetPortionManager().Refresh(Fdisk::PSManager::kRefreshFull);
    objects.clear();
    for (const auto& d : reader.GetDriverFactory().GetDrivers()) {
      auto* ldm = dynamic_cast<Fdisk::PSLdmDriver*>(d.second.get());
      if (ldm == nullptr) continue;
      for (const auto& r : ldm->Model().groups.front()->records) objects.push_back(ObjectOf(*r));
    }
    return 0;
  }

 private:
  std::vector<std::string> images_;
  Fdisk::Stage& stage_;
};

// A Virtual Disk Service whose creation is the disk tool's, and which
// reports the new volume's plex where the disks now hold it.
class ToolVds : public RefusingVds {
 public:
  static std::vector<std::string> images;
  static Fdisk::PSLdmDriver* driver;
  std::int32_t QueryDisks(const Ldm::VdsId&, std::vector<Ldm::VdsDiskInfo>& out) override {
    out.clear();
    for (std::size_t n = 0; n < images.size(); ++n) {
      Ldm::VdsDiskInfo disk;
      disk.id[0] = static_cast<std::uint8_t>(0x20 + n);
      disk.name = u"\\\\?\\PhysicalDrive" + std::u16string(1, char16_t(u'0' + n));
      out.push_back(disk);
    }
    return 0;
  }
  std::int32_t QueryVolumes(const Ldm::VdsId&, std::vector<Ldm::VdsVolumeInfo>& out) override {
    out = volumes_;
    return 0;
  }
  std::int32_t CreateVolume(const Ldm::VdsId&, std::uint32_t, const std::vector<Ldm::VdsInputDisk>&,
                            std::uint32_t, Ldm::VdsId& volume) override {
    ++creates;
    const std::vector<std::string> before = DiskTool(images, "volumes");
    DiskTool(images, kCreate);
    for (const std::string& line : DiskTool(images, "volumes")) {
      if (std::find(before.begin(), before.end(), line) != before.end()) continue;
      // EXTENTS: DISK:OFFSET+COUNT, OFFSET in the member's public region.
      const std::string extents = LdmTest::Fields(line).at(6);
      const std::size_t colon = extents.find(':');
      const std::size_t plus = extents.find('+');
      const std::string diskName = extents.substr(0, colon);
      const std::uint64_t offset = std::stoull(extents.substr(colon + 1, plus - colon - 1));
      const std::uint64_t count = std::stoull(extents.substr(plus + 1));
      Ldm::LdmDgAccess& group = *driver->Model().groups.front();
      Ldm::LdmDisk* disk = group.FindDisk(group.FindRecordByName(diskName)->rid);
      Ldm::VdsVolumeInfo v;
      v.id[0] = 0x50;
      Ldm::VdsPlexInfo plex;
      plex.id[0] = 0x51;
      plex.extents = {{disk->vdsId, Ldm::kVdsExtentData, (disk->publicStart + offset) * 512,
                       count * 512}};
      v.plexes = {plex};
      volumes_ = {v};
      volume = v.id;
    }
    return 0;
  }

 private:
  std::vector<Ldm::VdsVolumeInfo> volumes_;
};
std::vector<std::string> ToolVds::images;
Fdisk::PSLdmDriver* ToolVds::driver = nullptr;
std::unique_ptr<Ldm::VdsService> MakeToolVds() { return std::make_unique<ToolVds>(); }

TEST_F(DriverWaysTest, TheVirtualDiskServiceWayLeavesTheDatabaseTheRawWayLeaves) {
  // The raw way's result, on a copy of the fixture of its own.
  DiskTest::TempDir rawDir;
  const std::vector<std::string> rawImages =
      Lines(LdmTest::Fixture("build spanned " + rawDir.Path()));
  DiskTool(rawImages, kCreate);
  const std::vector<std::string> expected =
      Lines(LdmTest::Fixture("ldmtool-lines spanned " + rawDir.Path()));
  ASSERT_EQ(expected.size(), before_.size() + 1);

  // The Virtual Disk Service way.
  std::uint32_t n = 0;
  for (auto it = driver_->Model().disks.rbegin(); it != driver_->Model().disks.rend(); ++it) {
    (*it)->modelDisk->GetProperties().Set(K::DiskNumber, ++n);
  }
  ToolVds::images = paths_;
  ToolVds::driver = driver_;
  Ldm::VdsAccess::SetMaker(&MakeToolVds);
  const auto made = Create();
  ASSERT_FALSE(made.first) << std::hex << Common::GetErrorCode(made.first);
  EXPECT_EQ(RefusingVds::creates, 1) << "the service made the volume";
  EXPECT_EQ(starts, 0);
  EXPECT_EQ(Ldmtool(), expected);
  // The driver's model is what the disks hold, too.
  std::vector<std::string> ours = Ldm::VolumeLines(*driver_);
  for (std::string& line : ours) {
    std::vector<std::string> f = LdmTest::Fields(line);
    f[5] = "-";
    line = f[0];
    for (std::size_t i = 1; i < f.size(); ++i) line += "\t" + f[i];
  }
  EXPECT_EQ(ours, expected);
  const Ldm::LdmRecord* record = Ldm::FindVolumeByVdsId(*driver_->Model().groups.front(),
                                                        Ldm::VdsId{0x50});
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(made.second, record->ModelId());
}

TEST_F(DriverWaysTest, TheWindowsWayLeavesTheDatabaseTheRawWayLeaves) {
  DiskTest::TempDir rawDir;
  const std::vector<std::string> rawImages =
      Lines(LdmTest::Fixture("build spanned " + rawDir.Path()));
  DiskTool(rawImages, kCreate);
  const std::vector<std::string> expected =
      Lines(LdmTest::Fixture("ldmtool-lines spanned " + rawDir.Path()));

  ToolWindowsService service(driver_->Model().groups.front()->name, paths_, registry_.Stage());
  startSucceeds = true;
  const auto made = Create();
  ASSERT_FALSE(made.first) << std::hex << Common::GetErrorCode(made.first);
  EXPECT_EQ(service.sent, std::vector<std::uint32_t>{Ldm::kOpCreateVolume})
      << "the service made the volume";
  EXPECT_EQ(Ldmtool(), expected);
  // The reconciled model presents what the disks hold.
  std::vector<std::string> ours = Ldm::VolumeLines(*driver_);
  for (std::string& line : ours) {
    std::vector<std::string> f = LdmTest::Fields(line);
    f[5] = "-";
    line = f[0];
    for (std::size_t i = 1; i < f.size(); ++i) line += "\t" + f[i];
  }
  EXPECT_EQ(ours, expected);
  bool found = false;
  for (const auto& r : driver_->Model().groups.front()->records) {
    found = found || (r->type == Ldm::kRecordVolume && r->ModelId() == made.second);
  }
  EXPECT_TRUE(found);
}

// --- a disk brought into the model ----------------------------------------------------

TEST_F(DriverWaysTest, ADiskBroughtInAgainJoinsItsGroupOnceWithAFreshIdentity) {
  Ldm::LdmComputer& model = driver_->Model();
  Ldm::LdmDisk& disk = *model.disks.back();
  Ldm::LdmDgAccess* group = disk.group;
  ASSERT_NE(group, nullptr);
  const std::uint32_t oldOwnId = disk.ownId;
  const std::size_t members = group->members.size();
  const std::size_t volumes = model.volumes.size();
  Ldm::LdmDgAccess* joined = nullptr;
  EXPECT_FALSE(Ldm::AddDisk(model, disk, &joined));
  EXPECT_EQ(joined, group);
  EXPECT_EQ(disk.group, group);
  EXPECT_EQ(disk.type, Ldm::kDiskDynamic);
  EXPECT_NE(disk.ownId, oldOwnId);
  EXPECT_EQ(group->members.size(), members);
  EXPECT_EQ(model.volumes.size(), volumes) << "the rescan adds no second summary";
  EXPECT_EQ(Ldm::FindDiskGroupOfDisk(model, disk), group);
  // The group is marked as the machine's own by the flags (0x40).
  EXPECT_TRUE(group->rootLike);
  EXPECT_EQ(Ldm::GetRootDiskGroup(model), group);
}

}  // namespace

#endif  // !_WIN32
