// diskimage against the partitioning tools: listings of images the tools
// made, and edits through the real stage judged by their checkers. Native
// only (the tools do not run under Wine).
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "diskimage_kit.h"
#include "disktest/image_disk.h"
#include "disktest/sparse_image.h"
#include "disktest/temp_dir.h"
#include "fixtures/mbr_unordered.h"

namespace {

using DiskImageTest::DiskImage;
using DiskImageTest::Quote;
using DiskImageTest::Row;

constexpr char kLinux[] = "0FC63DAF-8483-4772-8E79-3D69D8477DE4";
constexpr char kBasicData[] = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";

bool HaveTools() {
  return std::system("sfdisk --version > /dev/null 2>&1") == 0 && GptTools::HaveTools() &&
         std::system("python3 -c 1 > /dev/null 2>&1") == 0;
}

class DiskImageToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTools()) GTEST_SKIP() << "sfdisk, sgdisk, fdisk or python3 missing";
  }
  std::string Image(const std::string& name, std::uint64_t bytes) {
    const std::string path = dir_.File(name);
    DiskTest::ImageDisk::CreateImage(path, bytes);
    return path;
  }
  std::string Sfdisk(const std::string& name, std::uint64_t bytes, const std::string& script) {
    const std::string path = Image(name, bytes);
    int status = 0;
    DiskTest::RunCommand("printf '%s' " + Quote(script) + " | sfdisk -q --no-reread " +
                             "--no-tell-kernel " + Quote(path) + " > /dev/null 2>&1",
                         &status);
    EXPECT_EQ(status, 0) << script;
    return path;
  }
  std::string Sgdisk(const std::string& name, std::uint64_t bytes, const std::string& args) {
    const std::string path = Image(name, bytes);
    int status = 0;
    DiskTest::RunCommand("sgdisk " + args + " " + Quote(path) + " > /dev/null 2>&1", &status);
    EXPECT_EQ(status, 0) << args;
    return path;
  }
  DiskTest::TempDir dir_;
};

// A script of `n` logicals of 2048 sectors each, one every 4096 sectors.
std::string Logicals(int n) {
  std::string s = "label: dos\n2048,4096,83\n6144," + std::to_string(4096 * n + 2048) + ",5\n";
  for (int i = 0; i < n; ++i) s += std::to_string(8192 + 4096 * i) + ",2048,83\n";
  return s;
}

TEST_F(DiskImageToolTest, MbrListingsEqualSfdisk) {
  struct Case {
    const char* what;
    std::string script;
  };
  const Case cases[] = {
      {"one logical", Logicals(1)},
      {"five logicals", Logicals(5)},
      // sfdisk writes at most partition 60: 56 logicals.
      {"fifty-six logicals", Logicals(56)},
      {"hidden types, LBA extended",
       "label: dos\n2048,4096,17\n,4096,1c\n,4096,12\n,20480,f\n,2048,1b\n,2048,16\n"},
      {"primaries only, bootable, gaps", "label: dos\n4096,2048,7,*\n16384,8192,b\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Sfdisk("mbr.img", 512ull << 20, c.script);
    const std::vector<Row> expected = DiskImageTest::SfdiskRows(path);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(DiskImageTest::ToolRows(Quote(path)), expected);
  }
}

// A chain whose links are not in disk order (made by sfdisk, kept as a
// fixture): the listing still follows the disk.
TEST_F(DiskImageToolTest, OutOfOrderChainEqualsSfdisk) {
  const std::string path = dir_.File("unordered.img");
  DiskTest::WriteSparseImage(kMbrUnordered, path);
  const std::vector<Row> expected = DiskImageTest::SfdiskRows(path);
  ASSERT_EQ(expected.size(), 5u);
  EXPECT_EQ(DiskImageTest::ToolRows(Quote(path)), expected);
}

TEST_F(DiskImageToolTest, GptListingsEqualSgdisk) {
  std::string full = "-a 8";
  for (int i = 1; i <= 128; ++i) full += " -n " + std::to_string(i) + ":0:+8";
  struct Case {
    const char* what;
    std::string args;
    std::size_t partitions;
  };
  const Case cases[] = {
      {"names of 0, 35 and 36 units",
       "-n 1:2048:+100 -c 1:'' -n 2:4096:+100 -t 2:0700 -c 2:abcdefghijklmnopqrstuvwxyz012345678 "
       "-n 3:8192:+100 -t 3:ef00 -c 3:abcdefghijklmnopqrstuvwxyz0123456789",
       3},
      {"all 128 entries used", full, 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Sgdisk("gpt.img", 32ull << 20, c.args);
    const std::vector<Row> expected = DiskImageTest::SgdiskRows(path);
    ASSERT_EQ(expected.size(), c.partitions);
    EXPECT_EQ(DiskImageTest::ToolRows(Quote(path)), expected);
  }
}

TEST_F(DiskImageToolTest, Gpt4096ListingEqualsFdisk) {
  const std::string path = Image("gpt4k.img", 32ull << 20);
  int status = 0;
  DiskTest::RunCommand("printf 'g\\nn\\n1\\n256\\n+1023\\nn\\n2\\n2048\\n+511\\nt\\n2\\n11\\n"
                       "x\\nn\\n1\\nalpha\\nr\\nw\\n' | fdisk -b 4096 " +
                           Quote(path) + " > /dev/null 2>&1",
                       &status);
  ASSERT_EQ(status, 0);
  const std::vector<Row> expected = DiskImageTest::Fdisk4kRows(path);
  ASSERT_EQ(expected.size(), 2u);
  EXPECT_EQ(DiskImageTest::ToolRows("--sector-size 4096 " + Quote(path)), expected);
  // Read as 512-byte sectors the same bytes hold no GPT the model takes.
  for (const Row& r : DiskImageTest::ToolRows(Quote(path))) EXPECT_NE(r.scheme, "gpt");
}

// Several images are the disks of one computer, listed in the order given.
TEST_F(DiskImageToolTest, DisksListInTheOrderGiven) {
  const std::string mbr = Sfdisk("a.img", 16ull << 20, Logicals(1));
  const std::string gpt = Sgdisk("b.img", 32ull << 20, "-n 1:2048:+100");
  const std::string blank = Image("c.img", 8ull << 20);
  std::vector<Row> expected = DiskImageTest::SgdiskRows(gpt, 0);
  for (Row r : DiskImageTest::SfdiskRows(mbr, 1)) expected.push_back(r);
  expected.push_back(Row{2, "raw", "raw", 0, (8ull << 20) / 512, "-", "-"});
  EXPECT_EQ(DiskImageTest::ToolRows(Quote(gpt) + " " + Quote(mbr) + " " + Quote(blank)),
            expected);
}

// --- Edits ------------------------------------------------------------------------------

// The sectors two images differ in, outside `allowed`.
std::vector<std::uint64_t> ChangedOutside(const std::vector<std::uint8_t>& before,
                                          const std::vector<std::uint8_t>& after,
                                          std::uint32_t sectorSize,
                                          const std::set<std::uint64_t>& allowed) {
  std::vector<std::uint64_t> changed;
  for (std::uint64_t s = 0; s * sectorSize < before.size(); ++s) {
    if (allowed.count(s) != 0) continue;
    if (std::memcmp(before.data() + s * sectorSize, after.data() + s * sectorSize, sectorSize)) {
      changed.push_back(s);
    }
  }
  return changed;
}

// Every edit, then the checker, the listing against sfdisk, and the sectors
// outside the tables (the MBR and the EBR sectors, before and after).
TEST_F(DiskImageToolTest, MbrEditsPassSfdiskAndTouchOnlyTables) {
  const std::string path = Sfdisk("edit.img", 16ull << 20, Logicals(3));
  // Payload in every sector, so that a stray write shows.
  DiskTest::RunCommand("python3 -c " +
                       Quote("import sys\nf=open(sys.argv[1],\"r+b\")\n"
                             "for s in range(1,32768):\n"
                             "  f.seek(s*512); b=f.read(512)\n"
                             "  if b==bytes(512): f.seek(s*512); f.write(bytes([s%251+1])*512)\n") +
                       " " + Quote(path));
  ASSERT_TRUE(DiskImageTest::SfdiskVerify(path));
  const std::vector<std::string> edits = {
      "create 0 24576 2048 0c",       // a primary
      "set-type 0 2048 07",           // a primary's type
      "set-type 0 12288 1b",          // a logical's type, hidden
      "delete 0 16384",               // the last logical
      "create 0 28672 2048 82",       // the fourth primary
      "delete 0 8192",                // the first logical
      "delete 0 24576",
  };
  for (const std::string& edit : edits) {
    SCOPED_TRACE(edit);
    const std::vector<Row> before = DiskImageTest::SfdiskRows(path);
    const std::vector<std::uint8_t> bytesBefore = DiskImageTest::ReadFile(path);
    int status = 0;
    DiskImage(Quote(path) + " " + edit, &status, false);
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(DiskImageTest::SfdiskVerify(path));
    const std::vector<Row> after = DiskImageTest::SfdiskRows(path);
    EXPECT_NE(after, before);
    EXPECT_EQ(DiskImageTest::ToolRows(Quote(path)), after);
    // Table sectors: the MBR and every EBR of either chain.
    std::set<std::uint64_t> tables{0};
    for (const auto* rows : {&before, &after}) {
      for (const Row& r : *rows) {
        if (r.kind == "extended") tables.insert(r.first);
        if (r.kind == "logical") {
          // Its EBR lies in the gap before it.
          for (std::uint64_t s = r.first > 2048 ? r.first - 2048 : 0; s < r.first; ++s) {
            tables.insert(s);
          }
        }
      }
    }
    const std::vector<std::uint64_t> stray =
        ChangedOutside(bytesBefore, DiskImageTest::ReadFile(path), 512, tables);
    EXPECT_TRUE(stray.empty()) << stray.size() << " sectors, the first " << stray.front();
  }
}

std::set<std::uint64_t> GptTableSectors(std::uint64_t sectors, std::uint64_t arraySectors) {
  std::set<std::uint64_t> s{0};
  for (std::uint64_t i = 1; i <= 1 + arraySectors; ++i) s.insert(i);
  for (std::uint64_t i = 0; i <= arraySectors; ++i) s.insert(sectors - 1 - i);
  return s;
}

TEST_F(DiskImageToolTest, GptEditsPassSgdiskAndTouchOnlyTables) {
  const std::string path =
      Sgdisk("edit.img", 32ull << 20, "-n 1:2048:+2047 -c 1:one -n 2:8192:+4095 -t 2:0700");
  const std::uint64_t sectors = (32ull << 20) / 512;
  const std::vector<std::string> edits = {
      std::string("create 0 20000 1000 ") + kBasicData + " 'the third'",
      std::string("set-type 0 2048 ") + kBasicData,
      "delete 0 8192",
      std::string("create 0 4096 4096 ") + kLinux,
  };
  for (const std::string& edit : edits) {
    SCOPED_TRACE(edit);
    const std::vector<std::uint8_t> bytesBefore = DiskImageTest::ReadFile(path);
    const std::vector<Row> before = DiskImageTest::SgdiskRows(path);
    int status = 0;
    DiskImage(Quote(path) + " " + edit, &status, false);
    ASSERT_EQ(status, 0);
    std::string report;
    EXPECT_TRUE(GptTools::SgdiskVerify(path, &report)) << report;
    const std::vector<Row> after = DiskImageTest::SgdiskRows(path);
    EXPECT_NE(after, before);
    EXPECT_EQ(DiskImageTest::ToolRows(Quote(path)), after);
    EXPECT_TRUE(ChangedOutside(bytesBefore, DiskImageTest::ReadFile(path), 512,
                               GptTableSectors(sectors, 32))
                    .empty());
  }
}

// The primary header damaged: the backup is read, and the next edit writes
// both copies whole again.
TEST_F(DiskImageToolTest, DamagedPrimaryHeaderFallsBackAndIsRepaired) {
  const std::string path = Sgdisk("damaged.img", 32ull << 20, "-n 1:2048:+2047 -c 1:kept");
  const std::vector<Row> expected = DiskImageTest::SgdiskRows(path);
  DiskTest::RunCommand("dd if=/dev/zero of=" + Quote(path) +
                       " bs=512 seek=1 count=1 conv=notrunc 2>/dev/null");
  EXPECT_EQ(DiskImageTest::ReadFile(path)[512], 0);
  EXPECT_EQ(DiskImageTest::ToolRows(Quote(path)), expected);
  int status = 0;
  DiskImage(Quote(path) + " create 0 8192 2048 " + kLinux, &status, false);
  ASSERT_EQ(status, 0);
  std::string report;
  EXPECT_TRUE(GptTools::SgdiskVerify(path, &report)) << report;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(DiskImageTest::ReadFile(path).data()) + 512, 8),
            "EFI PART");
  EXPECT_EQ(DiskImageTest::SgdiskRows(path).size(), 2u);
  EXPECT_EQ(DiskImageTest::ToolRows(Quote(path)), DiskImageTest::SgdiskRows(path));
}

TEST_F(DiskImageToolTest, InitAndClearAreSeenByTheTools) {
  const std::string path = Image("blank.img", 16ull << 20);
  int status = 0;
  DiskImage(Quote(path) + " init-gpt 0", &status, false);
  ASSERT_EQ(status, 0);
  std::string report;
  EXPECT_TRUE(GptTools::SgdiskVerify(path, &report)) << report;
  const std::string fdisk = DiskTest::RunCommand("LC_ALL=C fdisk -l -t dos " + Quote(path));
  EXPECT_NE(fdisk.find(" ee "), std::string::npos) << fdisk;
  // A second init finds a partitioned disk and refuses.
  DiskImage(Quote(path) + " init-mbr 0", &status);
  EXPECT_NE(status, 0);

  DiskImage(Quote(path) + " create 0 2048 2048 " + std::string(kLinux), &status, false);
  ASSERT_EQ(status, 0);
  DiskImage(Quote(path) + " clear 0", &status, false);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(DiskTest::RunCommand("wipefs -n " + Quote(path) + " 2>&1"), "");
  DiskTest::RunCommand("blkid -p " + Quote(path) + " > /dev/null 2>&1", &status);
  EXPECT_NE(status, 0) << "blkid still recognises something";
  EXPECT_EQ(DiskImageTest::ToolRows(Quote(path)),
            (std::vector<Row>{Row{0, "raw", "raw", 0, (16ull << 20) / 512, "-", "-"}}));

  DiskImage(Quote(path) + " init-mbr 0", &status, false);
  ASSERT_EQ(status, 0);
  EXPECT_TRUE(DiskImageTest::SfdiskVerify(path));
  // The model's primaries end past the first cylinder (16065 sectors).
  DiskImage(Quote(path) + " create 0 2048 16384 83", &status, false);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(DiskImageTest::SfdiskRows(path),
            (std::vector<Row>{Row{0, "mbr", "primary", 2048, 16384, "83", "-"}}));
}

// Failing commands leave every byte of every image as it was.
TEST_F(DiskImageToolTest, FailedCommandsChangeNothing) {
  const std::string mbr = Sfdisk("m.img", 16ull << 20, Logicals(2));
  const std::string gpt = Sgdisk("g.img", 8ull << 20, "-n 1:2048:+2047 -A 1:set:0");
  const std::string images = Quote(mbr) + " " + Quote(gpt);
  struct Case {
    const char* what;
    std::string command;
  };
  const Case cases[] = {
      {"MBR overlap", "create 0 2048 100 83"},
      {"MBR past the disk", "create 0 30000 100000 83"},
      {"MBR bad type", "set-type 0 2048 zz"},
      {"MBR no partition there", "delete 0 3000"},
      {"GPT overlap", std::string("create 1 4000 100 ") + kLinux},
      {"GPT past the usable area", std::string("create 1 10000 10000 ") + kLinux},
      {"GPT bad type", "set-type 1 2048 not-a-guid"},
      {"GPT platform-required entry", "delete 1 2048"},
      {"no such disk", "clear 2"},
      {"init of a partitioned disk", "init-gpt 0"},
  };
  const std::vector<std::uint8_t> mbrBytes = DiskImageTest::ReadFile(mbr);
  const std::vector<std::uint8_t> gptBytes = DiskImageTest::ReadFile(gpt);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int status = 0;
    DiskImage(images + " " + c.command, &status);
    EXPECT_NE(status, 0);
    EXPECT_TRUE(DiskImageTest::ReadFile(mbr) == mbrBytes);
    EXPECT_TRUE(DiskImageTest::ReadFile(gpt) == gptBytes);
  }
  // Read-only images, and write faults: in the middle of a commit (the
  // backup GPT header, written after the primary one and its array) and at
  // the MBR sector. Every edit fails and nothing changes.
  const std::uint64_t gptLast = (8ull << 20) / 512 - 1;
  for (const std::string& command :
       {std::string("--read-only create 0 24576 2048 0c"), std::string("--read-only clear 0"),
        std::string("--read-only clear 1"),
        std::string("--read-only create 1 8192 100 ") + kLinux,
        "--fail-write " + std::to_string(gptLast) + " create 1 8192 100 " + kLinux,
        "--fail-write " + std::to_string(gptLast) + " clear 1",
        std::string("--fail-write 0 clear 0"),
        std::string("--fail-write 0 create 0 24576 2048 0c")}) {
    SCOPED_TRACE(command);
    int status = 0;
    DiskImage(images + " " + command, &status);
    EXPECT_NE(status, 0);
    EXPECT_TRUE(DiskImageTest::ReadFile(mbr) == mbrBytes);
    EXPECT_TRUE(DiskImageTest::ReadFile(gpt) == gptBytes);
  }
  // Without the fault the same edit goes through.
  int status = 0;
  DiskImage(images + " create 1 8192 100 " + kLinux, &status);
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(DiskImageTest::ReadFile(gpt) == gptBytes);
}

}  // namespace

#endif
