// Basic disks made dynamic and dynamic disks made basic with the diskimage
// tool, on disks laid out by sfdisk and sgdisk and filled by mkfs.fat,
// mkntfs, mcopy and ntfscp; judged by ldmtool, sfdisk, sgdisk and the file
// systems' own checkers.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "ldm_tool_support.h"

namespace {

using DiskTest::Lines;
using LdmTest::Fields;
using LdmTest::Fixture;

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
}

std::string Sh(const std::string& command, int* status = nullptr) {
  int own = 0;
  const std::string out = DiskTest::RunCommand(command + " 2>&1", status ? status : &own);
  if (status == nullptr) {
    EXPECT_EQ(own, 0) << command << "\n" << out;
  }
  return out;
}

// 32 MiB images: on MBR disks the private region then starts at 63472
// (PRIVHEAD copies 65519 and 65328, and sector 6).
constexpr std::uint64_t kPrivateStart = 63472;

class ConvertTest : public ::testing::Test {
 protected:
  std::string Image(const std::string& name) { return dir_.File(name); }

  // A file the file systems receive.
  std::string Note() {
    const std::string note = dir_.File("note.txt");
    std::ofstream(note) << "kept across the conversion\n";
    return note;
  }

  // sfdisk: a FAT partition and an NTFS one, each holding the note.
  std::string MbrWithFileSystems() {
    const std::string image = Image("mbr.img");
    Sh("truncate -s 32M '" + image + "'");
    Sh("printf 'label: dos\\nstart=2048, size=20480, type=c\\nstart=22528, size=20480, "
       "type=7\\n' | sfdisk -q '" + image + "'");
    Sh("mkfs.fat -F 16 --offset 2048 '" + image + "' 10240");
    Sh("mcopy -i '" + image + "@@1048576' '" + Note() + "' ::NOTE.TXT");
    const std::string ntfs = Image("ntfs.part");
    Sh("truncate -s 10M '" + ntfs + "'");
    Sh("mkntfs -q -F -s 512 -p 22528 -H 255 -S 63 '" + ntfs + "'");
    Sh("ntfscp -q '" + ntfs + "' '" + Note() + "' note.txt");
    Sh("dd if='" + ntfs + "' of='" + image + "' bs=512 seek=22528 conv=notrunc status=none");
    return image;
  }

  // sgdisk: an EFI system partition, an MSR and a basic data partition
  // with a FAT file system holding the note.
  std::string GptWithFileSystem() {
    const std::string image = Image("gpt.img");
    Sh("truncate -s 32M '" + image + "'");
    Sh("sgdisk -o -n1:2048:+1M -t1:EF00 -n2:0:+4M -t2:0C01 -n3:0:+10M -t3:0700 '" + image + "'");
    Sh("mkfs.fat -F 16 --offset 12288 '" + image + "' 10240");
    Sh("mcopy -i '" + image + "@@" + std::to_string(12288 * 512) + "' '" + Note() +
       "' ::NOTE.TXT");
    return image;
  }

  std::string EmptyMbr(const std::string& name) {
    const std::string image = Image(name);
    Sh("truncate -s 32M '" + image + "'");
    Sh("echo 'label: dos' | sfdisk -q '" + image + "'");
    return image;
  }

  std::string Tool(const std::string& images, const std::string& command, int* status) {
    return DiskTest::RunCommand(std::string(DISKIMAGE_PATH) + " " + images + " " + command +
                                    " 2>&1",
                                status);
  }

  void Ok(const std::string& images, const std::string& command) {
    int status = -1;
    const std::string out = Tool(images, command, &status);
    ASSERT_EQ(status, 0) << command << "\n" << out;
  }

  // "START SIZE TYPE" of every entry sfdisk lists.
  std::vector<std::string> SfdiskEntries(const std::string& image) {
    std::vector<std::string> out;
    for (const std::string& line : Lines(Sh("sfdisk -d '" + image + "'"))) {
      unsigned long long start = 0, size = 0;
      char type[8] = {};
      const std::size_t colon = line.find(" : ");
      if (colon == std::string::npos) continue;
      if (std::sscanf(line.c_str() + colon, " : start= %llu, size= %llu, type=%7[0-9a-f]", &start,
                      &size, type) == 3) {
        out.push_back(std::to_string(start) + " " + std::to_string(size) + " " + type);
      }
    }
    return out;
  }

  // "START END CODE" of every partition sgdisk lists.
  std::vector<std::string> SgdiskEntries(const std::string& image) {
    std::vector<std::string> out;
    bool table = false;
    for (const std::string& line : Lines(Sh("sgdisk -p '" + image + "'"))) {
      if (line.find("Number") != std::string::npos) {
        table = true;
        continue;
      }
      if (!table) continue;
      unsigned n = 0;
      unsigned long long start = 0, end = 0;
      char size[16], unit[8], code[8];
      if (std::sscanf(line.c_str(), "%u %llu %llu %15s %7s %7s", &n, &start, &end, size, unit,
                      code) == 6) {
        out.push_back(std::to_string(start) + " " + std::to_string(end) + " " + code);
      }
    }
    return out;
  }

  // The volume's bytes read through the tool.
  std::string ReadVolume(const std::string& images, const std::string& volume) {
    const std::string out = dir_.File(volume + ".bin");
    int status = -1;
    Tool(images, "read-volume HarbormarkDg0 " + volume + " > '" + out + "'", &status);
    EXPECT_EQ(status, 0) << volume;
    return out;
  }

  bool SectorIsZero(const std::string& image, std::uint64_t sector) {
    const std::vector<std::uint8_t> bytes = ReadFile(image);
    if (bytes.size() < (sector + 1) * 512) return false;
    for (std::size_t i = 0; i < 512; ++i) {
      if (bytes[sector * 512 + i] != 0) return false;
    }
    return true;
  }

  DiskTest::TempDir dir_;
};

// The partitions of an MBR disk become simple volumes on the same sectors:
// the entries turn 0x42 and the free space behind them gets one, ldmtool
// reads the volumes where the partitions were, and the file systems read
// through the volumes are whole and hold their files.
TEST_F(ConvertTest, MbrPartitionsBecomeVolumesThatKeepTheirFileSystems) {
  const std::string image = MbrWithFileSystems();
  Ok("'" + image + "'", "make-dynamic 0");

  const std::vector<std::string> entries = SfdiskEntries(image);
  ASSERT_EQ(entries.size(), 3u) << Sh("sfdisk -d '" + image + "'");
  EXPECT_EQ(entries[0], "2048 20480 42");
  EXPECT_EQ(entries[1], "22528 20480 42");
  EXPECT_NE(entries[2].find(" 42"), std::string::npos);
  Sh("sfdisk --verify '" + image + "'");

  // ldmtool counts extents from the public region's start, sector 63.
  const std::vector<std::string> lines = Lines(Fixture("ldmtool-images '" + image + "'"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "HarbormarkDg0\tVolume1\tsimple\t20480\t0\t-\tDisk1:1985+20480");
  EXPECT_EQ(lines[1], "HarbormarkDg0\tVolume2\tsimple\t20480\t0\t-\tDisk1:22465+20480");

  const std::string fat = ReadVolume("'" + image + "'", "Volume1");
  Sh("fsck.fat -n '" + fat + "'");
  EXPECT_EQ(Sh("mtype -i '" + fat + "' ::NOTE.TXT"), "kept across the conversion\n");
  const std::string ntfs = ReadVolume("'" + image + "'", "Volume2");
  Sh("ntfsfix -n '" + ntfs + "'");
  EXPECT_EQ(Sh("ntfscat '" + ntfs + "' note.txt"), "kept across the conversion\n");
}

// On GPT the EFI system partition stays, the MSR gives its last 2048
// sectors to the LDM metadata partition, the basic data partition becomes
// a volume and LDM data partitions cover the rest; sgdisk finds nothing
// wrong. Back to basic, only the LDM partitions go.
TEST_F(ConvertTest, GptKeepsItsSystemPartitionAndShortensTheMsr) {
  const std::string image = GptWithFileSystem();
  Ok("'" + image + "'", "make-dynamic 0");

  const std::vector<std::string> parts = SgdiskEntries(image);
  auto has = [&](const std::string& entry) {
    return std::find(parts.begin(), parts.end(), entry) != parts.end();
  };
  EXPECT_TRUE(has("2048 4095 EF00"));
  EXPECT_TRUE(has("4096 10239 0C01"));
  EXPECT_TRUE(has("10240 12287 4201"));
  EXPECT_TRUE(has("12288 65502 4200"));
  for (const std::string& p : parts) EXPECT_EQ(p.find(" 0700"), std::string::npos) << p;
  EXPECT_NE(Sh("sgdisk -v '" + image + "'").find("No problems found"), std::string::npos);

  const std::vector<std::string> lines = Lines(Fixture("ldmtool-images '" + image + "'"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "HarbormarkDg0\tVolume1\tsimple\t20480\t0\t-\tDisk1:0+20480");
  const std::string fat = ReadVolume("'" + image + "'", "Volume1");
  Sh("fsck.fat -n '" + fat + "'");
  EXPECT_EQ(Sh("mtype -i '" + fat + "' ::NOTE.TXT"), "kept across the conversion\n");

  Ok("'" + image + "'", "delete-volume HarbormarkDg0 Volume1");
  Ok("'" + image + "'", "make-basic 0");
  const std::vector<std::string> after = SgdiskEntries(image);
  EXPECT_EQ(after, (std::vector<std::string>{"2048 4095 EF00", "4096 10239 0C01"}));
  EXPECT_NE(Sh("sgdisk -v '" + image + "'").find("No problems found"), std::string::npos);
}

// A second disk joins the first one's group; taken out again (empty), it
// loses its entries and its PRIVHEAD copies, and the member left no
// longer lists it. The first disk, emptied, becomes basic as well.
TEST_F(ConvertTest, MembersJoinAndLeaveTheGroup) {
  const std::string first = MbrWithFileSystems();
  const std::string second = EmptyMbr("second.img");
  const std::string both = "'" + first + "' '" + second + "'";
  Ok(both, "make-dynamic 0");
  Ok(both, "make-dynamic 1");
  EXPECT_EQ(Lines(Fixture("ldmtool-disks " + both)),
            (std::vector<std::string>{"Disk1", "Disk2"}));
  // Space on the new member is usable at once.
  Ok(both, "create-volume spanned 30000 --disks 0:10000,1:20000");
  Ok(both, "delete-volume HarbormarkDg0 Volume3");

  Ok(both, "make-basic 1");
  EXPECT_TRUE(SfdiskEntries(second).empty()) << Sh("sfdisk -d '" + second + "'");
  for (std::uint64_t s : {std::uint64_t(6), kPrivateStart + 2047, kPrivateStart + 1856}) {
    EXPECT_TRUE(SectorIsZero(second, s)) << "sector " << s;
  }
  EXPECT_EQ(Lines(Fixture("ldmtool-disks '" + first + "'")), (std::vector<std::string>{"Disk1"}));
  EXPECT_EQ(Lines(Fixture("ldmtool-images '" + first + "'")).size(), 2u);

  Ok("'" + first + "'", "delete-volume HarbormarkDg0 Volume1");
  Ok("'" + first + "'", "delete-volume HarbormarkDg0 Volume2");
  Ok("'" + first + "'", "make-basic 0");
  EXPECT_TRUE(SfdiskEntries(first).empty());
  EXPECT_TRUE(SectorIsZero(first, 6));
  EXPECT_TRUE(SectorIsZero(first, kPrivateStart + 2047));
}

// Removing a member takes its pieces away first: a spanned volume that
// reaches onto it goes, the volumes of the other member stay.
TEST_F(ConvertTest, RemovedDiskTakesItsPiecesAlong) {
  const std::string first = MbrWithFileSystems();
  const std::string second = EmptyMbr("second.img");
  const std::string both = "'" + first + "' '" + second + "'";
  Ok(both, "make-dynamic 0");
  Ok(both, "make-dynamic 1");
  Ok(both, "create-volume spanned 30000 --disks 0:10000,1:20000");
  Ok(both, "create-volume mirror 4000 --disks 0,1");
  Ok(both, "remove-disk 1");
  const std::vector<std::string> lines = Lines(Fixture("ldmtool-images '" + first + "'"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Fields(lines[0]).at(1), "Volume1");
  EXPECT_EQ(Fields(lines[1]).at(1), "Volume2");
  // The mirror keeps the plex on the member left.
  EXPECT_EQ(Fields(lines[2]).at(1), "Volume4");
  EXPECT_EQ(Fields(lines[2]).at(2), "simple");
  EXPECT_EQ(Lines(Fixture("ldmtool-disks '" + first + "'")), (std::vector<std::string>{"Disk1"}));
  EXPECT_TRUE(SectorIsZero(second, 6));
  const std::string fat = ReadVolume("'" + first + "'", "Volume1");
  Sh("fsck.fat -n '" + fat + "'");
}

struct RefusalCase {
  const char* setup;    // "mbr", "gpt", "dynamic" (the MBR disk made dynamic), "pair"
  const char* command;  // options first
  const char* code;
};

class ConvertRefusalTest : public ConvertTest, public ::testing::WithParamInterface<RefusalCase> {};

// A refused conversion, and one whose writes fail at any step, reports the
// error and leaves every image byte for byte as it was.
TEST_P(ConvertRefusalTest, ErrorAndImagesUnchanged) {
  const RefusalCase& c = GetParam();
  const std::string setup = c.setup;
  std::vector<std::string> images;
  if (setup == "gpt") {
    images.push_back(GptWithFileSystem());
  } else {
    images.push_back(MbrWithFileSystems());
  }
  if (setup == "pair") images.push_back(EmptyMbr("second.img"));
  std::string all;
  for (const std::string& i : images) all += " '" + i + "'";
  if (setup == "dynamic" || setup == "pair") Ok(all, "make-dynamic 0");
  if (setup == "reaching") {
    // A partition reaching into the sectors the database would take.
    Sh("printf 'start=43008, size=22000, type=83\\n' | sfdisk -q -a '" + images[0] + "'");
  }

  std::vector<std::vector<std::uint8_t>> before;
  for (const std::string& i : images) before.push_back(ReadFile(i));
  std::string command = c.command;
  std::string options;
  if (command.rfind("--", 0) == 0) {
    const std::size_t second = command.find(' ', command.find(' ') + 1);
    options = command.substr(0, second) + " ";
    command = command.substr(second + 1);
  }
  int status = -1;
  const std::string out = DiskTest::RunCommand(
      std::string(DISKIMAGE_PATH) + " " + options + all + " " + command + " 2>&1", &status);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << out;
  EXPECT_NE(out.find(c.code), std::string::npos) << out;
  for (std::size_t i = 0; i < images.size(); ++i) {
    EXPECT_TRUE(ReadFile(images[i]) == before[i]) << images[i] << " changed";
  }
}

// Sectors: the new private region 63472 to 65519 (written in one piece),
// the PRIVHEAD copy at 6, the MBR at 0; on GPT the primary header at 1 and
// the backup header at 65535.
INSTANTIATE_TEST_SUITE_P(
    Cases, ConvertRefusalTest,
    ::testing::Values(
        RefusalCase{"dynamic", "make-dynamic 0", "0x1090D4"},
        RefusalCase{"mbr", "make-basic 0", "0x1090D4"},
        RefusalCase{"dynamic", "make-basic 0", "0x10901D"},
        RefusalCase{"reaching", "make-dynamic 0", "0x10901B"},
        RefusalCase{"mbr", "--fail-write 63500 make-dynamic 0", "0x109003"},
        RefusalCase{"mbr", "--fail-write 6 make-dynamic 0", "0x109003"},
        RefusalCase{"mbr", "--fail-write 0 make-dynamic 0", "0x10840E"},
        RefusalCase{"gpt", "--fail-write 1 make-dynamic 0", "0x102001"},
        RefusalCase{"gpt", "--fail-write 65535 make-dynamic 0", "0x102001"},
        // Joining a group: the first member's database takes the new
        // record last.
        RefusalCase{"pair", "--fail-write 0 make-dynamic 1", "0x10840E"},
        RefusalCase{"pair", "--fail-write 63489 make-dynamic 1", "0x109003"},
        RefusalCase{"pair", "--fail-write 6 remove-disk 0", "0x109003"},
        RefusalCase{"pair", "--fail-write 0 remove-disk 0", "0x10840E"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) {
      return std::string(info.param.setup) + "_" + std::to_string(info.index);
    });

}  // namespace

#endif
