// The resizer's partition callbacks as the holder layer uses them, over
// images that sfdisk made: the type a FAT partition gets when its LBA type
// is taken back, and the wipe of a device used whole.
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/geometry.h"
#include "diskaccess/holders.h"
#include "diskaccess/resizer.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "holder_fixture.h"
#include "standin_fixture.h"

namespace {

class PartitionCallbackImages : public ::testing::Test {
 protected:
  void SetUp() override { resizer::RegisterRawProcessor(); }
  void TearDown() override { DaRemovePartitionCallbacks(); }
  DiskTest::TempDir dir_;
};

// The sectors in which two images of the same size differ.
std::vector<std::uint64_t> ChangedSectors(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> x(512), y(512);
  std::vector<std::uint64_t> changed;
  for (std::uint64_t s = 0; fa.read(x.data(), 512) && fb.read(y.data(), 512); ++s)
    if (x != y) changed.push_back(s);
  return changed;
}

// Three FAT16 LBA partitions taken back to CHS types: the chooser picks by
// size, and FAT12 when the partition's file-system record says so; without
// the chooser every one becomes 0x06.
TEST_F(PartitionCallbackImages, FatPartitionsLeavingLbaTypesGetTheirTypeBySizeAndFat12) {
  struct Case {
    const char* name;
    bool installed;
    std::vector<std::uint32_t> types;  // of the partitions at 2048, 43008, 145408
  };
  const Case cases[] = {
      {"chooser installed", true, {0x04, 0x06, 0x01}},
      {"no chooser", false, {0x06, 0x06, 0x06}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = DaTest::MakeMbrImage(
        dir_, "f" + std::to_string(n++) + ".img", 128,
        "label: dos\nstart=2048, size=40000, type=e\nstart=43008, size=100000, type=e\n"
        "start=145408, size=20000, type=e\n");
    if (c.installed) DaInstallPartitionCallbacks();
    else DaRemovePartitionCallbacks();
    {
      DaTest::FileDisk disk(path, 512);
      DaReadHolders(&disk, kWalkFollowChains);
      for (holder* h = disk.holder_list.first; h != nullptr; h = h->next) {
        if (!h->IsPartition()) continue;
        if (h->start == 145408) {
          auto fs = std::make_shared<virt_fs>();
          fs->FatFlags = 1;
          h->SetUserData(fs);
        }
        auto* mbr = dynamic_cast<MbrBaseHolder*>(h);
        ASSERT_NE(mbr, nullptr);
        mbr->SetLbaMode(false, true);
      }
      ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
    }
    int status = 0;
    const std::string verify = DiskTest::RunCommand("sfdisk --verify " + path + " 2>&1", &status);
    EXPECT_EQ(status, 0) << verify;
    std::vector<std::uint32_t> types;
    for (const DaTest::Row& r : DaTest::SfdiskRows(path)) types.push_back(r.type);
    EXPECT_EQ(types, c.types) << DiskTest::RunCommand("sfdisk --dump " + path);
  }
}

// The raw holder's table wipe: with the formatter installed the tools find
// no table or signature left, and only the device's head and its last
// sector changed; without it nothing is written.
TEST_F(PartitionCallbackImages, TheRawDeviceFormatterLeavesNothingForTheTools) {
  for (bool installed : {true, false}) {
    SCOPED_TRACE(installed ? "installed" : "not installed");
    const std::string path = DaTest::MakeMbrImage(
        dir_, installed ? "g1.img" : "g0.img", 32,
        "label: gpt\nstart=2048, size=8192, type=linux\nstart=10240, size=8192\n");
    const std::string before = dir_.File(installed ? "b1.img" : "b0.img");
    ASSERT_TRUE(DaTest::Run("cp " + path + " " + before));
    if (installed) DaInstallPartitionCallbacks();
    else DaRemovePartitionCallbacks();
    const std::uint64_t last = 32 * 2048 - 1;
    {
      DaTest::FileDisk disk(path, 512);
      EXPECT_EQ(Da::CallFormatRawDevice(&disk).Code(), 0u);
    }
    const std::vector<std::uint64_t> changed = ChangedSectors(before, path);
    if (!installed) {
      EXPECT_TRUE(changed.empty());
      continue;
    }
    ASSERT_FALSE(changed.empty());
    for (std::uint64_t s : changed) EXPECT_TRUE(s < 136 || s == last) << s;
    EXPECT_EQ(changed.back(), last);
    int status = 0;
    const std::string probe = DiskTest::RunCommand("blkid -p " + path + " 2>&1", &status);
    EXPECT_NE(status, 0) << probe;
    EXPECT_EQ(DiskTest::RunCommand("wipefs -n " + path + " 2>&1"), "");
    EXPECT_TRUE(DiskTest::RunCommand("sfdisk --dump " + path + " 2>&1").find("start=") ==
                std::string::npos);
  }
}

// With only the raw processor registered no file system is known, so a
// disk holding FAT from its first sector is not taken as a raw disk.
TEST_F(PartitionCallbackImages, OnlyTheRawProcessorKnowsNoFileSystem) {
  const std::string path = dir_.File("fat.img");
  ASSERT_TRUE(DaTest::Run("truncate -s 16M " + path + " && mkfs.fat -F 16 " + path));
  DaInstallPartitionCallbacks();
  DaTest::FileDisk disk(path, 512);
  EXPECT_FALSE(Da::CallHasKnownFileSystem(&disk, nullptr));
  DaReadHolders(&disk, kWalkFollowChains);
  EXPECT_NE(disk.read_context.scheme, kSchemeRaw);
}

}  // namespace
