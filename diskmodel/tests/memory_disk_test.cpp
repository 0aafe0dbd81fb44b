// The memory disks the disk tests and fuzz targets run on, dense and sparse.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "test_helpers.h"

namespace {

using DiskTest::MemoryDisk;
using DiskTest::MemoryModelDisk;
using DiskTest::Storage;

TEST(MemoryDisk, DenseAndSparseReadBackWritesAndPutBytes) {
  struct Case {
    Storage storage;
    std::uint32_t sectorSize;
    std::uint64_t sectors;
  };
  // The sparse disk is far larger than memory would hold densely.
  const Case cases[] = {{Storage::kDense, 512, 100},
                        {Storage::kDense, 4096, 100},
                        {Storage::kSparse, 512, std::uint64_t(1) << 32},
                        {Storage::kSparse, 4096, 1u << 30}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sectorSize);
    MemoryDisk disk(c.sectors, c.sectorSize, c.storage);
    EXPECT_EQ(disk.GetSectorCount(), c.sectors - 1);
    const std::uint64_t last = c.sectors - 1;
    std::vector<std::uint8_t> out(3 * c.sectorSize, 0xC3);
    out[0] = 1;
    out.back() = 2;
    ASSERT_FALSE(disk.Io(Fdisk::kIoWrite, last - 2, out.data(), 3));
    std::vector<std::uint8_t> in(4 * c.sectorSize, 0xEE);
    ASSERT_FALSE(disk.Io(Fdisk::kIoRead, last - 3, in.data(), 4));
    // The sector before was never written: zeros.
    EXPECT_EQ(std::vector<std::uint8_t>(in.begin(), in.begin() + c.sectorSize),
              std::vector<std::uint8_t>(c.sectorSize, 0));
    EXPECT_EQ(std::vector<std::uint8_t>(in.begin() + c.sectorSize, in.end()), out);

    // Bytes put across a sector boundary are what the disk reads.
    const std::uint8_t bytes[4] = {0x11, 0x22, 0x33, 0x44};
    ASSERT_TRUE(disk.Put(7 * std::uint64_t(c.sectorSize) - 2, bytes, 4));
    EXPECT_FALSE(disk.Put(c.sectors * c.sectorSize - 3, bytes, 4)) << "past the end";
    std::vector<std::uint8_t> two(2 * c.sectorSize);
    ASSERT_FALSE(disk.Io(Fdisk::kIoRead, 6, two.data(), 2));
    EXPECT_EQ(two[c.sectorSize - 2], 0x11);
    EXPECT_EQ(two[c.sectorSize + 1], 0x44);

    // Refused requests transfer nothing.
    disk.SetRequestLimit(2 * c.sectorSize);
    std::vector<std::uint8_t> probe(4 * c.sectorSize, 0xEE);
    const auto refused = [&](std::uint32_t op, std::uint64_t sector, std::uint64_t count) {
      return Common::GetErrorCode(disk.Io(op, sector, probe.data(), count));
    };
    EXPECT_EQ(refused(Fdisk::kIoRead, 0, 3), Fdisk::kErrInvalidIo) << "over the limit";
    EXPECT_EQ(refused(Fdisk::kIoWrite, last, 2), Fdisk::kErrInvalidIo) << "past the end";
    EXPECT_EQ(refused(Fdisk::kIoRead, last + 2, 0), Fdisk::kErrInvalidIo) << "past the end";
    EXPECT_EQ(probe, std::vector<std::uint8_t>(4 * c.sectorSize, 0xEE));

    const DiskTest::IoCounters& n = disk.Counters();
    EXPECT_EQ(n.requests, 6u);
    EXPECT_EQ(n.reads, 2u);
    EXPECT_EQ(n.writes, 1u);
    EXPECT_EQ(n.failed, 3u);
    EXPECT_EQ(n.sectorsRead, 6u);
    EXPECT_EQ(n.sectorsWritten, 3u);
    EXPECT_EQ(disk.Writes(),
              (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{last - 2, 3}}));
    if (c.storage == Storage::kSparse) {
      EXPECT_EQ(disk.KeptSectors(), 5u) << "three written, two put";
    }
  }
}

TEST(MemoryDisk, RefusesSectorSizesThatAreNotAPowerOfTwo) {
  // Also what two counts handed over the wrong way round come to.
  EXPECT_THROW({ MemoryDisk d(512, 1000); }, std::invalid_argument);
  EXPECT_THROW({ MemoryDisk d(100, 128); }, std::invalid_argument);
  EXPECT_THROW({ MemoryDisk d(0); }, std::invalid_argument);
  MemoryModelDisk model(64, 4096);
  EXPECT_EQ(model.GetSimpleDisk(), &model.Memory());
  EXPECT_EQ(model.Memory().GetSectorSize(), 4096u);
}

}  // namespace
