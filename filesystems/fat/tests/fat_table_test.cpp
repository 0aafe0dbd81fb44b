// FAT tables and cluster chains against images made by mkfs.fat and mtools:
// chains equal istat's sector lists, allocation and freeing leave volumes
// that fsck.fat finds clean, the FAT copies agree, and the entry encodings
// keep what they must.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
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
using filesystems::ClusterRun;
using filesystems::FATDriver;

std::vector<std::uint32_t> Clusters(const std::vector<ClusterRun>& runs) {
  std::vector<std::uint32_t> out;
  for (const ClusterRun& r : runs)
    for (std::uint32_t c = r.first; c < r.end; ++c) out.push_back(c);
  return out;
}

template <class F>
std::uint32_t ErrorCode(F f) {
  try {
    f();
  } catch (const Common::Error& e) {
    return e.Code();
  }
  return 0;
}

// The byte offset of a root or subdirectory entry with this 8.3 name.
std::uint64_t FindEntry(const std::string& image, const std::string& name83) {
  const auto bytes = fattest::ReadBytes(image, 0, 4u << 20);
  for (std::size_t at = 0; at + 32 <= bytes.size(); at += 32)
    if (std::equal(name83.begin(), name83.end(), bytes.begin() + at)) return at;
  return 0;
}

std::uint32_t EntryCluster(const std::string& image, std::uint64_t entry) {
  const auto e = fattest::ReadBytes(image, entry, 32);
  return std::uint32_t(Common::LoadLe16(e.data() + 20)) << 16 | Common::LoadLe16(e.data() + 26);
}

const std::vector<MkfsOptions>& Types() {
  static const std::vector<MkfsOptions> types = {
      {12, 512, 1, 2, 1440, "CHAIN12", ""},
      {16, 512, 1, 2, 8000, "CHAIN16", ""},
      {32, 512, 1, 2, 40960, "CHAIN32", ""},
  };
  return types;
}

std::uint64_t ClusterBytes(const std::string& image) {
  const auto boot = fattest::ReadBytes(image, 0, 16);
  return std::uint64_t(Common::LoadLe16(boot.data() + 11)) * boot[13];
}

// Small files, every other one deleted, then a large one that must fill the
// holes: its chain is fragmented.
std::vector<std::pair<std::string, std::size_t>> FillFragmented(const std::string& image,
                                                                const fattest::ScratchDir& dir) {
  std::vector<std::pair<std::string, std::size_t>> kept;
  for (int i = 0; i < 8; ++i) {
    const std::string name = "F" + std::to_string(i) + ".BIN";
    const std::size_t size = 1500 + 700 * std::size_t(i);
    fattest::MakeHostFile(dir.File(name), size, std::uint32_t(i));
    DiskTest::RunCommand("mcopy -i '" + image + "' '" + dir.File(name) + "' ::" + name);
  }
  // The rest of the volume goes to a filler, so that only the holes remain.
  const fattest::FsckReport now = Fsck(image);
  const std::uint64_t clusterBytes = ClusterBytes(image);
  fattest::MakeHostFile(dir.File("FILL.BIN"),
                        std::size_t((now.dataClusters - now.usedClusters) * clusterBytes), 77);
  DiskTest::RunCommand("mcopy -i '" + image + "' '" + dir.File("FILL.BIN") + "' ::FILL.BIN");
  for (int i = 0; i < 8; ++i) {
    const std::string name = "F" + std::to_string(i) + ".BIN";
    if (i % 2)
      DiskTest::RunCommand("mdel -i '" + image + "' ::" + name);
    else
      kept.push_back({name, 1500 + 700 * std::size_t(i)});
  }
  // Larger than any hole: it spreads over several of them.
  const std::size_t big = std::size_t(5 * 2200 / clusterBytes) * clusterBytes + 1;
  fattest::MakeHostFile(dir.File("BIG.BIN"), big, 99);
  DiskTest::RunCommand("mcopy -i '" + image + "' '" + dir.File("BIG.BIN") + "' ::BIG.BIN");
  kept.push_back({"BIG.BIN", big});
  return kept;
}

TEST(FatTable, ChainsOfFragmentedFilesEqualIstat) {
  for (const MkfsOptions& o : Types()) {
    SCOPED_TRACE(fattest::Describe(o));
    fattest::ScratchDir dir;
    const std::string image = dir.File("chains.img");
    ASSERT_TRUE(fattest::MakeImage(image, o));
    const auto files = FillFragmented(image, dir);
    ASSERT_EQ(Fsck(image).status, 0);
    Mounted m(image, o.sectorSize);
    ASSERT_NE(m.driver, nullptr);
    for (const auto& [name, size] : files) {
      SCOPED_TRACE(name);
      const std::string inode = fattest::FlsInode(image, name);
      ASSERT_FALSE(inode.empty());
      std::vector<std::uint32_t> expected;
      for (std::uint64_t s : fattest::IstatSectors(image, inode)) {
        const std::uint32_t c =
            std::uint32_t((s - m->FirstDataSector()) / m->SectorsPerCluster() + 2);
        if (expected.empty() || expected.back() != c) expected.push_back(c);
      }
      ASSERT_FALSE(expected.empty());
      std::uint32_t endMark = 0;
      const auto runs = m->ReadChain(expected.front(), &endMark);
      EXPECT_EQ(Clusters(runs), expected);
      EXPECT_FALSE(m->IsDataCluster(endMark));
      EXPECT_NE(endMark, 0u);
      if (name == "BIG.BIN") {
        EXPECT_GT(runs.size(), 1u) << "the large file is not fragmented";
      }
    }
  }
}

TEST(FatTable, FreeingAndAllocatingLeaveTheVolumeClean) {
  for (const MkfsOptions& o : Types()) {
    SCOPED_TRACE(fattest::Describe(o));
    fattest::ScratchDir dir;
    const std::string image = dir.File("alloc.img");
    ASSERT_TRUE(fattest::MakeImage(image, o));
    FillFragmented(image, dir);
    const fattest::FsckReport before = Fsck(image);
    ASSERT_EQ(before.status, 0);
    const std::uint64_t entry = FindEntry(image, "F2      BIN");
    ASSERT_NE(entry, 0u);
    const std::uint32_t first = EntryCluster(image, entry);
    // The entry is set aside by hand while its chain is freed.
    fattest::WriteBytes(image, entry, {0xE5});

    const std::uint32_t clusterBytes = o.sectorsPerCluster * o.sectorSize;
    std::vector<std::uint32_t> allocated;
    std::uint32_t freeAtEnd = 0;
    {
      Mounted m(image, o.sectorSize, false);
      ASSERT_NE(m.driver, nullptr);
      const std::uint32_t freeBefore = m->GetFreeClusterCount(false);
      EXPECT_EQ(freeBefore, before.dataClusters - before.usedClusters);
      const std::size_t chainLength = Clusters(m->ReadChain(first)).size();
      m->FreeClusterChain(first);
      EXPECT_EQ(m->GetFreeClusterCount(false), freeBefore + chainLength);
      EXPECT_EQ(m->Handler().GetEntry(first), 0u);
      m->FreeClusterChain(0);  // frees nothing
      EXPECT_EQ(m->GetFreeClusterCount(false), freeBefore + chainLength);

      for (int i = 0; i < 7; ++i) {
        const std::uint32_t c = m->AllocateCluster();
        if (!allocated.empty()) m->Handler().SetEntry(allocated.back(), c);
        allocated.push_back(c);
      }
      freeAtEnd = m->GetFreeClusterCount(false);
      EXPECT_EQ(freeAtEnd, freeBefore + chainLength - 7);
      EXPECT_EQ(Clusters(m->ReadChain(allocated.front())), allocated);
      m->Flush();
    }
    // The entry comes back owning the new chain, sized to its last cluster.
    auto e = fattest::ReadBytes(image, entry, 32);
    e[0] = 'F';
    Common::StoreLe16(e.data() + 20, std::uint16_t(allocated.front() >> 16));
    Common::StoreLe16(e.data() + 26, std::uint16_t(allocated.front()));
    Common::StoreLe32(e.data() + 28, 7 * clusterBytes);
    fattest::WriteBytes(image, entry, e);

    const fattest::FsckReport after = Fsck(image);
    EXPECT_EQ(after.status, 0) << after.output;
    EXPECT_EQ(after.dataClusters - after.usedClusters, freeAtEnd);
    std::vector<std::uint32_t> seen;
    Mounted check(image, o.sectorSize);
    for (std::uint64_t s : fattest::IstatSectors(image, fattest::FlsInode(image, "F2.BIN"))) {
      const std::uint32_t c =
          std::uint32_t((s - check->FirstDataSector()) / check->SectorsPerCluster() + 2);
      if (seen.empty() || seen.back() != c) seen.push_back(c);
    }
    EXPECT_EQ(seen, allocated);
    // Every FAT copy is the same after the flush.
    const std::uint64_t fatBytes = std::uint64_t(check->SectorsPerFat()) * o.sectorSize;
    const auto copy0 = fattest::ReadBytes(image, std::uint64_t(check->ReservedSectors()) * 512,
                                          std::size_t(fatBytes));
    const auto copy1 = fattest::ReadBytes(
        image, std::uint64_t(check->ReservedSectors()) * 512 + fatBytes, std::size_t(fatBytes));
    EXPECT_TRUE(copy0 == copy1);
    if (o.fatBits == 32) {
      // The FSInfo count was brought up to date at unmount.
      const auto fsInfo = fattest::ReadBytes(image, std::uint64_t(check->FsInfoSector()) * 512, 512);
      EXPECT_EQ(Common::LoadLe32(fsInfo.data() + 488), freeAtEnd);
    }
  }
}

TEST(FatTable, Fat12EntriesKeepTheirNeighbours) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("pack.img");
  ASSERT_TRUE(fattest::MakeImage(image, {12, 512, 1, 1, 1440, "PACK", ""}));
  const std::uint64_t fatAt = 512;  // one reserved sector
  for (std::uint32_t k : {101u, 200u}) {
    SCOPED_TRACE(k);
    // Neighbours with every bit set, so that a stray write shows.
    std::vector<std::uint8_t> fill(12, 0xFF);
    fattest::WriteBytes(image, fatAt + 3 * (k - 2) / 2 - 1, fill);
    const auto before = fattest::ReadBytes(image, fatAt, 4608);
    {
      Mounted m(image, 512, false);
      ASSERT_NE(m.driver, nullptr);
      ASSERT_EQ(m->Type(), FATDriver::FatType::kFat12);
      const std::uint32_t neighbour = k ^ 1;
      const std::uint32_t old = m->Handler().GetEntry(neighbour);
      m->Handler().SetEntry(k, 0xABC);
      EXPECT_EQ(m->Handler().GetEntry(k), 0xABCu);
      EXPECT_EQ(m->Handler().GetEntry(neighbour), old);
      m->Flush();
    }
    const auto after = fattest::ReadBytes(image, fatAt, 4608);
    for (std::size_t i = 0; i < before.size(); ++i)
      if (i != 3 * k / 2 && i != 3 * k / 2 + 1) {
        EXPECT_EQ(before[i], after[i]) << "byte " << i;
      }
    const std::uint16_t word = Common::LoadLe16(after.data() + 3 * k / 2);
    EXPECT_EQ((k & 1) ? word >> 4 : word & 0xFFF, 0xABC);
  }
}

TEST(FatTable, Fat32ReservedBitsAndEndMarks) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("top.img");
  ASSERT_TRUE(fattest::MakeImage(image, {32, 512, 1, 2, 40960, "TOPBITS", ""}));
  Mounted probe(image, 512);
  const std::uint64_t fatAt = std::uint64_t(probe->ReservedSectors()) * 512;
  probe.Unmount();
  std::vector<std::uint8_t> entries(12);
  Common::StoreLe32(entries.data(), 0xF0000000);     // cluster 100: free
  Common::StoreLe32(entries.data() + 4, 0x0FFFFFF7);  // cluster 101: bad
  Common::StoreLe32(entries.data() + 8, 0x1000000A);  // cluster 102: next 10
  fattest::WriteBytes(image, fatAt + 400, entries);
  {
    Mounted m(image, 512, false);
    ASSERT_NE(m.driver, nullptr);
    EXPECT_EQ(m->Handler().GetEntry(100), 0u);
    EXPECT_EQ(m->Handler().GetEntry(102), 10u);
    std::uint32_t endMark = 0;
    EXPECT_EQ(Clusters(m->ReadChain(101, &endMark)), std::vector<std::uint32_t>{101});
    EXPECT_EQ(endMark, 0x0FFFFFF7u);
    m->Handler().SetEntry(100, 0xFFFFFFFF);
    m->Handler().SetEntry(102, 0);
    m->Flush();
  }
  const auto raw = fattest::ReadBytes(image, fatAt + 400, 12);
  EXPECT_EQ(Common::LoadLe32(raw.data()), 0xFFFFFFFFu);
  EXPECT_EQ(Common::LoadLe32(raw.data() + 8), 0x10000000u);
}

TEST(FatTable, RunsSplitAtTheFatSectorAndCyclesAreBounded) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("runs.img");
  ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 1, 2, 8000, "RUNS", ""}));
  Mounted m(image, 512, false);
  ASSERT_NE(m.driver, nullptr);
  auto& fat = m->Handler();
  // 254, 255, 256, 257: 256 entries per FAT sector split it in two runs.
  for (std::uint32_t c = 254; c < 257; ++c) fat.SetEntry(c, c + 1);
  fat.SetEntry(257, 0xFFFF);
  ClusterRun run;
  run.next = 254;
  ASSERT_TRUE(fat.GetChainRun(run));
  EXPECT_EQ(run.first, 254u);
  EXPECT_EQ(run.end, 256u);
  EXPECT_EQ(run.next, 256u);
  ASSERT_TRUE(fat.GetChainRun(run));
  EXPECT_EQ(run.first, 256u);
  EXPECT_EQ(run.end, 258u);
  EXPECT_EQ(run.next, 0xFFFFu);
  EXPECT_FALSE(fat.GetChainRun(run));

  // 10, 11, 12 then 20 and back to 10: a cycle.
  fat.SetEntry(10, 11);
  fat.SetEntry(11, 12);
  fat.SetEntry(12, 20);
  fat.SetEntry(20, 10);
  EXPECT_EQ(ErrorCode([&] { m->ReadChain(10); }), kFileCorrupted);
  const std::uint32_t free = m->GetFreeClusterCount(false);
  m->FreeClusterChain(10);
  EXPECT_EQ(m->GetFreeClusterCount(false), free + 4);
  for (std::uint32_t c : {10u, 11u, 12u, 20u}) EXPECT_EQ(fat.GetEntry(c), 0u) << c;
}

TEST(FatTable, AllocationFillsTheVolumeThenWrapsToFreedClusters) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("full.img");
  ASSERT_TRUE(fattest::MakeImage(image, {12, 512, 4, 2, 160, "FULL", ""}));
  Mounted m(image, 512, false);
  ASSERT_NE(m.driver, nullptr);
  const std::uint32_t free = m->GetFreeClusterCount(false);
  std::vector<std::uint32_t> taken;
  for (std::uint32_t i = 0; i < free; ++i) taken.push_back(m->AllocateCluster());
  EXPECT_TRUE(std::is_sorted(taken.begin(), taken.end()));
  EXPECT_EQ(m->GetFreeClusterCount(false), 0u);
  EXPECT_EQ(ErrorCode([&] { m->AllocateCluster(); }), kFileDiskFull);
  EXPECT_EQ(m->GetFreeClusterCount(false), 0u);
  // A cluster freed behind the cursor is found again after the wrap.
  const std::uint32_t hole = taken[taken.size() / 3];
  m->FreeClusterChain(hole);
  EXPECT_EQ(m->AllocateCluster(), hole);
  EXPECT_EQ(m->GetFreeClusterCount(false), 0u);
}

// With mirroring off (FAT32 extended flags bit 7) only the active copy is
// written, and the active copy is the one the flags name.
TEST(FatTable, Fat32WithoutMirroringWritesOnlyTheActiveCopy) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("nomirror.img");
  ASSERT_TRUE(fattest::MakeImage(image, {32, 512, 1, 2, 40960, "NOMIRROR", ""}));
  fattest::WriteBytes(image, 40, {0x81, 0x00});  // active FAT 1, mirroring off
  Mounted probe(image, 512);
  ASSERT_NE(probe.driver, nullptr);
  EXPECT_FALSE(probe->Mirroring());
  const std::uint64_t copy0 = std::uint64_t(probe->ReservedSectors()) * 512;
  const std::uint64_t fatBytes = std::uint64_t(probe->SectorsPerFat()) * 512;
  EXPECT_EQ(probe->ActiveFatStart(), probe->ReservedSectors() + probe->SectorsPerFat());
  probe.Unmount();
  const auto before0 = fattest::ReadBytes(image, copy0, std::size_t(fatBytes));
  {
    Mounted m(image, 512, false);
    m->Handler().SetEntry(500, 0xFFFFFFFF);
    m->Flush();
  }
  EXPECT_TRUE(fattest::ReadBytes(image, copy0, std::size_t(fatBytes)) == before0);
  const auto copy1 = fattest::ReadBytes(image, copy0 + fatBytes, std::size_t(fatBytes));
  EXPECT_EQ(Common::LoadLe32(copy1.data() + 2000) & 0x0FFFFFFF, 0x0FFFFFFFu);
}

// A refused write of one FAT copy is reported and leaves the FAT blocks
// dirty: the next flush brings every copy in line.
TEST(FatTable, AFailedCopyWriteIsReportedAndRetried) {
  fattest::ScratchDir dir;
  const std::string image = dir.File("retry.img");
  ASSERT_TRUE(fattest::MakeImage(image, {16, 512, 4, 2, 20480, "RETRY", ""}));
  {
    Mounted m(image, 512, false);
    ASSERT_NE(m.driver, nullptr);
    const std::uint64_t second = m->ReservedSectors() + m->SectorsPerFat();
    m->Handler().SetEntry(300, 0xFFFF);
    m.device->FailWrites(second, m->SectorsPerFat());
    EXPECT_EQ(ErrorCode([&] { m->Flush(); }), kFileWriteError);
    m.device->ClearFailures();
    m->Flush();
  }
  Mounted check(image, 512);
  const std::uint64_t fatBytes = std::uint64_t(check->SectorsPerFat()) * 512;
  const auto copy0 = fattest::ReadBytes(image, std::uint64_t(check->ReservedSectors()) * 512,
                                        std::size_t(fatBytes));
  const auto copy1 = fattest::ReadBytes(
      image, std::uint64_t(check->ReservedSectors()) * 512 + fatBytes, std::size_t(fatBytes));
  EXPECT_TRUE(copy0 == copy1);
  EXPECT_EQ(Common::LoadLe16(copy1.data() + 600), 0xFFFF);
}

}  // namespace

#endif
