// Inodes against debugfs stat: times with nanoseconds and epoch bits,
// device numbers in both encodings, owners past 16 bits, link counts with
// DIR_NLINK, block counts with and without HUGE_FILE; and the cache bound.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "ext_image.h"
#include "fake_driver.h"
#include "files/file_error.h"
#include "filesystems/ext_inode.h"

namespace {

using exttest::Mounted;
using filesystems::extfs::ExtfsTimeToMs;
using filesystems::extfs::InodeRef;
using filesystems::extfs::MsToExtfsTime;

struct TimeCase {
  std::uint32_t seconds, extra;
  std::int64_t ms;
};

TEST(ExtInode, TimesFollowTheEpochAndNanosecondEncoding) {
  const std::vector<TimeCase> cases = {
      {0, 0, 0},
      {1, 4000000, 1001},                          // 1 ms in nanoseconds x 4
      {0x7FFFFFFF, 0, 2147483647000},              // the last second before 2038
      {0x80000000, 1, 2147483648000},              // 2038 onwards: epoch 1
      {0xFFFFFFFF, 1, 4294967295000},              // 2106
      {0x00000000, 1, 4294967296000},              // epoch 1 with seconds 0
      {0x00000000, 2, 8589934592000},              // epoch 2 (2242)
      {0xFFFFFFFF, 0, -1000},                      // one second before 1970
      {0xFFFFFFFF, 500000000u << 2, -500},         // -1 s + 0.5 s
      {0x80000000, 0, -2147483648000},             // 1901
      {0x12345678, (999999999u << 2) | 0, 305419896999},
  };
  for (const TimeCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.seconds) + ":" + std::to_string(c.extra));
    EXPECT_EQ(ExtfsTimeToMs(c.seconds, c.extra), c.ms);
    std::uint32_t seconds = 0, extra = 0;
    MsToExtfsTime(c.ms, seconds, extra);
    EXPECT_EQ(seconds, c.seconds);
    EXPECT_EQ(extra & 3, c.extra & 3);
    EXPECT_EQ((extra >> 2) / 1000000, (c.extra >> 2) / 1000000);
    EXPECT_EQ(ExtfsTimeToMs(seconds, extra), c.ms);
  }
}

std::int64_t EpochSeconds(const std::string& date) {
  std::string out = DiskTest::RunCommand("date -u -d '" + date + "' +%s");
  return std::strtoll(out.c_str(), nullptr, 10);
}

struct StampCase {
  const char* field;  // mtime, atime, ctime, crtime
  const char* debugfsDate;
  const char* date;
  std::uint32_t nanoseconds;
};

TEST(ExtInode, TimesSetByDebugfsReadBackIncludingAfter2038) {
  const std::vector<StampCase> cases = {
      {"mtime", "20500102030405", "2050-01-02 03:04:05", 500000000},
      {"atime", "20380119031408", "2038-01-19 03:14:08", 123000000},
      {"ctime", "21060207062816", "2106-02-07 06:28:16", 0},
      {"crtime", "20240229120000", "2024-02-29 12:00:00", 999000000},
      {"mtime", "@-315619200", "1960-01-01 00:00:00", 0},
  };
  exttest::ScratchDir dir;
  for (const StampCase& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " " + c.date);
    for (bool large : {true, false}) {
      const std::string image = dir.File("times.img");
      ASSERT_TRUE(exttest::MakeImage(image,
                                     large ? "-t ext4 -I 256 -O ^metadata_csum"
                                           : "-t ext4 -I 128 -O ^metadata_csum",
                                     8192));
      ASSERT_TRUE(exttest::Run("debugfs -w -R 'write /etc/hostname f' " + image));
      if (large) {
        ASSERT_TRUE(exttest::Run("debugfs -w -R 'sif f " + std::string(c.field) + "_extra " +
                                 std::to_string(std::uint64_t(c.nanoseconds) << 2) + "' " + image));
      }
      ASSERT_TRUE(exttest::Run("debugfs -w -R 'sif f " + std::string(c.field) + " " +
                               c.debugfsDate + "' " + image));
      Mounted m(image);
      ASSERT_NE(m.driver, nullptr);
      InodeRef inode(m->GetInode(11));
      const std::string f = c.field;
      const std::int64_t got = f == "mtime"   ? inode->GetModificationTime()
                               : f == "atime" ? inode->GetAccessTime()
                               : f == "ctime" ? inode->GetChangeTime()
                                              : inode->GetCreationTime();
      const std::int64_t seconds = EpochSeconds(c.date);
      if (large) {
        EXPECT_EQ(got, seconds * 1000 + c.nanoseconds / 1000000);
      } else if (f == "crtime") {
        EXPECT_EQ(got, 0);  // 128-byte inodes have no creation time
      } else if (seconds < (std::int64_t(1) << 31)) {
        EXPECT_EQ(got, seconds * 1000);  // seconds only, no epoch bits
      }
    }
  }
}

std::string Stat(const std::string& image, const std::string& path) {
  return exttest::Debugfs(image, "stat " + path);
}

std::uint64_t StatNumber(const std::string& stat, const std::string& pattern) {
  std::smatch m;
  if (!std::regex_search(stat, m, std::regex(pattern))) return ~std::uint64_t(0);
  return std::strtoull(m[1].str().c_str(), nullptr, 0);
}

TEST(ExtInode, FieldsEqualDebugfsStat) {
  exttest::ScratchDir dir;
  const std::string source = dir.File("source");
  exttest::Run("mkdir -p " + source + "/d1/d2 && head -c 70000 /dev/urandom > " + source +
               "/blob && ln -s blob " + source + "/link");
  for (const std::string options : {"-t ext4 -O ^metadata_csum", "-t ext2 -b 1024 -I 128",
                                    "-t ext4 -b 2048 -O ^metadata_csum,^huge_file"}) {
    SCOPED_TRACE(options);
    const std::string image = dir.File("stat.img");
    ASSERT_TRUE(exttest::MakeImage(image, options, 16384, source));
    ASSERT_TRUE(exttest::Run("debugfs -w -R 'mknod old c 3 4' " + image));
    ASSERT_TRUE(exttest::Run("debugfs -w -R 'mknod new b 8 1' " + image +
                             " && debugfs -w -R 'sif new block[0] 0' " + image +
                             " && debugfs -w -R 'sif new block[1] 0x1234567' " + image));
    ASSERT_TRUE(exttest::Run("debugfs -w -R 'sif blob uid 70000' " + image +
                             " && debugfs -w -R 'sif blob gid 131073' " + image));
    Mounted m(image);
    ASSERT_NE(m.driver, nullptr);
    for (const std::string path : {"/blob", "/link", "/d1", "/d1/d2", "/old", "/new", "/"}) {
      SCOPED_TRACE(path);
      const std::string stat = Stat(image, path);
      const std::uint32_t number = std::uint32_t(StatNumber(stat, R"(Inode: (\d+))"));
      InodeRef inode(m->GetInode(number - 1));
      EXPECT_EQ(inode->GetSize(), StatNumber(stat, R"(Size: (\d+))"));
      EXPECT_EQ(inode->GetUid(), StatNumber(stat, R"(User:\s+(\d+))"));
      EXPECT_EQ(inode->GetGid(), StatNumber(stat, R"(Group:\s+(\d+))"));
      EXPECT_EQ(inode->GetLinkCount(), StatNumber(stat, R"(Links: (\d+))"));
      EXPECT_EQ(inode->GetMode() & 07777, StatNumber(stat, R"(Mode:\s+(0\d+))"));
      EXPECT_EQ(inode->GetBlockCount() * (m->BlockSize() / 512),
                StatNumber(stat, R"(Blockcount: (\d+))"));
      if (path == "/old" || path == "/new") {
        std::smatch d;
        ASSERT_TRUE(std::regex_search(stat, d, std::regex(R"(number: (\d+):(\d+))")));
        EXPECT_EQ(inode->GetDeviceMajor(), std::stoul(d[1].str()));
        EXPECT_EQ(inode->GetDeviceMinor(), std::stoul(d[2].str()));
      }
      if (path == "/link") {
        EXPECT_EQ(*inode->GetSymlinkTarget(), "blob");
      }
    }
  }
}

TEST(ExtInode, DirectoryLinkCountOfOneNeedsDirNlink) {
  exttest::ScratchDir dir;
  for (bool dirNlink : {true, false}) {
    const std::string image = dir.File("nlink.img");
    ASSERT_TRUE(exttest::MakeImage(
        image, dirNlink ? "-t ext4 -O ^metadata_csum" : "-t ext4 -O ^metadata_csum,^dir_nlink",
        8192));
    ASSERT_TRUE(exttest::Run("debugfs -w -R 'mkdir big' " + image +
                             " && debugfs -w -R 'sif big links_count 1' " + image));
    Mounted m(image);
    ASSERT_NE(m.driver, nullptr);
    InodeRef inode(m->GetInode(11));
    if (dirNlink) {
      EXPECT_EQ(inode->GetLinkCount(), 0xFFFFu);
    } else {
      EXPECT_EQ(fstest::CodeOf([&] { inode->GetLinkCount(); }), kFileCorrupted);
    }
  }
}

TEST(ExtInode, BlockCountUnitsFollowHugeFile) {
  exttest::ScratchDir dir;
  for (bool huge : {true, false}) {
    SCOPED_TRACE(huge ? "huge_file" : "no huge_file");
    const std::string image = dir.File("huge.img");
    ASSERT_TRUE(exttest::MakeImage(
        image, huge ? "-t ext4 -O ^metadata_csum" : "-t ext4 -O ^metadata_csum,^huge_file", 8192));
    // The file's i_blocks in file-system blocks, flagged as such.
    ASSERT_TRUE(exttest::Run("debugfs -w -R 'write /etc/hostname f' " + image +
                             " && debugfs -w -R 'sif f flags 0xC0000' " + image +
                             " && debugfs -w -R 'sif f blocks 7' " + image));
    Mounted m(image);
    ASSERT_NE(m.driver, nullptr);
    InodeRef inode(m->GetInode(11));
    if (huge) {
      EXPECT_EQ(inode->GetBlockCount(), 7u);
    } else {
      EXPECT_EQ(fstest::CodeOf([&] { inode->GetBlockCount(); }), kFileCorrupted);
    }
  }
  // Without the flag the count is in 512-byte units and must cover whole
  // blocks.
  const std::string image = dir.File("units.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext4 -O ^metadata_csum", 8192));
  ASSERT_TRUE(exttest::Run("debugfs -w -R 'write /etc/hostname f' " + image +
                           " && debugfs -w -R 'sif f blocks 9' " + image));
  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  InodeRef inode(m->GetInode(11));
  EXPECT_EQ(fstest::CodeOf([&] { inode->GetBlockCount(); }), kFileCorrupted);
}

TEST(ExtInode, CacheKeepsThirtyTwoIdleInodesAndRefusesFreeOnes) {
  exttest::ScratchDir dir;
  const std::string source = dir.File("source");
  exttest::Run("mkdir -p " + source + " && cd " + source + " && for i in $(seq 1 40); do echo $i > f$i; done");
  const std::string image = dir.File("cache.img");
  ASSERT_TRUE(exttest::MakeImage(image, "-t ext4 -O ^metadata_csum", 8192, source));
  Mounted m(image);
  ASSERT_NE(m.driver, nullptr);
  std::vector<std::uint32_t> used;
  for (std::uint32_t i = 11; i < 60 && used.size() < 40; ++i) {
    try {
      InodeRef inode(m->GetInode(i));
      used.push_back(i);
    } catch (const Common::Error&) {
    }
  }
  ASSERT_EQ(used.size(), 40u);
  EXPECT_EQ(m->Inodes().Count(), 32u);
  {
    // Held inodes are never evicted: the cache grows past the bound.
    std::vector<InodeRef> held;
    for (std::uint32_t i : used) held.emplace_back(m->GetInode(i));
    EXPECT_GE(m->Inodes().Count(), 40u);
  }
  const std::uint32_t free = m->InodesCount() - 1;
  EXPECT_EQ(fstest::CodeOf([&] { m->GetInode(free); }), kFileOpenError);
  EXPECT_EQ(fstest::CodeOf([&] { m->GetInode(m->InodesCount()); }), kFileCorrupted);
}

}  // namespace

#endif
