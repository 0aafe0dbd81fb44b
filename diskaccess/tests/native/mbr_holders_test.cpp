// MBR holder trees of images that sfdisk made, against what sfdisk reads
// back; broken extended chains; and tables written back after edits, judged
// by sfdisk and by comparing every other sector of the image.
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/holders.h"
#include "disktest/run_command.h"
#include "disktest/temp_dir.h"
#include "foundation/byteorder.h"
#include "holder_fixture.h"
#include "standin_fixture.h"

namespace {

std::string Logicals(unsigned count, std::uint64_t first, std::uint64_t size,
                     std::uint64_t gap, const char* type) {
  std::ostringstream out;
  for (unsigned i = 0; i < count; ++i)
    out << "start=" << first + i * (size + gap) << ", size=" << size << ", type=" << type << "\n";
  return out.str();
}

TEST(MbrHolders, TreesEqualWhatSfdiskReads) {
  struct Case {
    const char* name;
    unsigned mib;
    std::string script;
    std::uint32_t maxNumber;  // partitions sfdisk sees that the tree must not
  };
  const Case cases[] = {
      {"primaries", 64,
       "label: dos\nstart=2048, size=20480, type=83\nstart=22528, size=8192, type=17\n"
       "start=30720, size=8192, type=1b\nstart=38912, size=4096, type=c\n",
       99},
      {"one logical in 05", 64,
       "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=40000, type=5\n" +
           Logicals(1, 10240, 4096, 0, "7"),
       99},
      {"fifty logicals in 0f", 256,
       "label: dos\nstart=2048, size=4096, type=6\nstart=8192, size=400000, type=f\n" +
           Logicals(50, 10240, 4096, 2048, "83"),
       99},
      {"out-of-order chain", 100,
       "label: dos\nstart=2048, size=100000, type=5\nstart=60000, size=10000, type=83\n"
       "start=10000, size=10000, type=7\nstart=80000, size=4000, type=1b\n",
       99},
      {"85 is data here", 64,
       "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=40000, type=85\n" +
           Logicals(3, 10240, 4096, 2048, "83"),
       4},
  };
  DiskTest::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path =
        DaTest::MakeMbrImage(dir, "m" + std::to_string(n++) + ".img", c.mib, c.script);
    std::vector<DaTest::Row> want = DaTest::SfdiskRows(path);
    want.erase(std::remove_if(want.begin(), want.end(),
                              [&](const DaTest::Row& r) { return r.number > c.maxNumber; }),
               want.end());
    if (c.maxNumber == 4) {
      // The 0x85 container reads as one data partition.
      bool seen = false;
      for (const DaTest::Row& r : want) seen = seen || r.type == 0x85;
      ASSERT_TRUE(seen);
    }
    ASSERT_FALSE(want.empty());
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    EXPECT_EQ(DaTest::TreeRows(disk), want);
    EXPECT_EQ(disk.read_context.scheme, kSchemeMbr);
    for (holder* h = disk.holder_list.first; h != nullptr; h = h->next) {
      EXPECT_EQ(h->flags & (kHolderChainCut | kHolderOverlaps), 0u) << h->start;
      if (h->next != nullptr) {
        EXPECT_LE(h->start, h->next->start);
      }
    }
  }
}

TEST(MbrHolders, PrimariesAndLogicalsGetTheOlderNumberKinds) {
  DiskTest::TempDir dir;
  // A FAT16 primary, a 0x0F container with two logicals: DOS-style numbering
  // (kinds 1 and 2) skips what lies in a 0x0F container.
  const std::string path = DaTest::MakeMbrImage(
      dir, "n.img", 64,
      "label: dos\nstart=2048, size=8192, type=6\nstart=10240, size=40000, type=f\n" +
          Logicals(2, 12288, 4096, 2048, "6"));
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  std::vector<std::vector<std::uint32_t>> numbers;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition()) numbers.push_back({h->GetNumber(0), h->GetNumber(1), h->GetNumber(2)});
  const std::vector<std::vector<std::uint32_t>> want = {
      {1, 1, 1}, {5, kNoNumber, 2}, {6, kNoNumber, 3}};
  EXPECT_EQ(numbers, want);
}

// Rewrites the link (entry 1) of the EBR at `ebr` to point `relative`
// sectors past the extended partition's start.
void PatchLink(const std::string& path, std::uint64_t ebr, std::uint32_t relative) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  std::uint8_t entry[16] = {0, 0, 0, 0, 5, 0, 0, 0};
  Common::StoreLe32(entry + 8, relative);
  Common::StoreLe32(entry + 12, 6144);
  f.seekp(static_cast<std::streamoff>(ebr * 512 + 462));
  f.write(reinterpret_cast<const char*>(entry), 16);
}

TEST(MbrHolders, BrokenChainsEndAndFlagTheTable) {
  struct Case {
    const char* name;
    std::uint32_t link;  // the third EBR's link, relative to the container
    unsigned wantLogicals;
  };
  // Container at 8192; EBRs at 8192, 14336 and 20480.
  const Case cases[] = {
      {"loop to the first EBR", 0 + 6144 * 0 + 1, 3},  // 8193: inside, not an EBR
      {"loop to the second EBR", 6144, 3},
      {"past the container", 200000, 3},
      {"past the disk", 0x7FFFFFFF, 3},
  };
  DiskTest::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = DaTest::MakeMbrImage(
        dir, "b" + std::to_string(n++) + ".img", 64,
        "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=40000, type=5\n" +
            Logicals(3, 10240, 4096, 2048, "83"));
    PatchLink(path, 20480, c.link);
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    unsigned logicals = 0;
    bool cut = false;
    for (holder* h = disk.holder_list.first; h != nullptr; h = h->next) {
      if (h->IsPartition() && !h->IsPrimary()) ++logicals;
      cut = cut || (h->flags & kHolderChainCut) != 0;
    }
    if (c.link == 1) {
      // 8193 is no EBR: the chain ends at a sector without a signature.
      EXPECT_GE(logicals, 3u);
    } else {
      EXPECT_EQ(logicals, c.wantLogicals);
      EXPECT_TRUE(cut);
    }
    EXPECT_LT(disk.holder_list.Count(), 20u);
  }
}

// The sectors in which two images differ.
std::vector<std::uint64_t> ChangedSectors(const std::string& a, const std::string& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> x(512), y(512);
  std::vector<std::uint64_t> changed;
  for (std::uint64_t s = 0; fa.read(x.data(), 512) && fb.read(y.data(), 512); ++s)
    if (x != y) changed.push_back(s);
  return changed;
}

TEST(MbrHolders, EditsWrittenBackPassSfdiskAndTouchOnlyTheirTables) {
  DiskTest::TempDir dir;
  const std::string path = dir.File("w.img");
  DaTest::FillWithUnitNumbers(path, 64u << 20);
  const std::string script = dir.File("w.sfdisk");
  std::ofstream(script) << "label: dos\nlabel-id: 0x1234abcd\n"
                           "start=2048, size=8192, type=83\nstart=10240, size=100000, type=5\n"
                           "start=14336, size=4096, type=17\nstart=40960, size=4096, type=83\n"
                           "start=120000, size=8192, type=c\n";
  ASSERT_TRUE(DaTest::Run("sfdisk --no-reread --no-tell-kernel " + path + " < " + script));
  const std::string before = dir.File("before.img");
  ASSERT_TRUE(DaTest::Run("cp --sparse=always " + path + " " + before));

  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  holder* first = nullptr;
  holder* hidden = nullptr;
  holder* fat = nullptr;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next) {
    if (!h->IsPartition()) continue;
    if (h->start == 2048) first = h;
    if (h->start == 14336) hidden = h;
    if (h->start == 120000) fat = h;
  }
  ASSERT_NE(first, nullptr);
  ASSERT_NE(hidden, nullptr);
  ASSERT_NE(fat, nullptr);
  EXPECT_EQ(hidden->GetType(), 0x07);
  EXPECT_EQ(hidden->GetHiddenState(), 1u);

  // Forbidden changes are refused.
  EXPECT_FALSE(first->SetType(0x05, true));
  EXPECT_FALSE(first->SetType(0xEE, true));
  EXPECT_TRUE(first->SetType(0x07, true));
  fat->SetActive(true);
  hidden->MarkOwnerModified();  // its EBR is rewritten: the type stays hidden
  PartitionInfo info;
  info.primary = false;
  info.type = 0x83;
  info.ebrOffset = 2048;
  holder* made = first->CreatePartition(22528, 8192, info, true);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(first->CreatePartition(24000, 100, info, true), nullptr);  // overlaps
  ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);

  int status = 0;
  const std::string verify = DiskTest::RunCommand("sfdisk --verify " + path + " 2>&1", &status);
  EXPECT_EQ(status, 0) << verify;
  EXPECT_EQ(verify.find("overlap"), std::string::npos) << verify;
  const std::string dump = DiskTest::RunCommand("sfdisk --dump " + path + " 2>/dev/null");
  const std::string lines[] = {
      "start=        2048, size=        8192, type=7\n",
      "start=       10240, size=      100000, type=5\n",
      "start=      120000, size=        8192, type=c, bootable\n",
      "start=       14336, size=        4096, type=17\n",
      "start=       22528, size=        8192, type=83\n",
      "start=       40960, size=        4096, type=83\n",
  };
  std::size_t at = 0;
  for (const std::string& line : lines) {
    const std::size_t found = dump.find(line, at);
    EXPECT_NE(found, std::string::npos) << line << dump;
    if (found != std::string::npos) at = found;
  }
  EXPECT_NE(dump.find("label-id: 0x1234abcd"), std::string::npos) << dump;

  // Only the MBR, the hidden partition's EBR, the new EBR and the EBR
  // whose link now points at it changed.
  EXPECT_EQ(ChangedSectors(before, path),
            (std::vector<std::uint64_t>{0, 10240, 20480}));
  // Every written EBR carries the 14-byte record that sums to zero.
  for (std::uint64_t ebr : {10240ull, 20480ull}) {
    const std::vector<std::uint8_t> s = DaTest::FileBytes(path, ebr * 512, 512);
    std::uint8_t sum = 0;
    for (int i = 426; i < 440; ++i) sum = static_cast<std::uint8_t>(sum + s[i]);
    EXPECT_EQ(sum, 0) << ebr;
    EXPECT_EQ(s[438] | s[439] << 8, 14) << ebr;
  }
  // Read again, the tree is what was written.
  DaTest::FileDisk again(path, 512);
  DaReadHolders(&again, kWalkFollowChains);
  EXPECT_EQ(DaTest::TreeRows(again), DaTest::SfdiskRows(path));
}

TEST(MbrHolders, FourKSectorTablesAreReadWhole) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::Make4KMbrImage(
      dir, "k.img", 64, "o\nn\np\n1\n256\n+8M\nn\ne\n2\n\n\nn\n\n+4M\nw\n");
  DaTest::FileDisk disk(path, 4096);
  DaReadHolders(&disk, kWalkFollowChains);
  unsigned partitions = 0;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition()) ++partitions;
  EXPECT_EQ(partitions, 2u);
  EXPECT_EQ(disk.read_context.scheme, kSchemeMbr);
}

// Zeroes entry `entry` of the table at sector `table`.
void ClearEntry(const std::string& path, std::uint64_t table, unsigned entry) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  const char zero[16] = {};
  f.seekp(static_cast<std::streamoff>(table * 512 + 446 + 16 * entry));
  f.write(zero, 16);
}

std::vector<std::uint64_t> LogicalStarts(stddisk& disk) {
  std::vector<std::uint64_t> starts;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition() && !h->IsPrimary()) starts.push_back(h->start);
  return starts;
}

TEST(MbrHolders, RecordsThatOnlyLinkOnLeaveTheChainAndTheirOwnerIsRewritten) {
  struct Case {
    const char* name;
    std::uint64_t ebr;  // whose partition entry is cleared
    std::vector<std::uint64_t> logicals;
    std::vector<std::uint64_t> changed;  // sectors the write changes
    bool loops = false;                  // its link points back to the container's start
  };
  // Container at 8192; EBRs at 8192, 14336 and 20480, each 2048 sectors
  // before its logical partition.
  const Case cases[] = {
      {"a middle record that only links on", 14336, {10240, 22528}, {8192}},
      {"the last record, left empty", 20480, {10240, 16384}, {14336}},
      // Its link goes back to the first record: the chain ends before it.
      {"a middle record whose link loops back", 14336, {10240}, {8192}, true},
      // The first record stands where the MBR's entry points: it stays.
      {"the first record, which only links on", 8192, {16384, 22528}, {}},
  };
  DiskTest::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = DaTest::MakeMbrImage(
        dir, "l" + std::to_string(n++) + ".img", 64,
        "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=40000, type=5\n" +
            Logicals(3, 10240, 4096, 2048, "83"));
    ClearEntry(path, c.ebr, 0);
    if (c.loops) PatchLink(path, c.ebr, 0);
    const std::string before = dir.File("before" + std::to_string(n) + ".img");
    ASSERT_TRUE(DaTest::Run("cp " + path + " " + before));
    {
      DaTest::FileDisk disk(path, 512);
      DaReadHolders(&disk, kWalkFollowChains);
      EXPECT_EQ(LogicalStarts(disk), c.logicals);
      for (holder* h = disk.holder_list.first; h != nullptr; h = h->next) {
        if (h->start == c.ebr && !h->IsPartition()) {
          EXPECT_EQ(c.ebr, 8192u) << "still in the tree";
        }
      }
      ASSERT_EQ(DaWriteHolders(&disk).Code(), 0u);
    }
    EXPECT_EQ(ChangedSectors(before, path), c.changed);
    int status = 0;
    const std::string verify = DiskTest::RunCommand("sfdisk --verify " + path + " 2>&1", &status);
    EXPECT_EQ(status, 0) << verify;
    // sfdisk follows the rewritten chain to the same partitions.
    std::vector<std::uint64_t> theirs;
    for (const DaTest::Row& r : DaTest::SfdiskRows(path))
      if (r.number >= 5) theirs.push_back(r.start);
    EXPECT_EQ(theirs, c.logicals) << DiskTest::RunCommand("sfdisk --dump " + path);
    DaTest::FileDisk again(path, 512);
    DaReadHolders(&again, kWalkFollowChains);
    EXPECT_EQ(DaTest::TreeRows(again), DaTest::SfdiskRows(path));
  }
}

// Hears of each finished table, with the number of sectors written by then.
struct TableLog {
  DaTest::FileDisk* disk;
  std::vector<std::size_t> writesSoFar;
  static void Heard(void* context) {
    auto* log = static_cast<TableLog*>(context);
    log->writesSoFar.push_back(log->disk->writes.size());
  }
};

TEST(MbrHolders, TheWalkReportsEachFinishedTableAfterWritingIt) {
  DiskTest::TempDir dir;
  const std::string path = DaTest::MakeMbrImage(
      dir, "c.img", 64,
      "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=40000, type=5\n" +
          Logicals(3, 10240, 4096, 2048, "83"));
  DaTest::FileDisk disk(path, 512);
  TableLog log{&disk, {}};
  HolderWalker reader;
  reader.Begin(&disk, kWalkFollowChains | kWalkStoreContext, nullptr);
  for (bool more = !reader.AtEnd(); more; more = reader.Next(TableLog::Heard, &log)) {
  }
  reader.End();
  // The MBR and three EBRs.
  EXPECT_EQ(log.writesSoFar, (std::vector<std::size_t>{0, 0, 0, 0}));

  // The second EBR and the MBR changed: the walk leaves the innermost
  // record first, and each report comes after its table was written.
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (!h->IsPartition() && (h->start == 14336 || h->start == 0)) h->SetModified(true);
  log.writesSoFar.clear();
  HolderWalker writer;
  writer.Begin(&disk, kWalkFollowChains | kWalkWrite, &disk.read_context);
  for (bool more = !writer.AtEnd(); more; more = writer.Next(TableLog::Heard, &log)) {
  }
  writer.End();
  EXPECT_EQ(log.writesSoFar, (std::vector<std::size_t>{0, 1, 1, 2}));
  EXPECT_EQ(disk.writes, (std::vector<std::uint64_t>{14336, 0}));
  int status = 0;
  const std::string verify = DiskTest::RunCommand("sfdisk --verify " + path + " 2>&1", &status);
  EXPECT_EQ(status, 0) << verify;
}

}  // namespace
