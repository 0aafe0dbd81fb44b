// Free-space holders against `sfdisk -F`, the partition listing's sorts and
// filters, the drive-letter choice, and a refresh that puts back what
// in-memory edits changed without writing.
#include <algorithm>
#include <cstdint>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/da_state.h"
#include "diskaccess/global_ops.h"
#include "diskaccess/holders.h"
#include "diskaccess/lifecycle.h"
#include "diskaccess/win_computer.h"
#include "disktest/run_command.h"
#include "holder_fixture.h"
#include "standin_fixture.h"

namespace {

struct Span {
  std::uint64_t first, last;
  bool operator==(const Span& o) const { return first == o.first && last == o.last; }
};
std::ostream& operator<<(std::ostream& out, const Span& s) {
  return out << s.first << "-" << s.last;
}

// The rows of `sfdisk -F`: start and end sector of every free area.
std::vector<Span> SfdiskFree(const std::string& path) {
  const std::string out = DiskTest::RunCommand("sfdisk -F " + path + " 2>/dev/null");
  std::vector<Span> rows;
  const std::regex row("^\\s*(\\d+)\\s+(\\d+)\\s+(\\d+)\\s+\\S+\\s*$");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (std::regex_match(line, m, row)) rows.push_back({std::stoull(m[1]), std::stoull(m[2])});
  }
  return rows;
}

std::vector<Span> FreeHolders(stddisk& disk) {
  std::vector<Span> spans;
  for (holder* h = disk.holder_list.first; h != nullptr; h = h->next)
    if (h->IsFreeSpace()) spans.push_back({h->start, h->start + h->size - 1});
  return spans;
}

TEST(FreeSpace, HoldersEqualWhatSfdiskFinds) {
  struct Case {
    const char* name;
    bool gpt;
    unsigned mib;
    std::string script;  // sfdisk script, or sgdisk arguments
    std::uint64_t logicalFreeFrom = 0;  // free space in an extended container
  };
  const Case cases[] = {
      {"gaps between primaries", false, 64,
       "label: dos\nstart=4096, size=8192, type=83\nstart=20480, size=10240, type=7\n"
       "start=61440, size=2048, type=c\n"},
      {"a full disk", false, 16, "label: dos\nstart=2048, type=83\n"},
      {"no partition", false, 32, "label: dos\n"},
      // 1000 sectors and an unaligned 1048 sectors: too small for an
      // aligned partition, so neither sfdisk nor the layer offer them.
      {"small gaps", false, 64,
       "label: dos\nstart=2048, size=4096, type=83\nstart=7144, size=4096, type=83\n"
       "start=12288, size=100000, type=83\n"},
      {"inside and around an extended container", false, 64,
       "label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=40000, type=f\n"
       "start=10240, size=4096, type=7\nstart=16384, size=4096, type=1b\n",
       20480},
      {"gpt with gaps", true, 64, "-n 1:4096:+4M -t 1:0700 -n 2:40960:+8M -t 2:8300"},
      {"gpt full", true, 32, "-n 1:2048:0 -t 1:0700"},
      {"gpt unaligned inside", true, 64, "-n 1:2048:+5000 -n 2:20480:+4M"},
      {"gpt from its first usable sector", true, 64, "-n 1:4096:+4M"},
      {"gpt with six sectors before the first", true, 64, "-n 1:40:+5000"},
  };
  DiskTest::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "f" + std::to_string(n++) + ".img";
    const std::string path = c.gpt ? DaTest::MakeGptImage(dir, name, c.mib, c.script)
                                   : DaTest::MakeMbrImage(dir, name, c.mib, c.script);
    DaTest::FileDisk disk(path, 512);
    DaReadHolders(&disk, kWalkFollowChains);
    const std::uint32_t made = DaRebuildFreeSpace(&disk);
    std::vector<Span> want = SfdiskFree(path);
    // Inside an extended container sfdisk offers where a logical
    // partition's data could begin, one grain after its boot record's
    // place; the layer's free space begins at that place.
    for (Span& s : want)
      if (c.logicalFreeFrom != 0 && s.first == c.logicalFreeFrom + 2048)
        s.first = c.logicalFreeFrom;
    EXPECT_EQ(FreeHolders(disk), want);
    EXPECT_EQ(made, want.size());
    // Rebuilding again replaces, never adds.
    DaRebuildFreeSpace(&disk);
    EXPECT_EQ(FreeHolders(disk), want);
    // Free space sits in the list in start order.
    for (holder* h = disk.holder_list.first; h != nullptr && h->next != nullptr; h = h->next)
      EXPECT_LE(h->start, h->next->start);
  }
}

TEST(FreeSpace, AnMbrDiskOverTwoTebibytesStopsAtTheLast32BitSector) {
  DiskTest::TempDir dir;
  // 3 TiB, sparse: sfdisk offers the space up to the disk's end, which an
  // MBR entry cannot describe.
  const std::string path = dir.File("big.img");
  ASSERT_TRUE(DaTest::Run("truncate -s 3T " + path));
  ASSERT_TRUE(DaTest::Run("echo 'label: dos\nstart=2048, size=4096, type=83' | sfdisk " +
                          std::string("--no-reread --no-tell-kernel ") + path));
  std::vector<Span> want = SfdiskFree(path);
  ASSERT_EQ(want.size(), 1u);
  ASSERT_GT(want[0].last, 0xFFFFFFFFull);
  want[0].last = 0xFFFFFFFEull;  // 2^32 - 1 sectors in all
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  DaRebuildFreeSpace(&disk);
  EXPECT_EQ(FreeHolders(disk), want);

  // The same size with a GPT reaches the disk's last usable sector.
  const std::string gpt = dir.File("bigg.img");
  ASSERT_TRUE(DaTest::Run("truncate -s 3T " + gpt));
  ASSERT_TRUE(DaTest::Run("sgdisk -o -n 1:2048:+2M " + gpt));
  DaTest::FileDisk gdisk(gpt, 512);
  DaReadHolders(&gdisk, kWalkFollowChains);
  DaRebuildFreeSpace(&gdisk);
  EXPECT_EQ(FreeHolders(gdisk), SfdiskFree(gpt));
}

TEST(FreeSpace, DisksWithoutATableGetNone) {
  DiskTest::TempDir dir;
  const std::string path = dir.File("blank.img");
  ASSERT_TRUE(DaTest::Run("truncate -s 16M " + path));
  DaTest::FileDisk disk(path, 512);
  DaReadHolders(&disk, kWalkFollowChains);
  EXPECT_EQ(DaRebuildFreeSpace(&disk), 0u);
  EXPECT_TRUE(FreeHolders(disk).empty());
}

// ------------------------------------------------------------ letters

TEST(DriveLetters, ChoiceFollowsTheFreeMask) {
  constexpr std::uint32_t kCToF = 0xF;                   // C D E F free
  constexpr std::uint32_t kOnlyZ = 1u << 23;             // Z free
  constexpr std::uint32_t kAllButD = 0xFFFFFFu & ~0x2u;  // D taken
  struct Case {
    std::uint32_t mask;
    std::uint8_t letter;
    std::uint8_t lowest;
    bool taken;
    std::uint8_t chosen;
  };
  const Case cases[] = {
      {0, 'D', 0, false, 0},          // no mask: nothing to choose from
      {kCToF, 'D', 'C', false, 'D'},
      {kCToF, 'd', 'C', false, 'D'},  // lower case folds
      {kCToF, 'G', 'C', true, 'C'},   // G is not free: the lowest instead
      {kAllButD, 'D', 'C', true, 'C'},
      {kAllButD, 'E', 'C', false, 'E'},
      {kOnlyZ, 'Z', 'Z', false, 'Z'},
      {kOnlyZ, 'c', 'Z', true, 'Z'},
      {kCToF, 'A', 'C', false, 'A'},  // A and B are never in the mask
      {kCToF, 0x7F, 'C', false, 0x7F},
      {0xFF000000u, 'C', 0, true, 0},  // bits past Z are no letters
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.mask << " " << c.letter);
    EXPECT_EQ(LowestFreeLetter(c.mask), c.lowest);
    EXPECT_EQ(IsLetterTaken(c.mask, c.letter), c.taken);
    EXPECT_EQ(ChooseLetter(c.mask, c.letter), c.chosen);
  }
}

// ------------------------------------------------ listing and refresh

class Listing : public ::testing::Test {
 protected:
  void SetUp() override {
    // Disk 1: partitions of 8, 2 and 4 MiB with gaps; disk 2: one of 4 MiB.
    one_ = DaTest::MakeMbrImage(dir_, "one.img", 64,
                                "label: dos\nstart=2048, size=16384, type=7\n"
                                "start=22528, size=4096, type=83\n"
                                "start=40960, size=8192, type=c\n");
    two_ = DaTest::MakeMbrImage(dir_, "two.img", 16, "label: dos\nstart=4096, size=8192, type=7\n");
    config_.Install("drive " + one_ + "\ndrive " + two_ + "\n");
    saved_ = g_DaPartitionQuery;
    DaInit(0x1C11);
  }
  void TearDown() override {
    DaDone();
    g_DaPartitionQuery = saved_;
  }

  // (disk number, start) of every listed holder, in order; free space as
  // disk number + 100.
  std::vector<std::pair<std::uint32_t, std::uint64_t>> Listed() {
    std::vector<std::pair<std::uint32_t, std::uint64_t>> rows;
    DaPartitionList* list = DaQueryPartitions();
    if (list == nullptr) return rows;
    for (holder* h : list->order)
      rows.push_back({h->disk->GetDiskNumber() + (h->IsFreeSpace() ? 100 : 0), h->start});
    EXPECT_EQ(list->first, list->order.empty() ? nullptr : list->order.front());
    return rows;
  }

  stddisk* Disk(std::uint32_t number) { return DaLocalComputer()->FindDiskByNumber(number); }

  DiskTest::TempDir dir_;
  DaTest::StandinConfig config_{dir_};
  std::string one_, two_;
  DaPartitionQuery saved_;
};

TEST_F(Listing, SortsAndFilters) {
  using Rows = std::vector<std::pair<std::uint32_t, std::uint64_t>>;
  ASSERT_NE(Disk(1), nullptr);
  ASSERT_NE(Disk(2), nullptr);
  const std::uint32_t idTwo = Disk(2)->id;
  struct Case {
    const char* name;
    std::uint8_t includeAll, skipMarked, descending;
    std::uint32_t diskFilter;  // 2: the second disk's id
    std::uint32_t sortKind;
    Rows want;
    std::uint32_t count;
  };
  const Case cases[] = {
      // Sorting runs over every disk's holders together; ties keep the
      // walk's order (disk 1 before disk 2).
      {"by start", 0, 0, 0, 0, 3, {{1, 2048}, {2, 4096}, {1, 22528}, {1, 40960}}, 4},
      {"by start, descending", 0, 0, 1, 0, 3, {{1, 40960}, {1, 22528}, {2, 4096}, {1, 2048}}, 4},
      {"by size then start", 0, 0, 0, 0, 4, {{1, 22528}, {2, 4096}, {1, 40960}, {1, 2048}}, 4},
      {"by size, descending", 0, 0, 1, 0, 4, {{1, 2048}, {1, 40960}, {2, 4096}, {1, 22528}}, 4},
      {"second disk only", 0, 0, 0, 2, 3, {{2, 4096}}, 1},
      {"with free space", 1, 0, 0, 0, 3,
       {{1, 2048}, {102, 2048}, {2, 4096}, {102, 12288}, {101, 18432}, {1, 22528}, {101, 26624},
        {1, 40960}, {101, 49152}},
       9},
      {"free space skipped", 1, 1, 0, 0, 3, {{1, 2048}, {2, 4096}, {1, 22528}, {1, 40960}}, 4},
      {"free space last by scan order", 1, 0, 0, 2, 2, {{2, 4096}, {102, 2048}, {102, 12288}}, 3},
      {"a kind that only counts", 1, 0, 0, 0, 9, {}, 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_DaPartitionQuery.includeAll = c.includeAll;
    g_DaPartitionQuery.skipMarked = c.skipMarked;
    g_DaPartitionQuery.descending = c.descending;
    g_DaPartitionQuery.diskFilter = c.diskFilter == 2 ? idTwo : 0;
    g_DaPartitionQuery.sortKind = c.sortKind;
    EXPECT_EQ(Listed(), c.want);
    EXPECT_EQ(DaQueryPartitions()->count, c.count);
  }
}

TEST_F(Listing, SortByNumberPutsUnnumberedLast) {
  stddisk* d = Disk(1);
  ASSERT_NE(d, nullptr);
  std::vector<holder*> parts;
  for (holder* h = d->holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition()) parts.push_back(h);
  ASSERT_EQ(parts.size(), 3u);
  // Numbers of kind 1: 5, none, 3.
  parts[0]->SetNumber(1, 5);
  parts[1]->SetNumber(1, kNoNumber);
  parts[2]->SetNumber(1, 3);
  g_DaPartitionQuery.diskFilter = d->id;
  g_DaPartitionQuery.useTypeIndex = 1;
  g_DaPartitionQuery.typeIndex = 1;
  g_DaPartitionQuery.sortKind = 1;
  using Rows = std::vector<std::pair<std::uint32_t, std::uint64_t>>;
  EXPECT_EQ(Listed(), (Rows{{1, 40960}, {1, 2048}, {1, 22528}}));
  g_DaPartitionQuery.descending = 1;
  EXPECT_EQ(Listed(), (Rows{{1, 2048}, {1, 40960}, {1, 22528}}));
  parts[1]->SetNumber(1, 127);  // 127 is no number either
  EXPECT_EQ(Listed(), (Rows{{1, 2048}, {1, 40960}, {1, 22528}}));
}

TEST_F(Listing, RefreshPutsBackInMemoryEditsWithoutWriting) {
  g_DaPartitionQuery.includeAll = 1;
  const auto before = Listed();
  ASSERT_EQ(before.size(), 9u);
  stddisk* d = Disk(1);
  ASSERT_NE(d, nullptr);
  // Delete the middle partition and create one in the last gap, in memory.
  holder* middle = nullptr;
  for (holder* h = d->holder_list.first; h != nullptr; h = h->next)
    if (h->IsPartition() && h->start == 22528) middle = h;
  ASSERT_NE(middle, nullptr);
  ASSERT_TRUE(middle->DeletePartition(0, nullptr));
  holder* table = d->GetTableHolder(0);
  ASSERT_NE(table, nullptr);
  PartitionInfo info;
  info.type = 0x83;
  ASSERT_NE(table->CreatePartition(61440, 2048, info, true), nullptr);
  DaDispatchChanges(DaLocalComputer(), 1, nullptr);
  const auto edited = Listed();
  EXPECT_NE(edited, before);
  EXPECT_TRUE(std::find(edited.begin(), edited.end(), std::make_pair(1u, std::uint64_t(61440))) !=
              edited.end());

  const std::size_t logged = config_.LogLines().size();
  DaRefresh();
  EXPECT_EQ(Listed(), before);
  const std::vector<std::string> lines = config_.LogLines();
  for (std::size_t i = logged; i < lines.size(); ++i)
    EXPECT_EQ(lines[i].find("sbWrite"), std::string::npos) << lines[i];
  // And the images are what sfdisk made.
  EXPECT_EQ(DaTest::SfdiskRows(one_).size(), 3u);
}

}  // namespace

namespace {

// A disk over an image that remembers where each read began.
class CountingDisk : public DaTest::FileDisk {
 public:
  using FileDisk::FileDisk;
  Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override {
    if (op == Fdisk::kIoRead) reads.push_back({sector, count});
    return FileDisk::OpInt(op, sector, buffer, count);
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reads;
};

TEST(DiskSpeed, ASmallDiskIsReadWholeFromItsStartEachTime) {
  DiskTest::TempDir dir;
  const std::string path = dir.File("tiny.img");
  ASSERT_TRUE(DaTest::Run("truncate -s 51200 " + path));  // 100 sectors, below one chunk
  CountingDisk disk(path, 512);
  EXPECT_TRUE(DaMeasureDiskSpeed(&disk));
  ASSERT_FALSE(disk.reads.empty());
  for (const auto& r : disk.reads) {
    EXPECT_EQ(r.first, 0u);
    EXPECT_EQ(r.second, 100u);
  }
  EXPECT_GT(disk.speed, kDiskSpeedNoBuffer);
  EXPECT_FALSE(DaMeasureDiskSpeed(nullptr));
}

TEST(DiskSpeed, ALargerDiskIsReadInChunksThatStayInside) {
  DiskTest::TempDir dir;
  const std::string path = dir.File("four.img");
  ASSERT_TRUE(DaTest::Run("truncate -s 4M " + path));
  CountingDisk disk(path, 512);
  EXPECT_TRUE(DaMeasureDiskSpeed(&disk));
  ASSERT_FALSE(disk.reads.empty());
  for (const auto& r : disk.reads) {
    EXPECT_EQ(r.second, 512u);  // 256 KiB
    EXPECT_LE(r.first + r.second, 8192u);
  }
  // Every read succeeded: none was refused as lying past the disk's end.
  EXPECT_EQ(disk.requests, disk.reads.size());
}

}  // namespace
