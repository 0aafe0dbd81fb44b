// Fork extent lists and block allocation on a volume made by mkfs.hfsplus:
// where a fork's new blocks are searched, coalescing, node-sized areas for
// tree files, the extents file's eight-extent limit, a full volume, and
// reallocations that keep the old blocks until the caller lets them go.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "files/file_error.h"
#include "filesystems/hfs_allocation.h"
#include "filesystems/hfs_extents.h"
#include "foundation/byteorder.h"
#include "hfs_image.h"

namespace {

using filesystems::hfsplus::AllocationFile;
using filesystems::hfsplus::BlockArea;
using filesystems::hfsplus::ExtentDescriptor;
using filesystems::hfsplus::ExtentList;
using filesystems::hfsplus::SectorArea;
using fstest::CodeOf;
using hfstest::Mounted;

ExtentList ListOf(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> extents,
                  std::uint32_t volumeBlocks = 1000) {
  ExtentList list(volumeBlocks);
  for (const auto& e : extents) list.AppendRange(BlockArea::FromCount(e.first, e.second));
  return list;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> Pairs(const ExtentList& list) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (const ExtentDescriptor& e : list.Descriptors()) out.push_back({e.startBlock, e.blockCount});
  return out;
}

TEST(HfsExtents, DescriptorsFromDiskAreChecked) {
  struct Case {
    const char* name;
    std::vector<std::uint32_t> words;  // start, count pairs as on disk
    std::uint32_t code;
    std::uint32_t total;
  };
  const Case cases[] = {
      {"two", {10, 5, 20, 5, 0, 0, 99, 99}, 0, 10},  // stops at the first empty one
      {"countZero", {10, 0}, kFileCorrupted, 0},
      {"startZero", {0, 4}, kFileCorrupted, 0},
      {"pastVolume", {990, 11}, kFileCorrupted, 0},
      {"endWraps", {0xFFFFFFF0u, 0x20}, kFileCorrupted, 0},
      {"upToTheEnd", {990, 10}, 0, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> disk(c.words.size() * 4);
    for (std::size_t i = 0; i < c.words.size(); ++i) Common::StoreBe32(disk.data() + 4 * i, c.words[i]);
    ExtentList list(1000);
    EXPECT_EQ(CodeOf([&] { list.AppendDescriptors(disk.data(), c.words.size() / 2); }), c.code);
    if (c.code == 0) {
      EXPECT_EQ(list.TotalBlocks(), c.total);
    }
  }
}

TEST(HfsExtents, ListOperations) {
  ExtentList three = ListOf({{10, 5}, {15, 5}, {20, 5}});
  three.Coalesce();
  EXPECT_EQ(Pairs(three), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{10, 15}}));
  ExtentList front = ListOf({{10, 5}, {15, 5}, {40, 5}});
  front.Coalesce();
  EXPECT_EQ(Pairs(front), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{10, 10}, {40, 5}}));

  ExtentList nine(1000);
  for (std::uint32_t i = 0; i < 9; ++i) nine.AppendRange(BlockArea::FromCount(100 + 10 * i, 2));
  std::uint8_t record[64];
  nine.GetRecord(1, record);
  EXPECT_EQ(Common::LoadBe32(record), 180u);
  EXPECT_EQ(Common::LoadBe32(record + 4), 2u);
  for (int i = 8; i < 64; ++i) ASSERT_EQ(record[i], 0) << i;
  EXPECT_EQ(CodeOf([&] { nine.GetRecord(2, record); }), kFileCorrupted);
  EXPECT_EQ(nine.SumBlocks(8), 16u);

  EXPECT_EQ(nine.MapBlock(3), BlockArea(111, 111));
  EXPECT_EQ(nine.MapBlock(0), BlockArea(100, 101));
  EXPECT_EQ(CodeOf([&] { nine.MapBlock(18); }), kFileCorrupted);

  ExtentList released;
  ExtentList cut = ListOf({{10, 5}, {30, 5}, {50, 5}});
  cut.Truncate(7, released);
  EXPECT_EQ(Pairs(cut), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{10, 5}, {30, 2}}));
  EXPECT_EQ(Pairs(released), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{32, 3}, {50, 5}}));
  EXPECT_EQ(CodeOf([&] { cut.Truncate(8, released); }), kFileCorrupted);

  // Bytes to sectors: 4096-byte blocks on 512-byte sectors.
  const ExtentList fork = ListOf({{10, 2}, {40, 1}});
  EXPECT_EQ(filesystems::hfsplus::MapForkOffset(fork, 12288, 0, 4096, 512), SectorArea(80, 95));
  EXPECT_EQ(filesystems::hfsplus::MapForkOffset(fork, 12288, 4608, 4096, 512), SectorArea(89, 95));
  EXPECT_EQ(filesystems::hfsplus::MapForkOffset(fork, 12288, 8192, 4096, 512), SectorArea(320, 327));
  EXPECT_EQ(CodeOf([&] { filesystems::hfsplus::MapForkOffset(fork, 12288, 12288, 4096, 512); }),
            kFileCorrupted);
  EXPECT_EQ(CodeOf([&] { filesystems::hfsplus::MapForkOffset(fork, 12288, 100, 4096, 512); }),
            kFileCorrupted);
}

class HfsAllocation : public ::testing::Test {
 protected:
  void SetUp() override {
    image = dir.File("a.img");
    ASSERT_TRUE(hfstest::MakeImage(image, "", 32));  // 8192 blocks of 4096
    mounted = std::make_unique<Mounted>(image);
    total = (*mounted)->Primary().TotalBlocks();
  }
  filesystems::hfsplus::Bitmap& Bits() { return (*mounted)->Allocation(); }
  // Makes [first, last] used (whatever was free in it).
  void Fill(std::uint32_t first, std::uint32_t last) {
    for (std::uint32_t u = first; u <= last; ++u) {
      if (!Bits().Test(u)) Bits().MarkUnit(u, true);
    }
  }

  hfstest::ScratchDir dir;
  std::string image;
  std::unique_ptr<Mounted> mounted;
  std::uint32_t total = 0;
};

TEST_F(HfsAllocation, ForksSearchAfterTheirLastExtentThenBeforeTheirFirst) {
  AllocationFile alloc(*mounted->volume);
  const std::vector<BlockArea> after = alloc.Candidates(ListOf({{100, 10}}, total));
  EXPECT_EQ(after, (std::vector<BlockArea>{{110, total - 1}, {0, 99}}));
  EXPECT_EQ(alloc.Candidates(ExtentList(total)), (std::vector<BlockArea>{{0, total - 1}}));
  EXPECT_EQ(alloc.Candidates(ListOf({{1, 10}, {total - 5, 5}}, total)), (std::vector<BlockArea>{}));

  // A fork ending just before a free run grows in place into one extent.
  ExtentList fork(total);
  fork.AppendRange(BlockArea(5000, 5009));
  Bits().MarkRange(BlockArea(5000, 5009), true);
  ASSERT_TRUE(alloc.AllocateBlocks(100, 10, fork));
  EXPECT_EQ(Pairs(fork), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{5000, 20}}));

  // Nothing free after the fork: the blocks come from before its first.
  Fill(5020, total - 1);
  ASSERT_TRUE(alloc.AllocateBlocks(100, 4, fork));
  ASSERT_EQ(fork.Count(), 2u);
  EXPECT_LT(fork[1].startBlock, 5000u);
  EXPECT_TRUE(Bits().IndexMatchesBits());
}

TEST_F(HfsAllocation, RequestsThatCannotBeMetChangeNothing) {
  AllocationFile alloc(*mounted->volume);
  ExtentList empty(total);
  std::vector<std::uint8_t> before = Bits().Bytes();
  EXPECT_FALSE(alloc.AllocateBlocks(100, Bits().Free() + 1, empty));
  EXPECT_EQ(empty.Count(), 0u);
  EXPECT_EQ(Bits().Bytes(), before);
  // Free blocks only between the fork's first and last extents, which are
  // never candidates.
  Fill(1, total - 1);
  ExtentList fork = ListOf({{100, 10}, {7000, 10}}, total);
  Bits().MarkRange(BlockArea(5000, 5099), false);
  before = Bits().Bytes();
  EXPECT_FALSE(alloc.AllocateBlocks(100, 10, fork));
  EXPECT_EQ(Bits().Bytes(), before);
  EXPECT_EQ(fork.TotalBlocks(), 20u);
  // Special files grow through their own paths.
  EXPECT_EQ(CodeOf([&] { alloc.AllocateBlocks(4, 10, empty); }), kFileNotSupported);
}

TEST_F(HfsAllocation, TreeFilesTakeWholeNodes) {
  AllocationFile alloc(*mounted->volume);
  // Free holes of odd lengths after the tree: 3, 5 and 7 blocks.
  Fill(6000, total - 1);
  ExtentList tree(total);
  tree.AppendRange(BlockArea(6000, 6001));
  for (const BlockArea& hole : {BlockArea(6010, 6012), BlockArea(6020, 6024), BlockArea(6030, 6036)}) {
    Bits().MarkRange(hole, false);
  }
  Fill(1, 5999);
  // 8 KiB nodes on 4 KiB blocks: two blocks a node; a clump of 6 blocks.
  ASSERT_TRUE(alloc.GrowTreeFile(6 * 4096, 2, 100, tree));
  EXPECT_EQ(tree.TotalBlocks(), 8u);
  for (std::size_t i = 1; i < tree.Count(); ++i) EXPECT_EQ(tree[i].blockCount % 2, 0u) << i;
  EXPECT_TRUE(Bits().IndexMatchesBits());
  // A clump smaller than a node still adds a node.
  Bits().MarkRange(BlockArea(7000, 7009), false);
  const std::uint32_t before = tree.TotalBlocks();
  ASSERT_TRUE(alloc.GrowTreeFile(100, 2, 100, tree));
  EXPECT_EQ(tree.TotalBlocks(), before + 2);
}

TEST_F(HfsAllocation, TheExtentsFileKeepsToEightExtents) {
  AllocationFile alloc(*mounted->volume);
  Fill(1, total - 1);
  ExtentList tree(total);
  for (std::uint32_t i = 0; i < 8; ++i) tree.AppendRange(BlockArea::FromCount(1000 + 10 * i, 2));
  Bits().MarkRange(BlockArea(3000, 3099), false);
  EXPECT_FALSE(alloc.GrowTreeFile(4096, 1, 8, tree));
  EXPECT_EQ(tree.Count(), 8u);
  // Free blocks scattered in pieces of one: a new list would need more
  // than eight extents.
  Fill(3000, 3099);
  for (std::uint32_t i = 0; i < 40; ++i) Bits().MarkUnit(4000 + 2 * i, false);
  const std::uint32_t freeBefore = Bits().Free();
  EXPECT_EQ(alloc.ReallocateTreeFile(4096, 1, 8, tree).Count(), 0u);
  EXPECT_EQ(Bits().Free(), freeBefore);
}

TEST_F(HfsAllocation, AFullVolumeIsReportedAsFull) {
  AllocationFile alloc(*mounted->volume);
  Fill(1, total - 1);
  ExtentList tree = ListOf({{100, 2}}, total);
  EXPECT_EQ(CodeOf([&] { alloc.GrowTreeFile(8192, 2, 100, tree); }), kFileDiskFull);
  EXPECT_EQ(CodeOf([&] { alloc.ReallocateTreeFile(8192, 2, 100, tree); }), kFileDiskFull);
  ExtentList fork(total);
  EXPECT_FALSE(alloc.AllocateBlocks(100, 1, fork));
}

TEST_F(HfsAllocation, ReallocationKeepsTheOldBlocksUntilReleased) {
  AllocationFile alloc(*mounted->volume);
  ExtentList fork(total);
  ASSERT_TRUE(alloc.AllocateBlocks(100, 6, fork));
  const std::uint32_t freeBefore = Bits().Free();
  ExtentList fresh = alloc.ReallocateFork(100, 4, fork);
  ASSERT_EQ(fresh.TotalBlocks(), 10u);
  EXPECT_EQ(Bits().Free(), freeBefore - 10);
  for (const ExtentDescriptor& e : fork.Descriptors()) EXPECT_TRUE(Bits().Test(e.startBlock));
  // A failed copy gives the new areas back and keeps the fork.
  alloc.Release(fresh);
  EXPECT_EQ(Bits().Free(), freeBefore);
  // A successful one lets the old blocks go.
  fresh = alloc.ReallocateFork(100, 4, fork);
  alloc.Release(fork);
  EXPECT_EQ(Bits().Free(), freeBefore + 6 - 10);
  EXPECT_TRUE(Bits().IndexMatchesBits());
  EXPECT_EQ(CodeOf([&] { alloc.ReallocateFork(6, 1, fork); }), kFileNotSupported);
}

TEST(HfsAllocationReadOnly, ChangesAreRefused) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("ro.img");
  ASSERT_TRUE(hfstest::MakeImage(image, "", 16));
  std::vector<std::uint8_t> bitmap(1024, 0);
  Mounted m(image, 512, bitmap.data(), std::uint32_t(bitmap.size()));
  AllocationFile alloc(*m.volume);
  ExtentList fork(m->Primary().TotalBlocks());
  EXPECT_EQ(CodeOf([&] { alloc.AllocateBlocks(100, 1, fork); }), kFileReadOnly);
  EXPECT_EQ(CodeOf([&] { alloc.Release(ListOf({{10, 1}})); }), kFileReadOnly);
}

}  // namespace

#endif
