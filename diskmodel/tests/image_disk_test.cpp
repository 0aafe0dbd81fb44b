// The image-file disk the disk and file-system tests run on.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "test_helpers.h"

namespace {

using namespace DiskModelTest;
using DiskTest::ImageDisk;

std::vector<std::uint8_t> Filled(std::size_t bytes, std::uint8_t value) {
  return std::vector<std::uint8_t>(bytes, value);
}

TEST(ImageDisk, ReadsBackWhatItWrote) {
  DiskTest::TempDir dir;
  for (std::uint32_t sectorSize : {512u, 4096u}) {
    const std::string path = dir.File("disk" + std::to_string(sectorSize) + ".img");
    ImageDisk::CreateImage(path, std::uint64_t(sectorSize) * 100);
    ImageDisk disk(path, sectorSize);
    EXPECT_EQ(disk.GetSectorSize(), sectorSize);
    EXPECT_EQ(disk.GetSectorCount(), 99u);
    std::vector<std::uint8_t> out = Filled(3 * sectorSize, 0xC3);
    out[0] = 1;
    out.back() = 2;
    ASSERT_FALSE(disk.Io(Fdisk::kIoWrite, 97, out.data(), 3));
    std::vector<std::uint8_t> in(3 * sectorSize);
    ASSERT_FALSE(disk.Io(Fdisk::kIoRead, 97, in.data(), 3));
    EXPECT_EQ(in, out);
    std::vector<std::uint8_t> untouched(sectorSize);
    ASSERT_FALSE(disk.Io(Fdisk::kIoRead, 96, untouched.data(), 1));
    EXPECT_EQ(untouched, Filled(sectorSize, 0));
    EXPECT_EQ(disk.Counters().writes, 1u);
    EXPECT_EQ(disk.Counters().reads, 2u);
    EXPECT_EQ(disk.Counters().sectorsWritten, 3u);
    EXPECT_EQ(disk.Counters().sectorsRead, 4u);
  }
}

TEST(ImageDisk, ReachesPastFourGigabytes) {
  DiskTest::TempDir dir;
  const std::string path = dir.File("big.img");
  const std::uint64_t sectors = (std::uint64_t(5) << 30) / 512;
  ImageDisk::CreateImage(path, sectors * 512);
  ImageDisk disk(path, 512);
  EXPECT_EQ(disk.GetSectorCount(), sectors - 1);
  std::vector<std::uint8_t> out = Filled(512, 0x99);
  ASSERT_FALSE(disk.Io(Fdisk::kIoWrite, sectors - 1, out.data(), 1));
  std::vector<std::uint8_t> in(512);
  ASSERT_FALSE(disk.Io(Fdisk::kIoRead, sectors - 1, in.data(), 1));
  EXPECT_EQ(in, out);
  ASSERT_FALSE(disk.Io(Fdisk::kIoRead, (std::uint64_t(1) << 32) / 512, in.data(), 1));
  EXPECT_EQ(in, Filled(512, 0));
}

TEST(ImageDisk, RefusesWhatItCannotDo) {
  DiskTest::TempDir dir;
  const std::string path = dir.File("disk.img");
  ImageDisk::CreateImage(path, 512 * 10);
  ImageDisk disk(path, 512, true);
  std::vector<std::uint8_t> buffer(512 * 2, 0x11);
  // Read-only.
  const Common::Error refused = disk.Io(Fdisk::kIoWrite, 0, buffer.data(), 1);
  EXPECT_EQ(Common::GetErrorCode(refused), Fdisk::kErrInvalidIo);
  EXPECT_EQ(Common::GetErrorCode(Common::GetErrorCause(refused)), Common::kSystemCodeErrorCode);
  disk.SetReadOnly(false);
  EXPECT_FALSE(disk.Io(Fdisk::kIoWrite, 0, buffer.data(), 1));
  // Past the end, including a wrapping request.
  EXPECT_TRUE(disk.Io(Fdisk::kIoRead, 9, buffer.data(), 2));
  EXPECT_TRUE(disk.Io(Fdisk::kIoRead, ~std::uint64_t(0), buffer.data(), 2));
  // Unknown codes; the dataless one succeeds.
  EXPECT_EQ(Common::GetErrorCode(disk.Io(9, 0, buffer.data(), 1)), Fdisk::kErrNotImplemented);
  EXPECT_FALSE(disk.Io(Fdisk::kIoInvalidate, 0, nullptr, 0));
  EXPECT_EQ(disk.Counters().failed, 4u);
  EXPECT_EQ(disk.Counters().writes, 1u);

  EXPECT_THROW(ImageDisk(path, 1024), std::invalid_argument);
  EXPECT_THROW(ImageDisk(dir.File("missing.img"), 512), std::runtime_error);
}

TEST(ImageDisk, InjectedFailuresHitOnlyTheirRange) {
  DiskTest::TempDir dir;
  const std::string path = dir.File("disk.img");
  ImageDisk::CreateImage(path, 512 * 100);
  ImageDisk disk(path, 512);
  const Common::Error mine(7, 7, 0x4242);
  disk.FailRange(Fdisk::kIoRead, 10, 5, mine);
  disk.FailRange(DiskTest::kAnyOp, 50, 1);
  std::vector<std::uint8_t> buffer(512 * 10, 0x22);

  EXPECT_FALSE(disk.Io(Fdisk::kIoRead, 0, buffer.data(), 10));
  EXPECT_EQ(Common::GetErrorCode(disk.Io(Fdisk::kIoRead, 5, buffer.data(), 6)), 0x4242u);
  EXPECT_EQ(Common::GetErrorCode(disk.Io(Fdisk::kIoRead, 14, buffer.data(), 1)), 0x4242u);
  EXPECT_FALSE(disk.Io(Fdisk::kIoRead, 15, buffer.data(), 10));
  EXPECT_FALSE(disk.Io(Fdisk::kIoWrite, 10, buffer.data(), 5));  // read-only rule
  EXPECT_TRUE(disk.Io(Fdisk::kIoWrite, 45, buffer.data(), 10));
  EXPECT_TRUE(disk.Io(Fdisk::kIoRead, 50, buffer.data(), 1));

  // A failed write writes nothing.
  std::vector<std::uint8_t> in(512);
  ASSERT_FALSE(disk.Io(Fdisk::kIoRead, 45, in.data(), 1));
  EXPECT_EQ(in, Filled(512, 0));

  disk.ClearFailures();
  EXPECT_FALSE(disk.Io(Fdisk::kIoRead, 50, buffer.data(), 1));
}

}  // namespace
