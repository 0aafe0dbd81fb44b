// The raw processor over image files, judged by the format tools and by dd:
// a FAT partition copied to another disk at another place, moves within one
// image in both directions, and a write that fails part-way.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "diskaccess/resizer.h"
#include "disktest/host_files.h"
#include "disktest/image_disk.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"

namespace {

using DiskTest::ImageDisk;
using DiskTest::RunCommand;

PartitionParameters Place(Fdisk::SimpleDisk* disk, std::uint64_t start, std::uint64_t length) {
  PartitionParameters d;
  d.Device = disk;
  d.SectorSize = disk->GetSectorSize();
  d.Start = start;
  d.Length = d.FsLength = d.FsLength2 = length;
  return d;
}

class ResizerImages : public ::testing::Test {
 protected:
  void SetUp() override { resizer::RegisterRawProcessor(); }
  DiskTest::TempDir dir_;
};

// A FAT16 volume from mkfs.fat moves to sector 2048 of another disk: the
// bytes are the same but for the boot sector's geometry and hidden sectors,
// which the tools read as the new place, and fsck.fat finds it clean.
TEST_F(ResizerImages, AFatPartitionCopiedToAnotherDisk) {
  const std::string fat = dir_.File("fat.img"), disk = dir_.File("disk.img");
  const std::string content = dir_.File("hello.txt");
  DiskTest::MakeHostFile(content, 100000, 9);
  int status = 0;
  RunCommand("mkfs.fat -C -F 16 -n MOVED '" + fat + "' 20480 >/dev/null && mcopy -i '" + fat +
                 "' '" + content + "' ::/HELLO.TXT",
             &status);
  ASSERT_EQ(status, 0);
  ImageDisk::CreateImage(disk, 64ull << 20);
  const std::uint64_t sectors = 20480 * 2;
  {
    ImageDisk from(fat, 512), to(disk, 512);
    PartitionParameters source = Place(&from, 0, sectors);
    source.FsType = 12;
    PartitionParameters destination = Place(&to, 2048, sectors + 100);
    FileSystemOptions options;
    bool touched = false;
    Common::Error result;
    Da::RunResizer(result, 0x540, &options, &source, nullptr, &destination, &touched);
    ASSERT_TRUE(result.IsNull()) << std::hex << result.Code();
    EXPECT_EQ(destination.FsType, 12);
    EXPECT_EQ(destination.Start, 2048u);
  }
  const std::string part = dir_.File("part.img");
  RunCommand("dd if='" + disk + "' of='" + part + "' bs=512 skip=2048 count=" +
                 std::to_string(sectors) + " status=none",
             &status);
  ASSERT_EQ(status, 0);
  std::vector<std::uint8_t> before = DiskTest::ReadBytes(fat, 0, sectors * 512);
  std::vector<std::uint8_t> after = DiskTest::ReadBytes(part, 0, sectors * 512);
  ASSERT_EQ(before.size(), after.size());
  for (std::size_t i = 24; i < 32; ++i) before[i] = after[i] = 0;
  EXPECT_TRUE(before == after) << "only the geometry and hidden sectors change";
  const std::string minfo = RunCommand("minfo -i '" + part + "' 2>&1");
  EXPECT_EQ(DiskTest::Number(minfo, R"(hidden sectors: (\d+))", 999), 2048u) << minfo;
  EXPECT_EQ(DiskTest::Number(minfo, R"(sectors per track: (\d+))"), 63u) << minfo;
  EXPECT_EQ(DiskTest::Number(minfo, R"(heads: (\d+))"), 255u) << minfo;
  RunCommand("fsck.fat -n '" + part + "' >/dev/null 2>&1", &status);
  EXPECT_EQ(status, 0);
  RunCommand("mcopy -n -i '" + part + "' ::/HELLO.TXT '" + dir_.File("back.txt") + "'", &status);
  EXPECT_EQ(DiskTest::ReadBytes(dir_.File("back.txt"), 0, 200000),
            DiskTest::ReadBytes(content, 0, 200000));
}

// An NTFS volume from mkntfs (its own geometry 32/16, hidden sectors 0),
// copied to sector 4096 of another disk and moved forward over itself
// (which copies backwards): its boot sector and the backup at the volume's
// last sector, the first special sector, take the disk's geometry and the
// new place, as file(1) reads them; every other byte stays; ntfsinfo reads
// the volume, ntfsfix -n finds nothing to mend, ntfscat gives the file back.
TEST_F(ResizerImages, AnNtfsVolumeCopiedAndMovedGetsBothBootSectorsPatched) {
  const std::string ntfs = dir_.File("ntfs.img"), content = dir_.File("hello.bin");
  constexpr std::uint64_t sectors = 32768;  // 16 MiB
  DiskTest::MakeHostFile(content, 150000, 5);
  int status = 0;
  RunCommand("truncate -s 16M '" + ntfs + "' && mkntfs -F -Q -q -L MOVED -s 512 -p 0 -H 16 -S 32 '" +
                 ntfs + "' >/dev/null 2>&1 && ntfscp '" + ntfs + "' '" + content + "' hello.bin",
             &status);
  ASSERT_EQ(status, 0);
  struct Case {
    bool sameDisk;
    std::uint64_t from, to;
  } cases[] = {{false, 0, 4096}, {true, 2048, 3000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sameDisk ? "move" : "copy");
    const std::string disk = dir_.File("disk.img");
    std::remove(disk.c_str());
    ImageDisk::CreateImage(disk, 64ull << 20);
    if (c.sameDisk) {
      RunCommand("dd if='" + ntfs + "' of='" + disk + "' bs=512 seek=" + std::to_string(c.from) +
                     " conv=notrunc status=none",
                 &status);
      ASSERT_EQ(status, 0);
    }
    {
      ImageDisk to(disk, 512);
      std::unique_ptr<ImageDisk> own;
      if (!c.sameDisk) own.reset(new ImageDisk(ntfs, 512));
      PartitionParameters source = Place(c.sameDisk ? &to : own.get(), c.from, sectors);
      source.FsType = 10;  // NTFS
      source.SpecialSectors[0] = c.from + sectors - 1;  // the backup boot sector
      PartitionParameters destination = Place(&to, c.to, sectors + 100);
      FileSystemOptions options;
      bool touched = false;
      Common::Error result;
      Da::RunResizer(result, 0x540, &options, &source, nullptr, &destination, &touched);
      ASSERT_TRUE(result.IsNull()) << std::hex << result.Code();
      EXPECT_EQ(destination.FsType, 10);
    }
    const std::string part = dir_.File("part.img"), backup = dir_.File("backup.bin");
    RunCommand("dd if='" + disk + "' of='" + part + "' bs=512 skip=" + std::to_string(c.to) +
                   " count=" + std::to_string(sectors) + " status=none && dd if='" + part +
                   "' of='" + backup + "' bs=512 skip=" + std::to_string(sectors - 1) +
                   " count=1 status=none",
               &status);
    ASSERT_EQ(status, 0);
    std::vector<std::uint8_t> before = DiskTest::ReadBytes(ntfs, 0, sectors * 512);
    std::vector<std::uint8_t> after = DiskTest::ReadBytes(part, 0, sectors * 512);
    ASSERT_EQ(before.size(), after.size());
    for (std::uint64_t sector : {std::uint64_t{0}, sectors - 1})
      for (std::size_t i = 24; i < 32; ++i) before[sector * 512 + i] = after[sector * 512 + i] = 0;
    EXPECT_TRUE(before == after) << "only the two boot sectors' geometry and place change";
    const std::string where = "sectors/track 63, heads 255, hidden sectors " + std::to_string(c.to);
    EXPECT_NE(RunCommand("file -b '" + part + "'").find(where), std::string::npos)
        << RunCommand("file -b '" + part + "'");
    EXPECT_NE(RunCommand("file -b '" + backup + "'").find(where), std::string::npos)
        << RunCommand("file -b '" + backup + "'");
    const std::string info = RunCommand("ntfsinfo -m '" + part + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << info;
    EXPECT_NE(info.find("Volume Name: MOVED"), std::string::npos) << info;
    const std::string fix = RunCommand("ntfsfix -n '" + part + "' 2>&1", &status);
    EXPECT_EQ(status, 0) << fix;
    EXPECT_NE(fix.find("Checking the alternate boot sector... OK"), std::string::npos) << fix;
    RunCommand("ntfscat '" + part + "' hello.bin > '" + dir_.File("back.bin") + "'", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(DiskTest::ReadBytes(dir_.File("back.bin"), 0, 150000),
              DiskTest::ReadBytes(content, 0, 150000));
  }
}

// Moves within one image, overlapping either way and of lengths that are
// no multiple of the copy's step, against dd reading a copy of the image.
TEST_F(ResizerImages, MovesWithinOneImageEqualDd) {
  struct Case {
    std::uint64_t from, to, length;
  } cases[] = {{100, 20000, 70001}, {20000, 100, 70001}, {5, 6, 33000}, {6, 5, 33000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
    const std::string image = dir_.File("move.img"), original = dir_.File("original.img"),
                      reference = dir_.File("reference.img");
    DiskTest::MakeHostFile(image, 100000 * 512, std::uint32_t(c.from + c.to));
    int status = 0;
    RunCommand("cp '" + image + "' '" + original + "' && cp '" + image + "' '" + reference +
                   "' && dd if='" + original + "' of='" + reference + "' bs=512 skip=" +
                   std::to_string(c.from) + " seek=" + std::to_string(c.to) +
                   " count=" + std::to_string(c.length) + " conv=notrunc status=none",
               &status);
    ASSERT_EQ(status, 0);
    {
      ImageDisk disk(image, 512);
      PartitionParameters source = Place(&disk, c.from, c.length);
      PartitionParameters destination = Place(&disk, c.to, c.length);
      FileSystemOptions options;
      bool touched = false;
      Common::Error result;
      Da::RunResizer(result, 0x540, &options, &source, nullptr, &destination, &touched);
      ASSERT_TRUE(result.IsNull()) << std::hex << result.Code();
    }
    RunCommand("cmp -s '" + image + "' '" + reference + "'", &status);
    EXPECT_EQ(status, 0);
  }
}

// A write that fails at sector k: "Write error" with the device's error
// as cause, and the caller told that the destination was touched.
TEST_F(ResizerImages, AFailedWriteReportsTheTouchedDestination) {
  const std::string image = dir_.File("fail.img");
  DiskTest::MakeHostFile(image, 80000 * 512, 4);
  const std::string target = dir_.File("target.img");
  ImageDisk::CreateImage(target, 80000ull * 512);
  struct Case {
    std::uint64_t failAt;
    bool touched;
  } cases[] = {{0, false}, {1000, false}, {10000, true}, {40000, true}};  // writes go in 8,192-sector slots
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failAt);
    ImageDisk from(image, 512), to(target, 512);
    to.FailRange(Fdisk::kIoWrite, 100 + c.failAt, 1);
    PartitionParameters source = Place(&from, 0, 60000);
    PartitionParameters destination = Place(&to, 100, 60000);
    FileSystemOptions options;
    bool touched = false;
    Common::Error result;
    Da::RunResizer(result, 0x540, &options, &source, nullptr, &destination, &touched);
    EXPECT_EQ(result.Code(), resizer::kWriteError);
    EXPECT_FALSE(Common::GetErrorCause(result).IsNull());
    EXPECT_EQ(touched, c.touched);
  }
}

}  // namespace
