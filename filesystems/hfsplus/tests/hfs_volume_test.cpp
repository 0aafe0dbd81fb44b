// Mounting volumes made by mkfs.hfsplus: geometry and free counts as fsstat
// sees them, refused and damaged headers, the read-only decision, the marks
// of a read-write mount and the headers a clean unmount leaves behind, as
// fsck.hfsplus judges them.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "files/file_error.h"
#include "foundation/byteorder.h"
#include "hfs_image.h"

namespace {

using filesystems::hfsplus::ForkData;
using filesystems::hfsplus::VolumeHeader;
using fstest::CodeOf;
using hfstest::Digest;
using hfstest::Mounted;

VolumeHeader HeaderAt(const std::string& image, std::uint64_t offset) {
  const std::vector<std::uint8_t> bytes = DiskTest::ReadBytes(image, offset, 512);
  return VolumeHeader(bytes.data());
}

std::uint64_t AlternateOffset(const std::string& image) {
  return std::filesystem::file_size(image) - 1024;
}

// Applies `change` to the header at byte `offset` of the image.
void EditHeader(const std::string& image, std::uint64_t offset,
                const std::function<void(VolumeHeader&)>& change) {
  VolumeHeader h = HeaderAt(image, offset);
  change(h);
  DiskTest::WriteBytes(image, offset, std::vector<std::uint8_t>(h.Image(), h.Image() + 512));
}

struct MatrixCase {
  const char* name;
  std::string options;
  std::uint64_t megabytes;
  std::uint32_t sectorSize;
  bool hfsx;
};

TEST(HfsVolume, MkfsMatrixMountsAsFsstatSees) {
  const MatrixCase cases[] = {
      {"plain", "", 32, 512, false},
      {"block512", "-b 512", 16, 512, false},
      {"hfsx1024", "-s -b 1024", 16, 512, true},
      {"journaled2048", "-J -b 2048", 128, 512, false},
      {"hfsxJournaled8192", "-s -J -b 8192", 128, 512, true},
      {"block65536", "-b 65536", 64, 512, false},
      {"sectors4096", "-b 4096", 32, 4096, false},
      {"hfsxSectors4096", "-s -b 8192", 32, 4096, true},
  };
  hfstest::ScratchDir dir;
  for (const MatrixCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = dir.File(std::string(c.name) + ".img");
    ASSERT_TRUE(hfstest::MakeImage(image, c.options, c.megabytes));
    const hfstest::FsstatSizes tool = hfstest::Fsstat(image);
    const std::string findings = hfstest::CheckerFindings(image);
    {
      std::unique_ptr<Mounted> mounted;
      const std::uint32_t code =
          CodeOf([&] { mounted = std::make_unique<Mounted>(image, c.sectorSize); });
      ASSERT_EQ(code, 0u);
      Mounted& m = *mounted;
      VolumeHeader& vh = m->Primary();
      EXPECT_EQ(vh.IsHFSX(), c.hfsx);
      EXPECT_EQ(vh.Version(), c.hfsx ? 5 : 4);
      EXPECT_FALSE(m->ReadOnly());
      EXPECT_EQ(vh.BlockSize(), tool.blockSize);
      EXPECT_EQ(vh.TotalBlocks(), tool.lastBlock + 1);
      EXPECT_EQ(vh.FreeBlocks(), tool.freeBlocks);
      EXPECT_EQ(m->Allocation().Free(), tool.freeBlocks);
      EXPECT_EQ(m->Allocation().BitCount(), vh.TotalBlocks());
      EXPECT_TRUE(m->Allocation().IndexMatchesBits());
    }
    // A mount that changed nothing (but initialised a journal that asked
    // for it) leaves the checker with nothing new to say.
    std::string out;
    if (!c.hfsx) {
      EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
    }
    EXPECT_EQ(hfstest::CheckerFindings(image), findings);
  }
}

TEST(HfsVolume, MountWithoutChangesWritesNothing) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("v.img");
  ASSERT_TRUE(hfstest::MakeImage(image, "", 32));
  const std::string before = Digest(image);
  {
    Mounted m(image);
    m->Unmount();
    EXPECT_EQ(m.host.device->GetCounters().writes, 0u);
  }
  EXPECT_TRUE(Digest(image) == before);
}

struct RefusedCase {
  const char* name;
  std::string options;
  std::uint32_t sectorSize;
  bool alternate;  // edit the alternate header instead of the primary
  std::function<void(VolumeHeader&)> change;
  std::uint32_t code;  // 0: mounts
};

void SetExtent(VolumeHeader& h, filesystems::hfsplus::SpecialFileId id, int index,
               std::uint32_t start, std::uint32_t count) {
  ForkData f = h.Fork(id);
  f.extents[index] = {start, count};
  h.SetFork(id, f);
}

TEST(HfsVolume, DamagedHeadersAreRefused) {
  using namespace filesystems::hfsplus;
  const RefusedCase cases[] = {
      {"plusVersion5", "", 512, false, [](VolumeHeader& h) { h.Image()[3] = 5; }, kFileCorrupted},
      {"hfsxVersion4", "-s", 512, false, [](VolumeHeader& h) { h.Image()[3] = 4; }, kFileCorrupted},
      {"signatureHX", "-s", 512, false, [](VolumeHeader&) {}, 0},
      {"blockSize3072", "", 512, false,
       [](VolumeHeader& h) { h.SetField32(VolumeHeader::kBlockSize, 3072); }, kFileCorrupted},
      {"blockSize256", "", 512, false,
       [](VolumeHeader& h) { h.SetField32(VolumeHeader::kBlockSize, 256); }, kFileCorrupted},
      {"blocksPastPartition", "", 512, false,
       [](VolumeHeader& h) { h.SetField32(VolumeHeader::kTotalBlocks, h.TotalBlocks() + 1); },
       kFileCorrupted},
      {"journalInfoPastEnd", "-J", 512, false,
       [](VolumeHeader& h) { h.SetField32(VolumeHeader::kJournalInfoBlock, h.TotalBlocks()); },
       kFileCorrupted},
      {"allocationStartsAtZero", "", 512, false,
       [](VolumeHeader& h) { SetExtent(h, kAllocationFileId, 0, 0, h.Fork(kAllocationFileId).extents[0].blockCount); },
       kFileCorrupted},
      {"catalogPastEnd", "", 512, false,
       [](VolumeHeader& h) {
         const ForkData f = h.Fork(kCatalogFileId);
         SetExtent(h, kCatalogFileId, 0, h.TotalBlocks() - f.extents[0].blockCount + 1,
                   f.extents[0].blockCount);
       },
       kFileCorrupted},
      // An end that wraps in 32 bits lands below the volume's block count:
      // the extent still runs past the volume.
      {"extentEndWraps", "", 512, false,
       [](VolumeHeader& h) {
         ForkData f = h.Fork(kCatalogFileId);
         f.extents[1] = {0xFFFFFFF0u, 0x20};
         f.totalBlocks += 0x20;
         h.SetFork(kCatalogFileId, f);
       },
       kFileCorrupted},
      {"catalogEmpty", "", 512, false,
       [](VolumeHeader& h) {
         ForkData f = h.Fork(kCatalogFileId);
         f.logicalSize = 0;
         h.SetFork(kCatalogFileId, f);
       },
       kFileCorrupted},
      {"catalogLargerThanItsBlocks", "", 512, false,
       [](VolumeHeader& h) {
         ForkData f = h.Fork(kCatalogFileId);
         f.logicalSize = std::uint64_t(f.totalBlocks) * h.BlockSize() + 1;
         h.SetFork(kCatalogFileId, f);
       },
       kFileCorrupted},
      // Eight full descriptors short of the total: the catalog may continue
      // in the extents overflow file, the extents file may not.
      {"catalogContinuesElsewhere", "", 512, false,
       [](VolumeHeader& h) {
         ForkData f = h.Fork(kCatalogFileId);
         const std::uint32_t start = f.extents[0].startBlock;
         for (int i = 0; i < 8; ++i) f.extents[i] = {start, 1};
         f.totalBlocks = 9;
         f.logicalSize = 8ull * h.BlockSize();
         h.SetFork(kCatalogFileId, f);
       },
       0},
      {"extentsContinueElsewhere", "", 512, false,
       [](VolumeHeader& h) {
         ForkData f = h.Fork(kExtentsFileId);
         const std::uint32_t start = f.extents[0].startBlock;
         for (int i = 0; i < 8; ++i) f.extents[i] = {start, 1};
         f.totalBlocks = 9;
         f.logicalSize = 8ull * h.BlockSize();
         h.SetFork(kExtentsFileId, f);
       },
       kFileCorrupted},
      {"alternateDamaged", "", 512, true,
       [](VolumeHeader& h) { h.Image()[0] = 0; }, kFileCorrupted},
      // 4 KiB sectors: the journal header must take one whole sector.
      {"journaledSectors4096", "-J -b 4096", 4096, false, [](VolumeHeader&) {}, kFileCorrupted},
  };
  hfstest::ScratchDir dir;
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string image = dir.File("r.img");
    const bool journaled = c.options.find("-J") != std::string::npos;
    ASSERT_TRUE(hfstest::MakeImage(image, c.options, journaled ? 128 : 32));
    if (journaled && c.sectorSize == 4096) {
      // Give the journal a header first, as a journal in use has.
      ASSERT_TRUE(hfstest::JournalTool("write " + image + " plain"));
    }
    EditHeader(image, c.alternate ? AlternateOffset(image) : 1024, c.change);
    const std::string before = Digest(image);
    EXPECT_EQ(CodeOf([&] { Mounted m(image, c.sectorSize); }), c.code);
    if (c.code != 0) {
      EXPECT_TRUE(Digest(image) == before);
    }
  }
}

TEST(HfsVolume, GeometryIsCheckedBeforeAnyRead) {
  using filesystems::hfsplus::HeaderGeometry;
  EXPECT_EQ(CodeOf([] { HeaderGeometry::Check(2, 512); }), kFileCorrupted);
  EXPECT_EQ(CodeOf([] { HeaderGeometry::Check(3, 512); }), 0u);
  EXPECT_EQ(CodeOf([] { HeaderGeometry::Check(100, 256); }), kFileNotSupported);
  EXPECT_EQ(CodeOf([] { HeaderGeometry::Check(100, 1536); }), kFileNotSupported);
  EXPECT_EQ(CodeOf([] { HeaderGeometry::Check(100, 0); }), kFileNotSupported);
  // With 4 KiB sectors the primary lies in sector 0 at 1024 and the
  // alternate in the last sector at 3072.
  EXPECT_EQ(HeaderGeometry::Sector(0, 8, 4096), 0u);
  EXPECT_EQ(HeaderGeometry::OffsetInSector(0, 8, 4096), 1024u);
  EXPECT_EQ(HeaderGeometry::Sector(1, 8, 4096), 7u);
  EXPECT_EQ(HeaderGeometry::OffsetInSector(1, 8, 4096), 3072u);
  EXPECT_EQ(HeaderGeometry::Sector(0, 64, 512), 2u);
  EXPECT_EQ(HeaderGeometry::Sector(1, 64, 512), 62u);
  EXPECT_EQ(CodeOf([] { HeaderGeometry::Sector(1, 0, 512); }), kFileNotSupported);
}

struct ReadOnlyCase {
  const char* name;
  std::uint32_t setBits, clearBits;
  bool callerBitmap;
  bool readOnly;
};

TEST(HfsVolume, ReadOnlyDecision) {
  const ReadOnlyCase cases[] = {
      {"clean", 0, 0, false, false},
      {"hardwareLock", VolumeHeader::kHardwareLock, 0, false, true},
      {"softwareLock", VolumeHeader::kSoftwareLock, 0, false, true},
      {"leftMounted", VolumeHeader::kInconsistent, VolumeHeader::kUnmounted, false, true},
      {"bothClear", 0, VolumeHeader::kUnmounted | VolumeHeader::kInconsistent, false, false},
      {"callerBitmap", 0, 0, true, true},
  };
  hfstest::ScratchDir dir;
  const std::string image = dir.File("ro.img");
  for (const ReadOnlyCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(hfstest::MakeImage(image, "", 16));
    EditHeader(image, 1024, [&](VolumeHeader& h) {
      h.SetAttributes((h.Attributes() | c.setBits) & ~c.clearBits);
    });
    const std::string before = Digest(image);
    std::vector<std::uint8_t> bitmap(4096, 0xFF);
    {
      Mounted m(image, 512, c.callerBitmap ? bitmap.data() : nullptr,
                c.callerBitmap ? std::uint32_t(bitmap.size()) : 0);
      EXPECT_EQ(m->ReadOnly(), c.readOnly);
      if (c.callerBitmap) {
        EXPECT_EQ(m->Allocation().Free(), 0u);
      }
      if (c.readOnly) {
        m->MarkPrimaryModified();
        m->Unmount();
        EXPECT_EQ(CodeOf([&] {
                    std::vector<std::uint8_t> s(512);
                    m->Io().WriteSectors(100, 1, s.data());
                  }),
                  kFileReadOnly);
      }
    }
    if (c.readOnly) {
      EXPECT_TRUE(Digest(image) == before);
    }
  }
}

TEST(HfsVolume, MountMarksStayInMemory) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("marks.img");
  for (bool bootWords : {false, true}) {
    SCOPED_TRACE(bootWords);
    ASSERT_TRUE(hfstest::MakeImage(image, "", 16));
    if (bootWords) {
      EditHeader(image, 1024, [](VolumeHeader& h) { h.SetField32(VolumeHeader::kFinderInfo, 77); });
    }
    const VolumeHeader disk = HeaderAt(image, 1024);
    Mounted m(image);
    const VolumeHeader& vh = m->Primary();
    EXPECT_EQ((vh.Attributes() & VolumeHeader::kUnmounted) != 0, bootWords);
    EXPECT_NE(vh.Attributes() & VolumeHeader::kInconsistent, 0u);
    EXPECT_EQ(vh.LastMountedVersion(), VolumeHeader::kMountedSignature);
    EXPECT_EQ(vh.WriteCount(), disk.WriteCount() + 1);
    // Nothing of it reached the volume.
    EXPECT_TRUE(std::memcmp(HeaderAt(image, 1024).Image(), disk.Image(), 512) == 0);
  }
}

TEST(HfsVolume, CleanUnmountWritesBothHeaders) {
  for (const char* options : {"", "-s -b 2048", "-J"}) {
    SCOPED_TRACE(options);
    hfstest::ScratchDir dir;
    const std::string image = dir.File("u.img");
    ASSERT_TRUE(hfstest::MakeImage(image, options, std::string(options) == "-J" ? 128 : 32));
    const std::string findings = hfstest::CheckerFindings(image);
    const VolumeHeader primaryBefore = HeaderAt(image, 1024);
    const VolumeHeader alternateBefore = HeaderAt(image, AlternateOffset(image));
    {
      Mounted m(image);
      m->MarkPrimaryModified();
      m->Unmount();
    }
    const VolumeHeader p = HeaderAt(image, 1024);
    const VolumeHeader a = HeaderAt(image, AlternateOffset(image));
    EXPECT_NE(p.Attributes() & VolumeHeader::kUnmounted, 0u);
    EXPECT_EQ(p.Attributes() & VolumeHeader::kInconsistent, 0u);
    EXPECT_EQ(p.LastMountedVersion(), VolumeHeader::kMountedSignature);
    EXPECT_EQ(p.WriteCount(), primaryBefore.WriteCount() + 1);
    // The alternate carries the primary's counts, dates and forks, and
    // keeps its own attributes and identity.
    EXPECT_EQ(a.WriteCount(), p.WriteCount());
    EXPECT_EQ(a.ModifyDate(), p.ModifyDate());
    EXPECT_EQ(a.FreeBlocks(), p.FreeBlocks());
    EXPECT_EQ(a.NextCatalogId(), p.NextCatalogId());
    EXPECT_TRUE(std::memcmp(a.Image() + VolumeHeader::kAllocationFork,
                            p.Image() + VolumeHeader::kAllocationFork, 400) == 0);
    EXPECT_EQ(a.Attributes(), alternateBefore.Attributes());
    EXPECT_EQ(a.LastMountedVersion(), alternateBefore.LastMountedVersion());
    EXPECT_EQ(hfstest::CheckerFindings(image), findings);
  }
}

TEST(HfsVolume, AllocationChangesReachTheVolume) {
  hfstest::ScratchDir dir;
  const std::string image = dir.File("alloc.img");
  ASSERT_TRUE(hfstest::MakeImage(image, "", 32));
  const std::uint64_t freeBefore = hfstest::Fsstat(image).freeBlocks;
  filesystems::hfsplus::BlockArea taken;
  {
    Mounted m(image);
    taken = m->Allocation().FindFreeArea(10, {1000, m->Primary().TotalBlocks() - 1});
    ASSERT_GE(taken.Length(), 10u);
    taken.Truncate(10);
    m->Allocation().MarkRange(taken, true);
    m->Unmount();
  }
  // Ten blocks used by no file: the checker notices the bits on disk.
  EXPECT_EQ(hfstest::Fsstat(image).freeBlocks, freeBefore - 10);
  std::string out;
  EXPECT_FALSE(hfstest::CheckerClean(image, &out)) << out;
  {
    Mounted m(image);
    EXPECT_EQ(m->Allocation().Free(), freeBefore - 10);
    EXPECT_TRUE(m->Allocation().Test(taken.first));
    m->Allocation().MarkRange(taken, false);
    m->Unmount();
  }
  EXPECT_EQ(hfstest::Fsstat(image).freeBlocks, freeBefore);
  EXPECT_TRUE(hfstest::CheckerClean(image, &out)) << out;
}

TEST(HfsVolume, DatesBefore1970AreNoTime) {
  using namespace filesystems::hfsplus;
  EXPECT_EQ(FromHFSPlusTime(2082844800u), 0u);
  EXPECT_EQ(ToHFSPlusTime(0), 2082844800u);
  EXPECT_EQ(FromHFSPlusTime(2082844801u), 1000u);
  EXPECT_EQ(FromHFSPlusTime(100), 0u);
  EXPECT_EQ(FromHFSPlusTime(0xFFFFFFFFu), std::uint64_t(0xFFFFFFFFu - 2082844800u) * 1000);
  EXPECT_EQ(ToHFSPlusTime(1000ll * 3600), 2082844800u + 3600);
}

}  // namespace

#endif
