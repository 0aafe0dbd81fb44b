// The metadata holder over populated volumes: special files made at mount,
// a catalog continued in the extents overflow file waiting for its extents,
// a volume without attributes file, and the clean-unmount mark given only
// when every special file flushed.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "filesystems/hfs_metadata.h"
#include "foundation/byteorder.h"
#include "hfs_image.h"

namespace {

namespace hfs = filesystems::hfsplus;
using fstest::CodeOf;

struct HolderMount {
  explicit HolderMount(const std::string& path) : host(path, 512) {
    metadata = std::make_unique<hfs::Metadata>(host.driver.get(), nullptr, 0);
  }
  ~HolderMount() {
    metadata.reset();
    host.driver.reset();
  }
  hfstest::Host host;
  std::unique_ptr<hfs::Metadata> metadata;
};

std::string Populated(hfstest::ScratchDir& dir) {
  const std::string image = dir.File("p.img");
  std::string out;
  EXPECT_TRUE(hfstest::MakePopulated(image, "dir a\nfile a/one 3000\nfile two 9000 xattr=user.x:y\n", &out)) << out;
  return image;
}

void EditPrimary(const std::string& image, const std::function<void(hfs::VolumeHeader&)>& f) {
  std::vector<std::uint8_t> bytes = DiskTest::ReadBytes(image, 1024, 512);
  hfs::VolumeHeader h(bytes.data());
  f(h);
  DiskTest::WriteBytes(image, 1024, std::vector<std::uint8_t>(h.Image(), h.Image() + 512));
}

TEST(HfsMetadata, ChangedCatalogFlushedAndCleanlyUnmounted) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir);
  {
    HolderMount m(image);
    ASSERT_NE(m.metadata->AttributesFork(), nullptr);
    EXPECT_FALSE(m.metadata->NeedsOverflowExtents());
    hfs::SpecialFile& catalog = m.metadata->CatalogFork();
    std::vector<std::uint8_t> node(4096);
    catalog.Read(0, 4096, node.data());
    catalog.Write(0, 4096, node.data());
    EXPECT_EQ(m.metadata->GetVolume().CleanFlags() & hfs::kCleanCatalog, 0);
    m.metadata->Unmount();
  }
  const std::vector<std::uint8_t> vh = DiskTest::ReadBytes(image, 1024, 512);
  const hfs::VolumeHeader h(vh.data());
  EXPECT_NE(h.Attributes() & hfs::VolumeHeader::kUnmounted, 0u);
  EXPECT_EQ(h.Attributes() & hfs::VolumeHeader::kInconsistent, 0u);
  std::string out;
  EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
}

TEST(HfsMetadata, AFileLeftUnflushedKeepsTheVolumeMarkedInUse) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir);
  {
    HolderMount m(image);
    hfs::Volume& volume = m.metadata->GetVolume();
    volume.SetDirty(hfs::kCleanCatalog);
    volume.MarkPrimaryModified();
    volume.Unmount();
  }
  const std::vector<std::uint8_t> vh = DiskTest::ReadBytes(image, 1024, 512);
  const hfs::VolumeHeader h(vh.data());
  EXPECT_EQ(h.Attributes() & hfs::VolumeHeader::kUnmounted, 0u);
  EXPECT_NE(h.Attributes() & hfs::VolumeHeader::kInconsistent, 0u);
  // The next mount sees a volume left in use: read-only.
  HolderMount again(image);
  EXPECT_TRUE(again.metadata->GetVolume().ReadOnly());
}

// The catalog's last blocks, as the extents overflow tree would give them.
class TailSource : public hfs::OverflowExtentsSource {
 public:
  TailSource(std::uint32_t start, std::uint32_t count) : start_(start), count_(count) {}
  void CollectExtents(std::uint32_t fileId, std::uint8_t forkType, std::uint32_t fromBlock,
                      hfs::ExtentList& out) override {
    asked = {fileId, forkType, fromBlock};
    out.AppendRange(hfs::BlockArea::FromCount(start_, count_));
  }
  std::vector<std::uint32_t> asked;

 private:
  std::uint32_t start_, count_;
};

TEST(HfsMetadata, CatalogContinuedInTheOverflowFileWaitsForItsExtents) {
  hfstest::ScratchDir dir;
  const std::string image = Populated(dir);
  std::uint32_t start = 0, count = 0;
  EditPrimary(image, [&](hfs::VolumeHeader& h) {
    hfs::ForkData fork = h.Fork(hfs::kCatalogFileId);
    start = fork.extents[0].startBlock;
    count = fork.extents[0].blockCount;
    // Eight descriptors of one block each; the rest "elsewhere".
    for (std::uint32_t i = 0; i < 8; ++i) fork.extents[i] = {start + i, 1};
    h.SetFork(hfs::kCatalogFileId, fork);
  });
  HolderMount m(image);
  EXPECT_TRUE(m.metadata->NeedsOverflowExtents());
  std::vector<std::uint8_t> node(4096);
  EXPECT_EQ(CodeOf([&] { m.metadata->CatalogFork().Read(0, 4096, node.data()); }), kFileCorrupted);
  TailSource source(start + 8, count - 8);
  m.metadata->CompleteExtents(source);
  EXPECT_EQ(source.asked, (std::vector<std::uint32_t>{hfs::kCatalogFileId, 0, 8}));
  EXPECT_FALSE(m.metadata->NeedsOverflowExtents());
  m.metadata->CatalogFork().Read(0, 4096, node.data());
  EXPECT_EQ(Common::LoadBe16(node.data() + 32), 4096u);
}

TEST(HfsMetadata, VolumeWithoutAttributesFile) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(hfstest::MakeImage(image, "", 16));
  EditPrimary(image, [](hfs::VolumeHeader& h) { h.SetFork(hfs::kAttributesFileId, hfs::ForkData()); });
  HolderMount m(image);
  EXPECT_EQ(m.metadata->AttributesFork(), nullptr);
  EXPECT_NE(m.metadata->GetVolume().CleanFlags() & hfs::kCleanAttributes, 0);
}

}  // namespace

#endif
