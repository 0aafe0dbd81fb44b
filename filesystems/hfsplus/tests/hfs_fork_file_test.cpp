// Special files over volumes made by mkfs.hfsplus and the populating tool:
// tree nodes read through the fork, and the growth of the catalog in place
// or by moving it, judged by fsck.hfsplus and sleuthkit afterwards.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "filesystems/hfs_fork_file.h"
#include "foundation/byteorder.h"
#include "hfs_image.h"

namespace {

using filesystems::hfsplus::ForkData;
using filesystems::hfsplus::SpecialFile;
using fstest::CodeOf;
using hfstest::Mounted;
namespace hfs = filesystems::hfsplus;

const char kContents[] =
    "dir a\n"
    "file a/one 3000\n"
    "file two 9000 rsrc=100\n";

std::string Populated(hfstest::ScratchDir& dir) {
  const std::string image = dir.File("p.img");
  std::string out;
  EXPECT_TRUE(hfstest::MakePopulated(image, kContents, &out)) << out;
  return image;
}

// The B-tree header record's node counts, after growth, through the file.
void AddNodes(SpecialFile& file, std::uint32_t nodeSize, std::uint32_t added) {
  std::vector<std::uint8_t> head(nodeSize);
  file.Read(0, nodeSize, head.data());
  Common::StoreBe32(head.data() + 36, Common::LoadBe32(head.data() + 36) + added);
  Common::StoreBe32(head.data() + 40, Common::LoadBe32(head.data() + 40) + added);
  file.Write(0, nodeSize, head.data());
}

TEST(HfsSpecialFile, TreeNodesReadThroughTheFork) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir);
  Mounted m(image);
  SpecialFile catalog(*m.volume, hfs::kCatalogFileId);
  ASSERT_TRUE(catalog.Complete());
  std::vector<std::uint8_t> head(512);
  catalog.Read(0, 512, head.data());
  EXPECT_EQ(std::int8_t(head[8]), 1);                     // header node
  EXPECT_EQ(Common::LoadBe16(head.data() + 32), 4096u);   // node size
  EXPECT_EQ(Common::LoadBe32(head.data() + 20), 3u * 2 + 2);  // leaf records
  // An unaligned read across sectors gives the same bytes.
  std::vector<std::uint8_t> part(100);
  catalog.Read(470, 100, part.data());
  std::vector<std::uint8_t> whole(1024);
  catalog.Read(0, 1024, whole.data());
  EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + 470));
  EXPECT_EQ(CodeOf([&] { catalog.Read(catalog.Size() - 10, 20, part.data()); }), kFileCorrupted);
}

TEST(HfsSpecialFile, CatalogGrowsInPlaceByAClump) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir);
  const std::uint64_t freeBefore = hfstest::Fsstat(image).freeBlocks;
  std::uint32_t added = 0;
  {
    Mounted m(image);
    SpecialFile catalog(*m.volume, hfs::kCatalogFileId);
    const std::uint32_t blocksBefore = catalog.Extents().TotalBlocks();
    ASSERT_TRUE(catalog.Grow(4096));
    added = catalog.Extents().TotalBlocks() - blocksBefore;
    EXPECT_EQ(added, m->Primary().Fork(hfs::kCatalogFileId).clumpSize / 4096);
    EXPECT_EQ(catalog.Extents().Count(), 1u);  // joined to its one extent
    EXPECT_EQ(catalog.Size(), std::uint64_t(catalog.Extents().TotalBlocks()) * 4096);
    AddNodes(catalog, 4096, added);
    catalog.Flush();
    m->Unmount();
  }
  EXPECT_EQ(hfstest::Fsstat(image).freeBlocks, freeBefore - added);
  std::string out;
  EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  EXPECT_NE(DiskTest::RunCommand("fls -r -p " + hfstest::Quote(image)).find("a/one"), std::string::npos);
}

TEST(HfsSpecialFile, CatalogWithEightExtentsMovesBeforeGiving) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir);
  // The catalog's one extent recorded as eight contiguous ones: no room for
  // another extent in its fork record.
  {
    std::vector<std::uint8_t> vh = DiskTest::ReadBytes(image, 1024, 512);
    hfs::VolumeHeader h(vh.data());
    ForkData fork = h.Fork(hfs::kCatalogFileId);
    const std::uint32_t start = fork.extents[0].startBlock, count = fork.extents[0].blockCount;
    ASSERT_EQ(count % 8, 0u);
    for (std::uint32_t i = 0; i < 8; ++i) fork.extents[i] = {start + i * (count / 8), count / 8};
    h.SetFork(hfs::kCatalogFileId, fork);
    DiskTest::WriteBytes(image, 1024, std::vector<std::uint8_t>(h.Image(), h.Image() + 512));
  }
  const std::uint64_t freeBefore = hfstest::Fsstat(image).freeBlocks;
  std::vector<std::uint8_t> before;
  {
    Mounted m(image);
    SpecialFile catalog(*m.volume, hfs::kCatalogFileId);
    ASSERT_EQ(catalog.Extents().Count(), 8u);
    const hfs::ExtentList old = catalog.Extents();
    before.resize(std::size_t(catalog.Size()));
    catalog.Read(0, std::uint32_t(before.size()), before.data());
    ASSERT_TRUE(catalog.Grow(4096));
    EXPECT_EQ(catalog.Extents().Count(), 1u);
    const std::uint32_t added = catalog.Extents().TotalBlocks() - old.TotalBlocks();
    std::vector<std::uint8_t> after(before.size());
    catalog.Read(0, std::uint32_t(after.size()), after.data());
    EXPECT_TRUE(after == before);
    // The old place is free again, the new one used.
    for (const hfs::ExtentDescriptor& e : old.Descriptors()) EXPECT_FALSE(m->Allocation().Test(e.startBlock));
    EXPECT_TRUE(m->Allocation().Test(catalog.Extents()[0].startBlock));
    AddNodes(catalog, 4096, added);
    catalog.Flush();
    m->Unmount();
    EXPECT_EQ(hfstest::Fsstat(image).freeBlocks, freeBefore - added);
  }
  std::string out;
  EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
  EXPECT_EQ(DiskTest::RunCommand("icat " + hfstest::Quote(image) + " 17"),
            hfstest::PopulatedContent("a/one", 3000));
}

TEST(HfsSpecialFile, AFullVolumeCannotGrowATree) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir);
  Mounted m(image);
  for (std::uint32_t b = 1; b < m->Allocation().BitCount(); ++b) {
    if (!m->Allocation().Test(b)) m->Allocation().MarkUnit(b, true);
  }
  SpecialFile catalog(*m.volume, hfs::kCatalogFileId);
  EXPECT_EQ(CodeOf([&] { catalog.Grow(4096); }), kFileDiskFull);
  SpecialFile allocation(*m.volume, hfs::kAllocationFileId);
  EXPECT_EQ(CodeOf([&] { allocation.Grow(4096); }), kFileNotSupported);
}

}  // namespace

#endif
