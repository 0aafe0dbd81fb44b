// DaInit(0x1C11) then DaDone over the stand-in library with three images:
// the library calls in their order, what the scan found, and that nothing
// is left afterwards.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/objects.h"
#include "diskaccess/win_computer.h"
#include "standin_fixture.h"

namespace {

using DaTest::StandinConfig;

constexpr char kPartGuid[] = "6B3C2B4E-1A47-4F2B-9C1D-3E5F7A9B0C11";

std::string GuidText(const std::uint8_t* bytes) {
  Common::Guid g;
  std::memcpy(g.bytes, bytes, 16);
  return Common::GuidToString(g);
}

class DaInitRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    // Two primaries and a logical partition in an extended one.
    mbr_ = DaTest::MakeMbrImage(dir_, "mbr.img", 64,
                                "label: dos\n"
                                "label-id: 0x1badcafe\n"
                                "start=2048, size=20480, type=7, bootable\n"
                                "start=22528, size=81920, type=5\n"
                                "start=24576, size=16384, type=83\n"
                                "start=104448, size=8192, type=c\n");
    gpt_ = DaTest::MakeGptImage(dir_, "gpt.img", 64,
                                std::string("-n 1:2048:+16M -t 1:0700 -u 1:") + kPartGuid +
                                    " -c 1:data -n 2:0:+8M -t 2:8300");
    small_ = DaTest::MakeMbrImage(dir_, "small.img", 16, "label: dos\nstart=2048, type=c\n");
  }

  void InstallThreeDrives() {
    config_.Install("drive " + mbr_ + " model=\"  Disk   One \"\n" +
                    "drive " + gpt_ + "\n" +
                    "drive " + small_ + " bios=0x81\n" +
                    "volume 1:2048+20480 letter=D\n"
                    "volume 1:24576+16384 letter=E\n"
                    "volume 2:2048+32768 letter=F guid=" + kPartGuid + "\n"
                    "volume 3:2048+30720 letter=G\n"
                    "volume 1:104448+8192 skip\n");
  }

  DiskTest::TempDir dir_;
  StandinConfig config_{dir_};
  std::string mbr_, gpt_, small_;
};

TEST_F(DaInitRoad, MakesTheFirstInitCallsInOrderAndLeavesNothing) {
  InstallThreeDrives();
  DaInit(0x1C11);
  DaDone();

  const std::vector<std::string> expected = {
      "sbInitLibEx",      "sbAddNotification", "sbGetDrives",
      "sbOpenDrive",      "sbGetDriveInfo",    "sbOpenDrive",
      "sbGetDriveInfo",   "sbOpenDrive",       "sbGetDriveInfo",
      "sbReadDrive+",     "sbGetFreeLetters",  "sbGetVolumes",
      "sbOpenVolume",     "sbGetVolumeInfo+",  "sbOpenVolume",
      "sbGetVolumeInfo+", "sbOpenVolume",      "sbGetVolumeInfo+",
      "sbOpenVolume",     "sbGetVolumeInfo+",  "sbOpenVolume",
      "sbGetVolumeStat+", "sbClose+",          "sbRemoveNotification",
      "sbDoneLib"};
  EXPECT_EQ(config_.CallNames({"sbReadDrive", "sbGetVolumeInfo", "sbGetVolumeStat", "sbClose"}),
            expected);

  // The library was set up in native mode with every event, and every
  // handle it gave out was closed once.
  std::set<std::string> opened, closed;
  unsigned stats = 0;
  for (const std::string& line : config_.LogLines()) {
    if (line.rfind("sbInitLibEx(", 0) == 0) {
      EXPECT_NE(line.find("flags=0x10)"), std::string::npos) << line;
    }
    if (line.rfind("sbAddNotification(", 0) == 0) {
      EXPECT_EQ(line.rfind("sbAddNotification(callback, 95, 0) = 0", 0), 0u) << line;
    }
    const auto handle = line.find("handle=");
    if (handle != std::string::npos && line.find(") = 0 ") != std::string::npos)
      opened.insert(line.substr(handle + 7));
    if (line.rfind("sbClose(", 0) == 0) {
      EXPECT_TRUE(closed.insert(line.substr(8, line.find(')') - 8)).second) << line;
    }
    if (line.rfind("sbGetVolumeStat(", 0) == 0) ++stats;
  }
  EXPECT_EQ(opened.size(), 3u + 4u);  // three drives, four volumes (one skipped)
  EXPECT_EQ(opened, closed);
  EXPECT_EQ(stats, 4u);

  // The library's own account at its end: its one notification thread ran
  // until then and none outlived it; nothing else was left.
  const std::vector<std::string> lines = config_.LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "sbDoneLib() = 0 threads_before=1 left: handles=0 locks=0 callbacks=0 "
                          "threads=0");

  const sblib_standin::Census census = sblib_standin::TakeCensus();
  EXPECT_EQ(census.handles, 0u);
  EXPECT_EQ(census.locks, 0u);
  EXPECT_EQ(census.threads, 0u);
  EXPECT_FALSE(census.initialised);
  EXPECT_FALSE(DaIsInitialised());
  EXPECT_EQ(DaComputerCount(), 0u);
  EXPECT_EQ(DaLocalComputer(), nullptr);
  EXPECT_FALSE(DaHasGlobalLock());
  EXPECT_EQ(DaVolumeInfoCacheSize(), 0u);
}

TEST_F(DaInitRoad, ReadsThePartitionTablesAndMapsTheVolumes) {
  InstallThreeDrives();
  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  EXPECT_TRUE(computer->lastError.IsNull());
  EXPECT_EQ(computer->capabilities & kCapUefi, 0u);  // the portable build has no firmware
  ASSERT_EQ(computer->DiskCount(), 4u);               // three drives and the pseudo-disk
  EXPECT_TRUE(computer->lastDisk->IsEasyVolumeDisk());

  struct Part {
    std::uint64_t start, size;
    std::uint8_t type;
    std::uint8_t letter;
  };
  auto partitions = [](stddisk* d) {
    std::vector<Part> out;
    for (holder* h = d->holder_list.first; h != nullptr; h = h->next)
      if (h->IsPartition()) out.push_back({h->start, h->size, h->GetType(), h->GetLetter(kLiveView)});
    return out;
  };

  stddisk* mbr = computer->FirstDisk();
  ASSERT_NE(mbr->model, nullptr);
  EXPECT_EQ(*mbr->model, "Disk One");
  EXPECT_EQ(mbr->GetSchemeType(), 0u);
  EXPECT_EQ(static_cast<plain_disk*>(mbr)->signature, 0x1badcafeu);
  const std::vector<Part> mbrParts = partitions(mbr);
  ASSERT_EQ(mbrParts.size(), 3u);
  EXPECT_EQ(mbrParts[0].start, 2048u);
  EXPECT_EQ(mbrParts[0].size, 20480u);
  EXPECT_EQ(mbrParts[0].type, 0x07);
  EXPECT_EQ(mbrParts[0].letter, 'D');
  EXPECT_EQ(mbrParts[1].start, 24576u);  // the logical partition, through its EBR
  EXPECT_EQ(mbrParts[1].size, 16384u);
  EXPECT_EQ(mbrParts[1].type, 0x83);
  EXPECT_EQ(mbrParts[1].letter, 'E');
  EXPECT_EQ(mbrParts[2].start, 104448u);
  EXPECT_EQ(mbrParts[2].type, 0x0C);
  EXPECT_EQ(mbrParts[2].letter, kNoLetter);  // its volume asked to be passed over
  // The volume-information pass hung a file-system description with its
  // cache entry on every partition.
  for (holder* h = mbr->holder_list.first; h != nullptr; h = h->next) {
    if (!h->IsPartition()) continue;
    std::shared_ptr<virt_fs> fs = GetVirtFs(h);
    ASSERT_NE(fs, nullptr) << h->start;
    ASSERT_NE(fs->entry, nullptr) << h->start;
    EXPECT_EQ(fs->entry->params.Start, h->start);
    EXPECT_EQ(fs->first_type, KindFromType(h->GetType())) << h->start;
  }

  stddisk* gpt = mbr->next;
  EXPECT_EQ(gpt->GetSchemeType(), 0xEEu);
  ASSERT_EQ(partitions(gpt).size(), 2u);
  EXPECT_EQ(partitions(gpt)[0].start, 2048u);
  EXPECT_EQ(partitions(gpt)[0].size, 32768u);
  // The GPT volume hangs in the pseudo-disk, found by its unique GUID,
  // beside the disk's other GPT partition as the disk model shows it.
  ASSERT_EQ(computer->lastDisk->second_list.Count(), 2u);
  const holder& easy = *computer->lastDisk->second_list.first;
  EXPECT_EQ(easy.GetLetter(kLiveView), 'F');
  ASSERT_NE(easy.GetUniqueGuid(), nullptr);
  EXPECT_EQ(GuidText(easy.GetUniqueGuid()), kPartGuid);
  holder* first = nullptr;
  for (holder* h = gpt->holder_list.first; h != nullptr && first == nullptr; h = h->next)
    if (h->IsPartition()) first = h;
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first->GetUniqueGuid(), nullptr);
  EXPECT_EQ(GuidText(first->GetUniqueGuid()), kPartGuid);
  // The working tree is the holder tree the scan read.
  EXPECT_EQ(mbr->GetTree(0)->table, mbr->read_context.top);

  stddisk* small = gpt->next;
  EXPECT_EQ(small->bios_number, 0x81);
  EXPECT_EQ(partitions(small).size(), 1u);
  EXPECT_EQ(partitions(small)[0].letter, 'G');
  DaDone();
}

TEST_F(DaInitRoad, SkipsADriveWhoseSectorSizeTheDiskCannotTake) {
  config_.Install("drive " + small_ + " sector=131072\n" + "drive " + mbr_ + "\n");
  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  ASSERT_EQ(computer->DiskCount(), 2u);  // the good drive and the pseudo-disk
  EXPECT_EQ(computer->FirstDisk()->GetDriveNumber(), 2u);
  DaDone();
  // The refused drive's handle was closed at once; nothing was read from it.
  std::string refusedHandle;
  for (const std::string& line : config_.LogLines()) {
    if (line.rfind("sbOpenDrive(1)", 0) == 0)
      refusedHandle = line.substr(line.find("handle=") + 7);
  }
  ASSERT_FALSE(refusedHandle.empty());
  for (const std::string& line : config_.LogLines())
    EXPECT_NE(line.rfind("sbReadDrive(" + refusedHandle + ",", 0), 0u) << line;
  EXPECT_EQ(sblib_standin::TakeCensus().handles, 0u);
}

TEST_F(DaInitRoad, AFailingLibrarySetUpOpensNoDriveAndStillEndsCleanly) {
  config_.Install("drive " + mbr_ + "\nfail sbInitLibEx 21\n");
  DaInit(0x1C11);
  da_computer* computer = DaLocalComputer();
  ASSERT_NE(computer, nullptr);
  EXPECT_EQ(computer->lastError.Code(), 0x100005u);
  EXPECT_EQ(computer->DiskCount(), 0u);
  DaDone();
  for (const std::string& line : config_.LogLines()) {
    EXPECT_NE(line.rfind("sbOpenDrive", 0), 0u) << line;
    EXPECT_NE(line.rfind("sbAddNotification", 0), 0u) << line;
  }
  EXPECT_FALSE(DaIsInitialised());
  EXPECT_EQ(DaComputerCount(), 0u);
}

}  // namespace

namespace {

TEST_F(DaInitRoad, ADamagedPrimaryGptIsReadFromItsBackup) {
  // Zero the primary header; sgdisk finds it damaged and the backup whole.
  ASSERT_TRUE(DaTest::Run("dd if=/dev/zero of=" + gpt_ + " bs=512 seek=1 count=1 conv=notrunc"));
  ASSERT_TRUE(DaTest::Run("sgdisk -v " + gpt_ + " 2>&1 | grep -q 'Main header: ERROR'"));
  config_.Install("drive " + gpt_ + "\n");
  DaInit(0x1C11);
  stddisk* disk = DaLocalComputer()->FirstDisk();
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->GetSchemeType(), 0xEEu);
  std::vector<std::uint64_t> starts;
  for (holder* h = disk->holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition()) starts.push_back(h->start);
  EXPECT_EQ(starts, (std::vector<std::uint64_t>{2048, 34816}));
  DaDone();
}

}  // namespace
