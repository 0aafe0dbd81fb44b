// $LogFile restart areas: the checks of restart pages, the clearing of the
// "NTFS" client's LSNs, and on a volume made by mkntfs the first write of a
// mount cleaning both restart pages, judged by ntfsrecover, with a byte
// diff of $LogFile that touches only those fields and the pages' fixups.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filesystems/ntfs_logfile.h"
#include "foundation/byteorder.h"

namespace ntfs = filesystems::ntfs;

namespace {

constexpr std::uint32_t kArea = 48;
constexpr std::uint32_t kClients = kArea + 64;

struct PageShape {
  std::uint32_t pageSize = 4096;
  std::uint64_t fileSize = 2097152;
  std::uint64_t oldest = 0x500;
  std::uint64_t restart = 0x480;
  std::uint64_t current = 0x600;
  std::uint32_t nameLength = 8;
  std::uint16_t clients = 1;
};

// A restart page laid out from the published format: one restart area at
// 48, its client array 64 bytes further, version 1.1; unprotected.
std::vector<std::uint8_t> MakePage(const PageShape& s) {
  std::vector<std::uint8_t> p(s.pageSize, 0);
  std::memcpy(p.data(), "RSTR", 4);
  Common::StoreLe16(&p[4], 30);
  Common::StoreLe16(&p[6], std::uint16_t(s.pageSize / 512 + 1));
  Common::StoreLe32(&p[16], s.pageSize);
  Common::StoreLe32(&p[20], s.pageSize);
  Common::StoreLe16(&p[24], kArea);
  Common::StoreLe16(&p[26], 1);
  Common::StoreLe16(&p[28], 1);
  std::uint32_t bits = 0;
  for (std::uint64_t v = s.fileSize; v; v >>= 1) ++bits;
  std::uint8_t* a = &p[kArea];
  Common::StoreLe64(a, s.current);
  Common::StoreLe16(a + 8, s.clients);
  Common::StoreLe16(a + 10, 0xFFFF);
  Common::StoreLe16(a + 12, 0);
  Common::StoreLe32(a + 16, 67 - bits);
  Common::StoreLe16(a + 20, std::uint16_t(64 + 160 * s.clients));
  Common::StoreLe16(a + 22, 64);
  Common::StoreLe64(a + 24, s.fileSize);
  Common::StoreLe16(a + 36, 0x30);
  Common::StoreLe16(a + 38, 0x40);
  for (std::uint16_t i = 0; i < s.clients; ++i) {
    std::uint8_t* c = &p[kClients + 160u * i];
    Common::StoreLe64(c, s.oldest);
    Common::StoreLe64(c + 8, s.restart);
    Common::StoreLe16(c + 16, i == 0 ? 0xFFFF : std::uint16_t(i - 1));
    Common::StoreLe16(c + 18, i + 1 == s.clients ? 0xFFFF : std::uint16_t(i + 1));
    Common::StoreLe16(c + 20, 1);
    Common::StoreLe32(c + 28, s.nameLength);
    const char16_t name[] = u"NTFSxx";
    for (int k = 0; k < 6; ++k) Common::StoreLe16(c + 32 + 2 * k, name[k]);
  }
  return p;
}

// The on-disk form: update sequence number `usn` at the end of every
// 512-byte stride, the stride ends saved in the array at 30.
[[maybe_unused]] std::vector<std::uint8_t> Protect(std::vector<std::uint8_t> p, std::uint16_t usn) {
  Common::StoreLe16(&p[30], usn);
  for (std::size_t i = 0; i < p.size() / 512; ++i) {
    std::memcpy(&p[32 + 2 * i], &p[i * 512 + 510], 2);
    Common::StoreLe16(&p[i * 512 + 510], usn);
  }
  return p;
}

}  // namespace

TEST(NtfsLogFile, RestartPageChecks) {
  struct Case {
    const char* what;
    void (*change)(std::vector<std::uint8_t>&);
    bool header, area, chains;
  };
  const Case cases[] = {
      {"sound", [](std::vector<std::uint8_t>&) {}, true, true, true},
      {"log page 0x1000, system page 0x1800",
       [](std::vector<std::uint8_t>& p) { Common::StoreLe32(&p[16], 0x1800); }, false, true, true},
      {"log page below 512", [](std::vector<std::uint8_t>& p) { Common::StoreLe32(&p[20], 256); }, false, true, true},
      {"major version 2", [](std::vector<std::uint8_t>& p) { Common::StoreLe16(&p[28], 2); }, false, true, false},
      {"area inside the update sequence array",
       [](std::vector<std::uint8_t>& p) { Common::StoreLe16(&p[24], 40); }, false, false, true},
      {"area unaligned", [](std::vector<std::uint8_t>& p) { Common::StoreLe16(&p[24], 52); }, false, false, false},
      {"size bits plus sequence bits 66",
       [](std::vector<std::uint8_t>& p) { Common::StoreLe32(&p[kArea + 16], Common::LoadLe32(&p[kArea + 16]) - 1); },
       true, false, true},
      {"in-use client past the count",
       [](std::vector<std::uint8_t>& p) { Common::StoreLe16(&p[kArea + 12], 1); }, true, false, false},
      {"client array past the page",
       [](std::vector<std::uint8_t>& p) { Common::StoreLe16(&p[kArea + 8], 30); }, true, false, false},
      {"client chain loops",
       [](std::vector<std::uint8_t>& p) { Common::StoreLe16(&p[kClients + 18], 0); }, true, true, false},
      {"first client has a predecessor",
       [](std::vector<std::uint8_t>& p) { Common::StoreLe16(&p[kClients + 16], 0); }, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> page = MakePage({});
    c.change(page);
    EXPECT_EQ(ntfs::IsValidRestartPageHeader(page.data(), 0), c.header);
    EXPECT_EQ(ntfs::IsValidRestartArea(page.data(), page.size()), c.area);
    if (c.area) {
      EXPECT_EQ(ntfs::AreLogClientChainsValid(page.data(), page.size(), false), c.chains);
    }
  }
  // The second page sits at one page size; anywhere else is refused.
  const std::vector<std::uint8_t> page = MakePage({});
  EXPECT_TRUE(ntfs::IsValidRestartPageHeader(page.data(), 4096));
  EXPECT_FALSE(ntfs::IsValidRestartPageHeader(page.data(), 8192));
}

TEST(NtfsLogFile, ClearingTheNtfsClient) {
  struct Case {
    const char* what;
    PageShape shape;
    bool changed;
    std::uint64_t current, oldest, restart;
  };
  auto shape = [](std::uint64_t oldest, std::uint64_t restart, std::uint32_t nameLength, std::uint16_t clients) {
    PageShape s;
    s.oldest = oldest;
    s.restart = restart;
    s.nameLength = nameLength;
    s.clients = clients;
    return s;
  };
  const Case cases[] = {
      {"the smaller LSN becomes current", shape(0x500, 0x480, 8, 1), true, 0x480, 0, 0},
      {"a zero oldest LSN keeps the current", shape(0, 0x480, 8, 1), true, 0x600, 0, 0},
      {"both zero: nothing to do", shape(0, 0, 8, 1), false, 0x600, 0, 0},
      {"a longer name is another client", shape(0x500, 0x480, 10, 1), false, 0x600, 0x500, 0x480},
      {"every NTFS client of the chain", shape(0x700, 0x900, 8, 2), true, 0x700, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> page = MakePage(c.shape);
    const std::vector<std::uint8_t> before = page;
    EXPECT_EQ(ntfs::ClearNtfsClient(page), c.changed);
    EXPECT_EQ(Common::LoadLe64(&page[kArea]), c.current);
    for (std::uint16_t i = 0; i < c.shape.clients; ++i) {
      EXPECT_EQ(Common::LoadLe64(&page[kClients + 160u * i]), c.oldest);
      EXPECT_EQ(Common::LoadLe64(&page[kClients + 160u * i + 8]), c.restart);
    }
    // Nothing but the current LSN and the client LSNs moved.
    for (std::size_t b = 0; b < page.size(); ++b) {
      const bool lsn = (b >= kArea && b < kArea + 8) ||
                       (b >= kClients && b < kClients + 160u * c.shape.clients && (b - kClients) % 160 < 16);
      if (!lsn) {
        ASSERT_EQ(page[b], before[b]) << b;
      }
    }
  }
  // A "CHKD" page is never changed.
  std::vector<std::uint8_t> chkd = MakePage({});
  std::memcpy(chkd.data(), "CHKD", 4);
  EXPECT_FALSE(ntfs::ClearNtfsClient(chkd));
}

#if !defined(_WIN32)

#include <filesystem>
#include <memory>
#include <regex>

#include "filesystems/ntfs_file.h"
#include "image_volume.h"
#include "ntfs_image.h"
#include "ntfs_mount_support.h"

namespace {

using ntfstest::NextCacheKey;

std::string Icat(const std::string& image, std::uint64_t record) {
  return DiskTest::RunCommand("icat '" + image + "' " + std::to_string(record) + " 2>/dev/null");
}

// Byte offset in the image of $LogFile's first cluster.
std::uint64_t LogStart(const std::string& image, std::uint32_t clusterSize) {
  for (const auto& a : ntfstest::Istat(image, 2))
    if (a.type == 0x80 && !a.runs.empty()) return std::uint64_t(a.runs.front().first) * clusterSize;
  return 0;
}

// The LSN fields ntfsrecover shows, in page order.
std::vector<std::string> RecoverFields(const std::string& image) {
  const std::string out = DiskTest::RunCommand("ntfsrecover -n -v '" + image + "' 2>&1");
  std::vector<std::string> fields;
  const std::regex field(R"((current_lsn|oldest_lsn|client_restart_lsn)\s+([0-9a-f]+))");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), field); it != std::sregex_iterator(); ++it)
    fields.push_back((*it)[1].str() + "=" + (*it)[2].str());
  return fields;
}

// One byte written into a file's data through a fresh mount.
void WriteOneByte(const std::string& image, std::uint32_t sectorSize, std::uint64_t record) {
  fstest::ImageVolume device(image, sectorSize, 0, false);
  std::unique_ptr<ntfs::NTFSDriver> driver(static_cast<ntfs::NTFSDriver*>(filesystems::OpenNTFSVolume(
      &device, 0, std::filesystem::file_size(image) / sectorSize, NextCacheKey(), nullptr, nullptr, 0)));
  ASSERT_NE(driver, nullptr);
  ntfs::NTFSFile file(*driver, record);
  const std::uint8_t byte = 'z';
  std::uint32_t done = 0;
  file.Write(&byte, 3, 1, done);
  EXPECT_EQ(done, 1u);
  EXPECT_TRUE(driver->LogCleaned());
}

}  // namespace

TEST(NtfsLogFile, FirstWriteCleansBothRestartPages) {
  struct Case {
    const char* what;
    std::uint32_t sector, cluster;
    bool damageFirst;
  };
  const Case cases[] = {
      {"both pages", 512, 4096, false},
      {"both pages, 4096-byte sectors", 4096, 4096, false},
      {"the first page damaged: only the second", 512, 1024, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ntfstest::ScratchDir dir;
    const std::string image = dir.File("v.img");
    ASSERT_TRUE(ntfstest::MakeImage(image, {c.sector, c.cluster, 16, ""}));
    ntfstest::MakeHostFile(dir.File("a"), 100, 1);
    ASSERT_TRUE(ntfstest::CopyIn(image, dir.File("a"), "a"));
    const std::uint64_t record = std::stoull(DiskTest::RunCommand("ifind -n a '" + image + "'"));
    const std::uint64_t start = LogStart(image, c.cluster);
    ASSERT_NE(start, 0u);
    const std::uint64_t logSize = Icat(image, 2).size();
    PageShape shape;
    shape.fileSize = logSize;
    std::vector<std::uint8_t> page = Protect(MakePage(shape), 7);
    if (c.damageFirst) {
      std::vector<std::uint8_t> junk(4096, 0x5A);
      DiskTest::WriteBytes(image, start, junk);
    } else {
      DiskTest::WriteBytes(image, start, page);
    }
    DiskTest::WriteBytes(image, start + 4096, page);
    // ntfsrecover reads the pages only when the first one is sound.
    if (!c.damageFirst) {
      const std::vector<std::string> fields = RecoverFields(image);
      ASSERT_GE(fields.size(), 3u) << "ntfsrecover should read the restart page";
      EXPECT_EQ(fields[0], "current_lsn=0000000000000600");
      EXPECT_EQ(fields[1], "oldest_lsn=0000000000000500");
    }
    const std::string before = Icat(image, 2);

    // A mount that only reads leaves $LogFile alone.
    {
      fstest::ImageVolume device(image, c.sector, 0, false);
      std::unique_ptr<ntfs::NTFSDriver> driver(static_cast<ntfs::NTFSDriver*>(filesystems::OpenNTFSVolume(
          &device, 0, std::filesystem::file_size(image) / c.sector, NextCacheKey(), nullptr, nullptr, 0)));
      ASSERT_NE(driver, nullptr);
      ntfs::NTFSFile file(*driver, record);
      std::uint8_t bytes[100];
      std::uint32_t done = 0;
      file.Read(bytes, 0, 100, done);
      EXPECT_FALSE(driver->LogCleaned());
    }
    ASSERT_EQ(Icat(image, 2), before);

    WriteOneByte(image, c.sector, record);
    const std::string after = Icat(image, 2);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t b = 0; b < after.size(); ++b) {
      if (after[b] == before[b]) continue;
      const std::size_t inPage = b % 4096;
      const bool pageCleaned = b < 4096 ? !c.damageFirst : b < 8192;
      const bool allowed = pageCleaned && ((inPage >= 30 && inPage < 50) || inPage % 512 >= 510 ||
                                           (inPage >= kArea && inPage < kArea + 8) ||
                                           (inPage >= kClients && inPage < kClients + 16));
      ASSERT_TRUE(allowed) << "byte " << b << " of $LogFile changed";
    }
    if (!c.damageFirst) {
      const std::vector<std::string> cleaned = RecoverFields(image);
      ASSERT_GE(cleaned.size(), 6u);
      EXPECT_EQ(cleaned[0], "current_lsn=0000000000000480");
      EXPECT_EQ(cleaned[1], "oldest_lsn=0000000000000000");
      EXPECT_EQ(cleaned[2], "client_restart_lsn=0000000000000000");
      EXPECT_EQ(cleaned[3], "current_lsn=0000000000000480");
      EXPECT_EQ(cleaned[4], "oldest_lsn=0000000000000000");
      EXPECT_EQ(cleaned[5], "client_restart_lsn=0000000000000000");
    } else {
      // The second page, read as the format lays it out.
      const auto* second = reinterpret_cast<const std::uint8_t*>(after.data()) + 4096;
      EXPECT_EQ(Common::LoadLe64(second + kArea), 0x480u);
      EXPECT_EQ(Common::LoadLe64(second + kClients), 0u);
      EXPECT_EQ(Common::LoadLe64(second + kClients + 8), 0u);
    }
    // With nothing left to clear, a later mount's write leaves it alone.
    WriteOneByte(image, c.sector, record);
    EXPECT_EQ(Icat(image, 2), after);
    EXPECT_EQ(DiskTest::RunCommand("icat '" + image + "' " + std::to_string(record) + " | head -c 4 | tail -c 1"), "z");
  }
}

#endif
