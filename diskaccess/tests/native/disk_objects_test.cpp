// The per-disk records of the older layer's disks (view flags, marks and
// modes, boot manager, signature, CHS use, the disk GUID), dropping and
// resetting a disk's holders, the disk conversion and the wait for a new
// volume on the pseudo-disk; the computer's name, and the ordered insertion
// of new disks over the stand-in's drives.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "foundation/guid.h"
#include "holder_fixture.h"
#include "standin_fixture.h"

namespace {

class BareDisk : public plain_disk {
 public:
  Common::Error OpInt(std::uint32_t, std::uint64_t, void*, std::uint64_t) override {
    return Common::Error();
  }
};

class BareLocalDisk : public local_disk {};

// A computer whose volumes the test lays out: each appears after a number
// of volume-count queries.
class VolumeComputer : public plain_computer {
 public:
  struct Volume {
    Common::Guid guid;
    bool hasGuid = true;
    std::vector<DaExtent> extents;  // by disk number, as the system names them
    std::uint32_t visibleFromQuery = 0;
  };
  class Handler : public vol_handler {
   public:
    explicit Handler(const Volume& v) : vol_handler(0), volume_(v) {}
    Common::Error VolGetSysGuid(std::unique_ptr<Common::Guid>& g) override {
      if (volume_.hasGuid) g = std::make_unique<Common::Guid>(volume_.guid);
      return Common::Error();
    }
    Common::Error VolGetLocations(std::vector<DaExtent>& list, std::uint32_t& flag) override {
      list = volume_.extents;
      flag = 0;
      return Common::Error();
    }

   private:
    Volume volume_;
  };

  ~VolumeComputer() override {
    while (firstDisk != nullptr) UnlinkDisk(firstDisk);
  }
  Common::Error SbGetVolumeCnt(std::uint32_t& count) override {
    ++queries;
    if (failCount) return Common::Error(1, 2, 0x10ABCD);
    count = 0;
    for (const Volume& v : volumes)
      if (v.visibleFromQuery <= queries) ++count;
    return Common::Error();
  }
  Common::Error OpenVolume(std::uint32_t index, std::shared_ptr<vol_handler>& out) override {
    out.reset();
    std::uint32_t n = 0;
    for (const Volume& v : volumes)
      if (v.visibleFromQuery <= queries && ++n == index) out = std::make_shared<Handler>(v);
    return Common::Error();
  }

  std::vector<Volume> volumes;
  std::uint32_t queries = 0;
  bool failCount = false;
};

void NoWait() {}

TEST(DiskRecords, ViewFlagsAreKeptOnlyForThreeKindsAndFiveViews) {
  BareDisk disk;
  struct Case {
    std::uint32_t kind, view;
    bool kept;
  };
  const Case cases[] = {{0, 0, true}, {2, 4, true}, {1, 3, true},
                        {3, 0, false}, {0, 5, false}, {7, 9, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.kind) + "," + std::to_string(c.view));
    disk.SetViewFlag(c.kind, c.view, 1);
    EXPECT_EQ(disk.GetViewFlag(c.kind, c.view), c.kept ? 1 : 0);
  }
  // Nothing spilled into a neighbouring cell.
  EXPECT_EQ(disk.GetViewFlag(0, 1), 0);
  EXPECT_EQ(disk.GetViewFlag(1, 0), 0);
  // A disk that is not a plain disk keeps none.
  disk_easy_vol pseudo(nullptr);
  pseudo.SetViewFlag(0, 0, 1);
  EXPECT_EQ(pseudo.GetViewFlag(0, 0), 0);
}

TEST(DiskRecords, MarksModesAndTheOtherWordsAreKeptByPlainDisksOnly) {
  BareDisk disk;
  disk_easy_vol pseudo(nullptr);
  for (stddisk* d : {static_cast<stddisk*>(&disk), static_cast<stddisk*>(&pseudo)}) {
    const bool plain = d == &disk;
    SCOPED_TRACE(plain ? "plain disk" : "pseudo-disk");
    EXPECT_EQ(d->GetMode(), plain ? 2 : 0);
    d->SetMark(0xEE);
    d->SetMode(5);
    d->SaveMarks();
    d->SetMark(0);
    d->SetMode(1);
    EXPECT_EQ(d->GetMark(), 0);
    EXPECT_EQ(d->GetMode(), plain ? 1 : 0);
    d->RestoreMarks();
    EXPECT_EQ(d->GetMark(), plain ? 0xEE : 0);
    EXPECT_EQ(d->GetMode(), plain ? 5 : 0);
    d->SetSignature(0x12345678);
    EXPECT_EQ(d->GetSignature(), plain ? 0x12345678u : 0u);
    d->SetBootManager(1);
    EXPECT_EQ(d->HasBootManager(), plain);
    EXPECT_EQ(d->GetBootRecordArea() != nullptr, plain);
    d->SetHideableType(1);
    EXPECT_EQ(d->HasHideableType(), plain);
    d->SetLetterFlag(1);
    EXPECT_EQ(d->GetLetterFlag(), plain);
    d->SetSchemeType(0xEE);
    EXPECT_EQ(d->GetSchemeType(), plain ? 0xEEu : 0u);
    EXPECT_EQ(d->AreSchemeTypesEqual(), false);
    d->SetLevel(3);
    EXPECT_EQ(d->GetLevel(), 3u);  // every disk keeps its level
    EXPECT_TRUE(d->IsGeometryOk());
    EXPECT_EQ(d->IsChsCapable(), plain);
    EXPECT_EQ(d->GetTreeExtra(0), 0u);
  }
  // The boot manager and the scheme type belong to the working tree.
  EXPECT_EQ(disk.trees[0].boot_manager, 1);
  EXPECT_EQ(disk.trees[1].boot_manager, 0);
  disk.trees[1].scheme_type = 0xEE;
  EXPECT_TRUE(disk.AreSchemeTypesEqual());
  disk.trees[1].extra = 9;
  EXPECT_EQ(disk.GetTreeExtra(1), 9u);
  EXPECT_EQ(disk.GetTreeExtra(3), 0u);
}

TEST(DiskRecords, ChsIsUsedOnlyOnANativeComputersChsCapableDisk) {
  VolumeComputer computer;
  BareDisk disk;
  EXPECT_FALSE(disk.CanUseChs());  // no computer
  computer.AppendDisk(&disk);
  EXPECT_TRUE(disk.CanUseChs());
  computer.nativeStatus = 0;
  EXPECT_FALSE(disk.CanUseChs());
  computer.nativeStatus = 1;
  disk_easy_vol pseudo(&computer);
  EXPECT_FALSE(pseudo.CanUseChs());
  disk.chs_limit = 16450559;
  EXPECT_EQ(disk.GetChsLimit(), 16450559u);
  EXPECT_EQ(pseudo.GetChsLimit(), 0u);
  computer.UnlinkDisk(&disk);
}

TEST(DiskRecords, TheDiskGuidComesFromTheTreeOrElseFromTheTopHolder) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeGptImage(dir, "g.img", 8, "-n 1:2048:+1M");
  const std::string out = DiskTest::RunCommand("sgdisk -p " + path);
  DaTest::FileDisk disk(path, 512);
  EXPECT_EQ(disk.GetDiskGuid(0), nullptr);
  DaReadHolders(&disk, kWalkFollowChains);
  const std::uint8_t* g = disk.GetDiskGuid(0);
  ASSERT_NE(g, nullptr);
  Common::Guid guid;
  std::memcpy(guid.bytes, g, 16);
  std::string text = Common::GuidToString(guid);
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_NE(out.find(text.substr(text.front() == '{' ? 1 : 0, 36)), std::string::npos) << out;
  disk.trees[0].disk_guid[3] = 7;
  EXPECT_EQ(disk.GetDiskGuid(0), disk.trees[0].disk_guid);
  EXPECT_EQ(disk.GetDiskGuid(5), nullptr);
}

TEST(DiskHolders, DroppingKeepsTablesAndPartitionsApartUntilTheTreeIsReset) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeMbrImage(
      dir, "m.img", 64,
      "label: dos\nstart=2048, size=8192, type=83\nstart=20480, size=40960, type=5\n"
      "start=22528, size=4096, type=83\nstart=30720, size=4096, type=7\n");
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  std::uint32_t kept = 0;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (!h->IsFreeSpace()) ++kept;
  ASSERT_GT(kept, 3u);
  disk.DropHolders();
  EXPECT_EQ(disk.holder_list.first, nullptr);
  EXPECT_EQ(disk.dropped_holders.Count(), kept);
  for (holder* h = disk.dropped_holders.first; h != nullptr; h = h->next) {
    EXPECT_EQ(h->disk, nullptr);
    EXPECT_FALSE(h->IsFreeSpace());
  }
  disk.trees[0].extra = 4;
  disk.ResetWorkingTree();
  EXPECT_EQ(disk.dropped_holders.first, nullptr);
  EXPECT_EQ(disk.read_context.top, nullptr);
  EXPECT_EQ(disk.read_context.table, nullptr);
  EXPECT_EQ(disk.trees[0].extra, 0u);
  // The disk reads again from nothing.
  DaReadHolders(&disk, kWalkFollowChains);
  EXPECT_EQ(DaTest::TreeRows(disk), DaTest::SfdiskRows(path));
}

class ConversionSink : public DaChangeSink {
 public:
  ConversionSink() { previous_ = DaSetChangeSink(this); }
  ~ConversionSink() override { DaSetChangeSink(previous_); }
  void AnnounceChange(da_computer*, bool, stddisk*, std::uint32_t) override {}
  void CaptureBootRecords(holder*, bool) override {}
  Common::Error ConvertToDynamicDisk(stddisk* disk, std::uint32_t a, std::uint32_t b) override {
    seen = disk;
    args = {a, b};
    return answer;
  }
  Common::Error CreateDynamicVolume(plain_computer* c, const void* request) override {
    volumeComputer = c;
    volumeRequest = request;
    return answer;
  }
  stddisk* seen = nullptr;
  std::vector<std::uint32_t> args;
  plain_computer* volumeComputer = nullptr;
  const void* volumeRequest = nullptr;
  Common::Error answer;

 private:
  DaChangeSink* previous_;
};

TEST(DiskConversion, OnlyLocalDisksConvertAndAFailureIsNeverReportedAsDone) {
  BareLocalDisk local;
  BareDisk plain;
  // Without the disk model's conversion there is no success to report.
  EXPECT_NE(local.MakeDynamic(1, 2).Code(), 0u);
  {
    ConversionSink sink;
    EXPECT_EQ(plain.MakeDynamic(1, 2).Code(), 0u);
    EXPECT_EQ(sink.seen, nullptr);
    EXPECT_EQ(local.MakeDynamic(1, 2).Code(), 0u);
    EXPECT_EQ(sink.seen, &local);
    EXPECT_EQ(sink.args, (std::vector<std::uint32_t>{1, 2}));
    sink.answer = Common::Error(1, 2, 0x100777);
    EXPECT_EQ(local.MakeDynamic(3, 4).Code(), 0x100777u);
  }
  VolumeComputer computer;
  int request = 0;
  EXPECT_NE(computer.CreateDynamicVolume(&request).Code(), 0u);  // no model computer
  computer.fdiskComputer = 7;
  ConversionSink sink;
  EXPECT_EQ(computer.CreateDynamicVolume(&request).Code(), 0u);
  EXPECT_EQ(sink.volumeComputer, &computer);
  EXPECT_EQ(sink.volumeRequest, &request);
}

TEST(PseudoDisk, ANewVolumeIsAwaitedAndAttachedByGuidAndExtents) {
  Common::Guid id, other;
  ASSERT_TRUE(Common::GuidFromString(id, "6F1A2B3C-0000-4000-8000-00000000AB01"));
  ASSERT_TRUE(Common::GuidFromString(other, "6F1A2B3C-0000-4000-8000-00000000AB02"));
  const DaExtent a{0, 1, 2048, 4096}, b{0, 2, 63, 1000};
  struct Case {
    const char* name;
    std::vector<VolumeComputer::Volume> volumes;
    bool failCount;
    std::uint32_t code;     // 0: attached
    std::uint32_t queries;  // tries made
  };
  const Case cases[] = {
      {"there at once, extents in another order",
       {{other, true, {a, b}, 0}, {id, true, {b, a}, 0}}, false, 0, 1},
      {"mounted on the third try", {{id, true, {a, b}, 3}}, false, 0, 3},
      {"a volume without GUID matches by extents", {{id, false, {a, b}, 0}}, false, 0, 1},
      {"wrong GUID", {{other, true, {a, b}, 0}}, false, 0x100156, 5},
      {"one extent short", {{id, true, {a}, 0}}, false, 0x100156, 5},
      {"an extent on another disk", {{id, true, {a, {0, 3, 63, 1000}}, 0}}, false, 0x100156, 5},
      {"the count fails", {{id, true, {a, b}, 0}}, true, 0x10ABCD, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VolumeComputer computer;
    BareDisk one, two, three;
    computer.AppendDisk(&one);
    computer.AppendDisk(&two);
    computer.AppendDisk(&three);
    computer.volumes = c.volumes;
    computer.failCount = c.failCount;
    win_disk_easy_vol pseudo(&computer);
    pseudo.wait_a_second = NoWait;
    pseudo.attempts = 5;
    // The holder names its disks by id.
    std::vector<DaExtent> extents = {{one.id, 0, 2048, 4096}, {two.id, 0, 63, 1000}};
    auto* h = new holder_easy_vol(&pseudo, extents, 5096, id.bytes, 1);
    const Common::Error e = pseudo.AttachNewVolume(h);
    EXPECT_EQ(e.Code(), c.code);
    EXPECT_EQ(h->GetVolumeHandler() != nullptr, c.code == 0);
    EXPECT_EQ(computer.queries, c.queries);
    h->SetVolumeHandler(nullptr);
    delete h;
    computer.UnlinkDisk(&three);
    computer.UnlinkDisk(&two);
    computer.UnlinkDisk(&one);
  }
}

TEST(Computer, NameAndValueBelongToTheLocalComputer) {
  DiskTest::TempDir dir;
  DaTest::StandinConfig config(dir);
  config.Install("drive " + DaTest::MakeMbrImage(dir, "n.img", 8,
                                                 "label: dos\nstart=2048, type=83\n") + "\n");
  DaInit(0x1C11);
  da_computer* c = DaLocalComputer();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->GetName(), nullptr);
  c->SetName(u"host", 42);
  ASSERT_NE(c->GetName(), nullptr);
  EXPECT_EQ(std::u16string(c->GetName()), u"host");
  EXPECT_EQ(c->GetValue(), 42u);
  c->SetName(nullptr, 7);  // keeps the name
  EXPECT_EQ(std::u16string(c->GetName()), u"host");
  EXPECT_EQ(c->GetValue(), 7u);
  EXPECT_TRUE(c->IsSet(2));
  EXPECT_FALSE(c->IsSet(0));
  EXPECT_FALSE(c->IsEmulated());
  DaDone();
  VolumeComputer bare;  // a plain computer has neither
  bare.SetName(u"x", 1);
  EXPECT_EQ(bare.GetName(), nullptr);
  EXPECT_EQ(bare.GetValue(), 0u);
}

TEST(Computer, WithDiskOrderNewDisksGoInByBusAddress) {
  struct Case {
    const char* name;
    std::vector<std::string> drives;
    bool ordered;
    std::vector<int> order;  // configuration positions, 1-based, in list order
  };
  const Case cases[] = {
      {"appended without the capability", {"interface=7", "interface=1", "interface=4"}, false,
       {1, 2, 3}},
      {"by bus rank", {"interface=7", "interface=1", "interface=4"}, true, {2, 3, 1}},
      {"equal ranks keep the target order", {"interface=3", "interface=3", "interface=1"}, true,
       {3, 1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DiskTest::TempDir dir;
    DaTest::StandinConfig config(dir);
    std::string lines;
    for (std::size_t i = 0; i < c.drives.size(); ++i)
      lines += "drive " +
               DaTest::MakeMbrImage(dir, "o" + std::to_string(i) + ".img", 8,
                                    "label: dos\nstart=2048, type=83\n") +
               " " + c.drives[i] + "\n";
    config.Install(lines);
    DaInit(0x1C11);
    auto* computer = dynamic_cast<local_computer*>(DaLocalComputer());
    ASSERT_NE(computer, nullptr);
    // Forget the drives and scan again with the capability as the case says.
    std::vector<stddisk*> old;
    for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next)
      if (!d->IsEasyVolumeDisk()) old.push_back(d);
    for (stddisk* d : old) {
      computer->UnlinkDisk(d);
      computer->removedDisks.push_back(d);
    }
    if (c.ordered) computer->capabilities |= kCapDiskOrder;
    computer->ScanDisks(0x1C11);
    std::vector<int> order;
    for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next)
      if (!d->IsEasyVolumeDisk()) order.push_back(static_cast<int>(d->GetDriveNumber()));
    EXPECT_EQ(order, c.order);
    EXPECT_TRUE(computer->lastDisk->IsEasyVolumeDisk());
    DaDone();
  }
}

}  // namespace
