// Mounting volumes made by mkfs.fat: layout, type, free space and label as
// fsck.fat and fatlabel see them; damaged boot sectors refused; the type
// boundaries of the cluster count.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fat_image.h"
#include "fat_mount_support.h"
#include "files/file_error.h"
#include "foundation/byteorder.h"

namespace {

using fattest::Fsck;
using fattest::MkfsOptions;
using fattest::Mounted;
using filesystems::FATDriver;

int EntryBits(FATDriver::FatType type) {
  switch (type) {
    case FATDriver::FatType::kFat12:
      return 12;
    case FATDriver::FatType::kFat16:
      return 16;
    case FATDriver::FatType::kFat32:
      break;
  }
  return 32;
}

std::string Narrow(const char16_t* text) {
  std::string out;
  for (; *text; ++text) out.push_back(char(*text));
  return out;
}

TEST(FatVolume, MkfsMatrixMountsAsTheToolsSee) {
  const std::vector<MkfsOptions> matrix = {
      {12, 512, 1, 2, 1440, "FLOPPY", ""},
      {12, 4096, 1, 1, 8192, "BIGSECT12", ""},
      {12, 512, 8, 2, 8192, "EIGHT", ""},
      {16, 512, 4, 2, 20480, "PURGE16", ""},
      {16, 512, 64, 1, 140000, "SIXTYFOUR", ""},
      {16, 4096, 1, 2, 40960, "BIGSECT16", ""},
      {16, 512, 128, 2, 300000, "ONETWOEIGHT", ""},
      {32, 512, 1, 2, 40960, "PURGE32", ""},
      {32, 4096, 1, 2, 300000, "BIGSECT32", ""},
      {32, 512, 8, 1, 300000, "ONEFAT32", ""},
  };
  fattest::ScratchDir dir;
  for (const MkfsOptions& o : matrix) {
    SCOPED_TRACE(fattest::Describe(o));
    const std::string image = dir.File("matrix.img");
    ASSERT_TRUE(fattest::MakeImage(image, o));
    const fattest::FsckReport fsck = Fsck(image);
    ASSERT_EQ(fsck.status, 0) << fsck.output;
    Mounted m(image, o.sectorSize);
    ASSERT_NE(m.driver, nullptr);
    EXPECT_EQ(EntryBits(m->Type()), fsck.entryBits);
    EXPECT_EQ(m->ClusterCount(), fsck.dataClusters);
    EXPECT_EQ(m->FirstDataSector(), fsck.dataSector);
    EXPECT_EQ(m->ActiveFatStart(), fsck.firstFatSector);
    EXPECT_EQ(m->FatCount(), std::uint32_t(fsck.fats));
    EXPECT_EQ(m->SectorsPerCluster(), o.sectorsPerCluster);
    EXPECT_EQ(m->Mirroring(), o.fats > 1);
    EXPECT_STREQ(m->GetFileSystemName(), o.fatBits == 32 ? "FAT32" : "FAT16");
    std::uint64_t total = 0, free = 0, available = 0;
    m->GetVolumeSizes(total, free, available);
    EXPECT_EQ(free, (fsck.dataClusters - fsck.usedClusters) * o.sectorsPerCluster * o.sectorSize);
    EXPECT_EQ(available, free);
    EXPECT_EQ(total, (std::uint64_t(fsck.dataClusters) * o.sectorsPerCluster + fsck.dataSector) *
                         o.sectorSize);
    EXPECT_LE(total, fsck.totalSectors * o.sectorSize);
    char16_t label[32];
    m->GetVolumeLabel(label, 32);
    std::string expected = DiskTest::RunCommand("fatlabel '" + image + "' 2>/dev/null");
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == ' '))
      expected.pop_back();
    EXPECT_EQ(Narrow(label), expected);
    EXPECT_EQ(expected, o.label);
  }
}

TEST(FatVolume, LabelCapacityAndFallbackToTheBootSector) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("label.img");
  ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 4, 2, 20480, "BOOTLABEL", ""}));
  Mounted m(image, 512);
  ASSERT_NE(m.driver, nullptr);
  char16_t label[8] = {u'x', u'x'};
  m->GetVolumeLabel(label, 1);
  EXPECT_EQ(label[0], 0);
  m->GetVolumeLabel(label, 5);
  EXPECT_EQ(Narrow(label), "BOOT");
  m.Unmount();

  // The root entry goes (deleted), so the boot sector's copy answers; then a
  // long-name entry (attribute 0x0F) in front of a blank label entry.
  const fattest::FsckReport fsck = Fsck(image);
  const std::uint64_t rootByte = (fsck.dataSector - 32) * 512;  // 512 entries = 32 sectors
  auto root = fattest::ReadBytes(image, rootByte, 64);
  ASSERT_EQ(std::string(root.begin(), root.begin() + 9), "BOOTLABEL");
  root[0] = 0xE5;
  fattest::WriteBytes(image, rootByte, root);
  std::vector<std::uint8_t> bootLabel(11, ' ');
  std::memcpy(bootLabel.data(), "FROMBOOT", 8);
  fattest::WriteBytes(image, 43, bootLabel);
  {
    Mounted again(image, 512);
    char16_t text[16];
    again->GetVolumeLabel(text, 16);
    EXPECT_EQ(Narrow(text), "FROMBOOT");
  }
  std::vector<std::uint8_t> entries(64, 0);
  std::memcpy(entries.data(), "LONGNAMEPRT", 11);
  entries[11] = 0x0F;
  std::memset(entries.data() + 32, ' ', 11);
  entries[32 + 11] = 0x28;
  fattest::WriteBytes(image, rootByte, entries);
  Mounted blank(image, 512);
  char16_t text[16] = {u'x'};
  blank->GetVolumeLabel(text, 16);
  EXPECT_EQ(Narrow(text), "");
}

// A damaged boot sector makes the probe answer null; the original mounts.
TEST(FatVolume, DamagedBootSectorsAreRefused) {
  struct Damage {
    const char* what;
    bool fat32;
    std::function<void(std::uint8_t*)> apply;
  };
  const std::vector<Damage> table = {
      {"signature", false, [](std::uint8_t* b) { b[510] = 0x54; }},
      {"signature32", true, [](std::uint8_t* b) { b[511] = 0; }},
      {"jump", false, [](std::uint8_t* b) { b[0] = 0x90; }},
      {"3 sectors per cluster", false, [](std::uint8_t* b) { b[13] = 3; }},
      {"0 sectors per cluster", true, [](std::uint8_t* b) { b[13] = 0; }},
      {"0 reserved sectors", false, [](std::uint8_t* b) { Common::StoreLe16(b + 14, 0); }},
      {"0 FATs", false, [](std::uint8_t* b) { b[16] = 0; }},
      {"128 FATs", true, [](std::uint8_t* b) { b[16] = 128; }},
      {"root entries not whole sectors", false,
       [](std::uint8_t* b) { Common::StoreLe16(b + 17, 500); }},
      {"0 root entries", false, [](std::uint8_t* b) { Common::StoreLe16(b + 17, 0); }},
      {"FAT too small for its type", false, [](std::uint8_t* b) { Common::StoreLe16(b + 22, 8); }},
      {"data past the end", false, [](std::uint8_t* b) { Common::StoreLe32(b + 32, 90000); }},
      {"FAT32 version 1", true, [](std::uint8_t* b) { Common::StoreLe16(b + 42, 1); }},
      {"root cluster 0", true, [](std::uint8_t* b) { Common::StoreLe32(b + 44, 0); }},
      {"root cluster 1", true, [](std::uint8_t* b) { Common::StoreLe32(b + 44, 1); }},
      {"root cluster past the end", true,
       [](std::uint8_t* b) { Common::StoreLe32(b + 44, 0x0FFFFFF8); }},
      {"active FAT index = FAT count", true, [](std::uint8_t* b) { Common::StoreLe16(b + 40, 2); }},
      {"FAT32 sectors per FAT 0", true, [](std::uint8_t* b) { Common::StoreLe32(b + 36, 0); }},
      {"FATs past the end", true, [](std::uint8_t* b) { Common::StoreLe32(b + 36, 0x7FFFFFFF); }},
  };
  fattest::ScratchDir dir;
  const std::string image16 = dir.File("d16.img"), image32 = dir.File("d32.img");
  ASSERT_TRUE(fattest::MakeImage(image16, {16, 512, 4, 2, 20480, "D16", ""}));
  ASSERT_TRUE(fattest::MakeImage(image32, {32, 512, 1, 2, 40960, "D32", ""}));
  for (const Damage& d : table) {
    SCOPED_TRACE(d.what);
    const std::string& image = d.fat32 ? image32 : image16;
    std::vector<std::uint8_t> boot = fattest::ReadBytes(image, 0, 512);
    {
      Mounted original(image, 512, true, boot.data());
      EXPECT_NE(original.driver, nullptr);
    }
    d.apply(boot.data());
    Mounted damaged(image, 512, true, boot.data());
    EXPECT_EQ(damaged.driver, nullptr);
  }
}

TEST(FatVolume, BothSizeFieldsSetUsesTheWideOne) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("both.img");
  ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 4, 2, 20480, "BOTH", ""}));
  std::vector<std::uint8_t> boot = fattest::ReadBytes(image, 0, 512);
  const std::uint32_t total = Common::LoadLe16(boot.data() + 19);
  ASSERT_EQ(total, 40960u);
  Common::StoreLe32(boot.data() + 32, total);
  Common::StoreLe16(boot.data() + 19, 2000);  // would leave far fewer clusters
  Mounted m(image, 512, true, boot.data());
  ASSERT_NE(m.driver, nullptr);
  EXPECT_EQ(m->ClusterCount(), Fsck(image).dataClusters);
}

// A FAT too short for the clusters behind it: only the clusters it can
// describe are used, unless that would change the type.
TEST(FatVolume, ShortFatLimitsTheClusterCount) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("short.img");
  ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 4, 2, 20480, "SHORT", ""}));
  std::vector<std::uint8_t> boot = fattest::ReadBytes(image, 0, 512);
  ASSERT_EQ(Common::LoadLe16(boot.data() + 22), 40);
  Common::StoreLe16(boot.data() + 22, 39);  // 39 x 256 entries, two of them reserved
  Mounted m(image, 512, true, boot.data());
  ASSERT_NE(m.driver, nullptr);
  EXPECT_EQ(m->Type(), FATDriver::FatType::kFat16);
  EXPECT_EQ(m->ClusterCount(), 39u * 256 - 2);
  EXPECT_EQ(m->FirstDataSector(), Fsck(image).dataSector - 2);
}

// The type follows the published boundary: FAT12 below 4085 clusters, FAT16
// below 65525, no FAT12/16 layout at 65525 or more. fsck.fat judges the same
// boot sectors.
TEST(FatVolume, TypeBoundariesOfTheClusterCount) {
  fattest::ScratchDir dir;
  const std::string base = dir.File("base.img");
  ASSERT_TRUE(fattest::MakeImage(base, {16, 512, 1, 1, 4096, "EDGE", "-r 512"}));
  const std::vector<std::uint8_t> original = fattest::ReadBytes(base, 0, 512);
  struct Case {
    std::uint32_t clusters;
    int bits;  // 0: refused
  };
  for (const Case c : {Case{4084, 12}, Case{4085, 16}, Case{65524, 16}, Case{65525, 0}}) {
    SCOPED_TRACE(c.clusters);
    std::vector<std::uint8_t> boot = original;
    const std::uint32_t reserved = Common::LoadLe16(boot.data() + 14);
    const std::uint32_t spf = 257;  // enough for 65536 16-bit entries
    Common::StoreLe16(boot.data() + 22, std::uint16_t(spf));
    const std::uint32_t first = reserved + spf + 512 / 16;
    Common::StoreLe16(boot.data() + 19, 0);
    Common::StoreLe32(boot.data() + 32, first + c.clusters);
    const std::string image = dir.File("edge.img");
    DiskTest::RunCommand("rm -f '" + image + "'; truncate -s " +
                         std::to_string(std::uint64_t(first + c.clusters) * 512) + " '" + image +
                         "'");
    fattest::WriteBytes(image, 0, boot);
    // The FAT's first two entries as the tools expect them for the type.
    std::vector<std::uint8_t> head = c.bits == 12 ? std::vector<std::uint8_t>{0xF8, 0xFF, 0xFF}
                                                  : std::vector<std::uint8_t>{0xF8, 0xFF, 0xFF, 0xFF};
    fattest::WriteBytes(image, std::uint64_t(reserved) * 512, head);
    Mounted m(image, 512);
    if (c.bits == 0) {
      EXPECT_EQ(m.driver, nullptr);
      continue;
    }
    ASSERT_NE(m.driver, nullptr);
    EXPECT_EQ(m->ClusterCount(), c.clusters);
    EXPECT_EQ(EntryBits(m->Type()), c.bits);
    const fattest::FsckReport fsck = Fsck(image);
    EXPECT_EQ(fsck.entryBits, c.bits) << fsck.output;
    EXPECT_EQ(fsck.dataClusters, c.clusters);
  }
}

TEST(FatVolume, FsInfoCountIsUsedOnlyWhenPlausible) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("fsinfo.img");
  ASSERT_TRUE(fattest::MakeImage(image, {32, 512, 1, 2, 40960, "FSINFO", ""}));
  const fattest::FsckReport fsck = Fsck(image);
  const std::uint64_t realFree = fsck.dataClusters - fsck.usedClusters;
  const std::uint32_t fsInfo = Common::LoadLe16(fattest::ReadBytes(image, 48, 2).data());
  ASSERT_NE(fsInfo, 0u);
  const std::uint64_t countAt = std::uint64_t(fsInfo) * 512 + 488;
  struct Case {
    std::uint32_t stored;
    std::uint64_t expected;
  };
  for (const Case c : {Case{1234, 1234}, Case{0xFFFFFFFF, realFree},
                       Case{std::uint32_t(fsck.dataClusters), realFree}}) {
    SCOPED_TRACE(c.stored);
    std::vector<std::uint8_t> bytes(4);
    Common::StoreLe32(bytes.data(), c.stored);
    fattest::WriteBytes(image, countAt, bytes);
    Mounted m(image, 512);
    ASSERT_NE(m.driver, nullptr);
    EXPECT_EQ(m->GetFreeClusterCount(false), c.expected);
  }
  // Clusters taken before the count was first asked for come off the
  // FSInfo value when it is read.
  {
    std::vector<std::uint8_t> bytes(4);
    Common::StoreLe32(bytes.data(), std::uint32_t(realFree));
    fattest::WriteBytes(image, countAt, bytes);
    Mounted m(image, 512, false);
    ASSERT_NE(m.driver, nullptr);
    std::vector<std::uint32_t> taken;
    for (int i = 0; i < 3; ++i) taken.push_back(m->AllocateCluster());
    EXPECT_EQ(m->GetFreeClusterCount(false), realFree - 3);
    for (std::uint32_t c : taken) m->FreeClusterChain(c);
    EXPECT_EQ(m->GetFreeClusterCount(false), realFree);
  }
  EXPECT_EQ(Fsck(image).status, 0);
  // A broken FSInfo signature: the FAT is counted; asked for, it is an error.
  fattest::WriteBytes(image, std::uint64_t(fsInfo) * 512, {0, 0, 0, 0});
  Mounted m(image, 512);
  ASSERT_NE(m.driver, nullptr);
  try {
    m->GetFreeClusterCount(true);
    ADD_FAILURE() << "a broken FSInfo sector went unreported";
  } catch (const Common::Error& e) {
    EXPECT_EQ(e.Code(), kFileCorrupted);
  }
  EXPECT_EQ(m->FsInfoSector(), 0u);
  EXPECT_EQ(m->GetFreeClusterCount(true), realFree);
}

}  // namespace

#endif
