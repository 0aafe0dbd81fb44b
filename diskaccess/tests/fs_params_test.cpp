// Partition descriptions, file-system options and easy-volume descriptions.
#include <cstring>

#include <gtest/gtest.h>

#include "diskaccess/fs_params.h"

namespace {

TEST(PartitionParameters, StartsEmptyAndCopiesShareTheErrorRecord) {
  PartitionParameters a;
  EXPECT_EQ(a.Device, nullptr);
  EXPECT_EQ(a.SectorSize, 0u);
  EXPECT_TRUE(a.Error.IsNull());
  EXPECT_FALSE(a.Valid);
  EXPECT_EQ(a.Label[0], 0);

  a.Start = 2048;
  a.FsType = kFsNtfs;
  a.Label[0] = u'X';
  a.Error = Common::Error(1, 2, 0x100014);
  auto b = std::make_unique<PartitionParameters>();
  *b = a;
  EXPECT_EQ(b->Error.Record(), a.Error.Record());
  EXPECT_EQ(b->Start, 2048u);
  EXPECT_EQ(b->Label[0], u'X');
  EXPECT_EQ(a.Error.Record()->referenceCount, 2);
  b.reset();
  EXPECT_EQ(a.Error.Record()->referenceCount, 1);
  EXPECT_EQ(a.Error.Code(), 0x100014u);
}

TEST(FileSystemOptions, StartZero) {
  FileSystemOptions o;
  EXPECT_EQ(o.FileSystem, 0u);
  EXPECT_EQ(o.Callback, nullptr);
  EXPECT_FALSE(o.MinimizeSize);
  EXPECT_EQ(o.VolumeLabel[255], 0);
}

TEST(EasyVolumeInfo, AnOwnedTableIsCopiedIntoOneBlockOfItsOwn) {
  EasyVolumeExtent first[2] = {{1, 0, 10, 5}, {2, 0, 20, 5}};
  EasyVolumeExtent second[1] = {{3, 0, 30, 7}};
  EasyVolumeEntry entries[3] = {{0, 2, first}, {0, 0, nullptr}, {0, 1, second}};
  EasyVolumeInfo source{0x10, {0, 3, entries}};
  EasyVolumeInfo copy{};
  ASSERT_TRUE(CopyEasyVolumeInfo(copy, source));
  ASSERT_NE(copy.table.entries, entries);
  EXPECT_EQ(copy.table.entryCount, 3u);
  EXPECT_EQ(copy.table.entries[0].extents[1].firstSector, 20u);
  EXPECT_EQ(copy.table.entries[1].extents, nullptr);
  EXPECT_EQ(copy.table.entries[2].extents[0].sectorCount, 7u);
  // The extents follow the entries in the same block.
  EXPECT_EQ(reinterpret_cast<void*>(copy.table.entries[0].extents),
            reinterpret_cast<void*>(copy.table.entries + 3));
  first[0].firstSector = 99;
  EXPECT_EQ(copy.table.entries[0].extents[0].firstSector, 10u);
  FreeEasyVolumeInfo(copy);

  EasyVolumeInfo plain{0x8, {1, 3, entries}};
  ASSERT_TRUE(CopyEasyVolumeInfo(copy, plain));
  EXPECT_EQ(copy.table.entries, nullptr);  // not owned: the copy's header is cleared
  EXPECT_EQ(copy.table.entryCount, 0u);
  EXPECT_EQ(copy.kind, 0x8u);

  EasyVolumeTable empty{0, 0, entries};
  ASSERT_TRUE(CopyExtentTable(empty));
  EXPECT_EQ(empty.entries, nullptr);
}

}  // namespace
