// CHS conversion, alignment steps and the MBR entry's CHS bytes.
#include "foundation/byteorder.h"
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>

#include "fdisk/chs.h"
#include "fixtures/MbrSfdisk.h"
#include "test_helpers.h"

namespace {

using namespace DiskModelTest;
using Fdisk::ChsAddress;
using Fdisk::Geometry;

Geometry Geo(std::uint8_t s, std::uint8_t h, std::uint64_t cyl) {
  Geometry g;
  g.sectorsPerTrack = s;
  g.highestHead = h;
  g.cylinders = cyl;
  return g;
}

ChsAddress Chs(std::uint64_t cylinder, std::uint8_t head, std::uint8_t sector) {
  ChsAddress a;
  a.cylinder = cylinder;
  a.head = head;
  a.sector = sector;
  return a;
}

TEST(Chs, LbaToChsAndBackRoundTrips) {
  const Geometry geometries[] = {Geo(63, 254, 1024), Geo(63, 255, 1024), Geo(1, 0, 10),
                                 Geo(17, 3, 500), Geo(255, 255, 7)};
  for (const Geometry& g : geometries) {
    const std::uint64_t perCylinder = std::uint64_t(g.sectorsPerTrack) * (g.highestHead + 1u);
    const std::uint64_t lbas[] = {0,           1,           g.sectorsPerTrack - 1u,
                                  g.sectorsPerTrack,        perCylinder - 1,
                                  perCylinder, 1234567,     (std::uint64_t(1) << 40) + 7};
    for (std::uint64_t lba : lbas) {
      const ChsAddress a = Fdisk::LbaToChs(lba, g);
      EXPECT_GE(a.sector, 1);
      EXPECT_LE(a.sector, g.sectorsPerTrack);
      EXPECT_LE(a.head, g.highestHead);
      EXPECT_EQ(Fdisk::ChsToLba(a, g), lba)
          << "S=" << int(g.sectorsPerTrack) << " H=" << int(g.highestHead) << " lba=" << lba;
    }
  }
}

TEST(Chs, KnownAddresses) {
  EXPECT_EQ(Fdisk::LbaToChs(0, Geo(63, 254, 10)), Chs(0, 0, 1));
  EXPECT_EQ(Fdisk::LbaToChs(16065, Geo(63, 254, 10)), Chs(1, 0, 1));
  EXPECT_EQ(Fdisk::ChsToLba(Chs(1, 0, 1), Geo(63, 254, 10)), 16065u);
  // A highest head of 255 means 256 heads per cylinder, not 0.
  EXPECT_EQ(Fdisk::LbaToChs(16128, Geo(63, 255, 10)), Chs(1, 0, 1));
  EXPECT_EQ(Fdisk::LbaToChs(16127, Geo(63, 255, 10)), Chs(0, 255, 63));
}

TEST(Chs, GeometryWithoutSectorsPerTrackIsRefused) {
  const Geometry bad = Geo(0, 254, 10);
  EXPECT_EQ(ThrownCode([&] { Fdisk::LbaToChs(100, bad); }), Fdisk::kErrInvalidParameter);
  EXPECT_EQ(ThrownCode([&] { Fdisk::ChsToLba(Chs(1, 0, 1), bad); }),
            Fdisk::kErrInvalidParameter);
  std::uint64_t lba = 100;
  for (int mode = 0; mode <= 13; ++mode) EXPECT_FALSE(Fdisk::AlignLba(mode, lba, bad));
  EXPECT_EQ(lba, 100u);

  MemoryDisk disk(1000);
  disk.SetGeometry(bad);
  std::uint8_t field[4] = {0x80, 1, 2, 3};
  EXPECT_FALSE(Fdisk::UpdateMbrChs(field, 5, disk));
  EXPECT_EQ(field[1], 1);
  EXPECT_EQ(field[2], 2);
  EXPECT_EQ(field[3], 3);

  EXPECT_EQ(Fdisk::AdvancedLocus(0, 254, 1000).cylinders, 0u);
}

TEST(Chs, ChsToLbaRefusesAnAddressPastSixtyFourBits) {
  const std::uint64_t huge = std::numeric_limits<std::uint64_t>::max() / 2;
  EXPECT_EQ(ThrownCode([&] { Fdisk::ChsToLba(Chs(huge, 0, 1), Geo(63, 254, huge)); }),
            Fdisk::kErrInvalidParameter);
}

struct AlignCase {
  int mode;
  std::uint64_t in;
  bool ok;
  std::uint64_t out;
};

// Geometry 63 sectors, 255 heads, 100 cylinders: one cylinder is 16065.
const AlignCase kAlignCases[] = {
    {0, 100, true, 16065},         {0, 100 * 16065 + 3, false, 100 * 16065 + 3},
    {1, 16070, true, 16065},       {2, 16065, true, 16065},
    {2, 16066, true, 32130},       {3, 16065, true, 16064},
    {3, 16064, true, 16064},       {3, 5, false, 5},
    {4, 62, true, 63},             {4, 16064, true, 16065},
    {5, 63, true, 63},             {5, 64, true, 126},
    {6, 5, true, 16064},           {7, 62, true, 62},
    {7, 63, true, 62},             {7, 16065, true, 16064},
    {7, 0, false, 0},              {8, 16070, true, 5},
    {8, 5, false, 5},              {9, 5, true, 16070},
    {9, 100 * 16065 + 5, false, 100 * 16065 + 5},
    {10, 5, true, 68},             {10, 254 * 63 + 5, true, 16070},
    {11, 68, true, 5},             {11, 5, false, 5},
    {11, 16070, true, 254 * 63 + 5},
    {12, 5, true, 6},              {12, 62, true, 63},
    {12, 16064, true, 16065},      {13, 16065, true, 0},
    {13, 16070, true, 16065},      {13, 0, false, 0},
    {14, 5, false, 5},             {-1, 5, false, 5},
};

TEST(Chs, AlignmentModes) {
  const Geometry g = Geo(63, 254, 100);
  for (const AlignCase& c : kAlignCases) {
    std::uint64_t lba = c.in;
    EXPECT_EQ(Fdisk::AlignLba(c.mode, lba, g), c.ok) << "mode " << c.mode << " lba " << c.in;
    EXPECT_EQ(lba, c.out) << "mode " << c.mode << " lba " << c.in;
  }
}

TEST(Chs, EncodeMbrChs) {
  MemoryDisk disk(100);
  disk.SetGeometry(Geo(63, 254, 2000));
  std::uint8_t field[4] = {0x80, 0, 0, 0};

  // Within the geometry, cylinder 1500 keeps bits 8-9 in the sector byte and
  // bits 10-11 in the head byte.
  EXPECT_TRUE(Fdisk::EncodeMbrChs(field, Chs(1500, 7, 9), disk));
  EXPECT_EQ(field[0], 0x80);
  EXPECT_EQ(field[1], 7 | 0x40);
  EXPECT_EQ(field[2], 9 | 0x40);
  EXPECT_EQ(field[3], 0xDC);

  // Outside the geometry (head past the highest) with a small cylinder:
  // stored as cylinder 1023.
  EXPECT_FALSE(Fdisk::EncodeMbrChs(field, Chs(500, 255, 9), disk));
  EXPECT_EQ(field[1], 255);
  EXPECT_EQ(field[2], 9 | 0xC0);
  EXPECT_EQ(field[3], 0xFF);

  // Outside the geometry with a cylinder above 1023: stored as it is.
  disk.SetGeometry(Geo(63, 254, 1000));
  EXPECT_TRUE(Fdisk::EncodeMbrChs(field, Chs(1500, 0, 1), disk));
  EXPECT_EQ(field[3], 0xDC);
}

TEST(Chs, DecodeMbrChs) {
  const std::uint8_t field[4] = {0, 0x7F, 0xFF, 0xFF};
  ChsAddress a;
  EXPECT_TRUE(Fdisk::DecodeMbrChs(a, field, true));
  EXPECT_EQ(a, Chs(1023, 127, 63));
  EXPECT_TRUE(Fdisk::DecodeMbrChs(a, field, false));
  EXPECT_EQ(a, Chs(2047, 63, 63));
}

TEST(Chs, UpdateMbrChsReportsAChangeOnce) {
  MemoryDisk disk(16065 * 10);
  std::uint8_t field[4] = {0x0C, 0, 0, 0};
  EXPECT_TRUE(Fdisk::UpdateMbrChs(field, 16065 + 70, disk));
  EXPECT_EQ(field[0], 0x0C);
  ChsAddress a;
  Fdisk::DecodeMbrChs(a, field, true);
  EXPECT_EQ(a, Chs(1, 1, 8));
  EXPECT_FALSE(Fdisk::UpdateMbrChs(field, 16065 + 70, disk));
}

TEST(Chs, AdvancedLocus) {
  EXPECT_EQ(Fdisk::AdvancedLocus(63, 254, 16065 * 100).cylinders, 100u);
  EXPECT_EQ(Fdisk::AdvancedLocus(63, 254, 16065 * 100 + 5).cylinders, 100u);
  // Aligned down to the end of the last whole track before the total.
  EXPECT_EQ(Fdisk::AdvancedLocus(63, 254, 16065 * 100).AlignedEnd(), 16065u * 100 - 1);
  EXPECT_EQ(Fdisk::AdvancedLocus(63, 254, 16065 * 100 + 70).AlignedEnd(), 16065u * 100 + 62);
}

// The CHS bytes of every entry of `sector0`, recomputed from its LBAs under
// the disk's geometry, must equal what the tool wrote.
void ExpectSameChsAsTool(const std::uint8_t* sector0, const Fdisk::SimpleDisk& disk) {
  int entries = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* entry = sector0 + 446 + 16 * i;
    const std::uint32_t start = Common::LoadLe32(entry + 8);
    const std::uint32_t count = Common::LoadLe32(entry + 12);
    if (count == 0) continue;
    ++entries;
    std::uint8_t first[4] = {entry[0], 0, 0, 0};
    std::uint8_t last[4] = {entry[4], 0, 0, 0};
    Fdisk::UpdateMbrChs(first, start, disk);
    Fdisk::UpdateMbrChs(last, std::uint64_t(start) + count - 1, disk);
    EXPECT_EQ(0, std::memcmp(first, entry, 4)) << "start of entry " << i;
    EXPECT_EQ(0, std::memcmp(last, entry + 4, 4)) << "end of entry " << i;
  }
  EXPECT_GT(entries, 0);
}

TEST(Chs, MbrChsBytesMatchSfdisk) {
  DiskTest::TempDir dir;
  auto disk = FixtureDisk(dir, kMbrSfdisk);
  // A 3 GiB disk seen with 255 heads of 63 sectors, as the tool sees it.
  EXPECT_EQ(disk->GetGeometry(), Geo(63, 254, 391));
  std::uint8_t sector0[512];
  ASSERT_FALSE(disk->Io(Fdisk::kIoRead, 0, sector0, 1));
  ExpectSameChsAsTool(sector0, *disk);
}

#if !defined(_WIN32)
// The same against a table sfdisk writes now, with starts that do not fall
// on track boundaries.
TEST(Chs, MbrChsBytesMatchSfdiskRunNow) {
  if (std::system("sfdisk --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no sfdisk";
  DiskTest::TempDir dir;
  const std::string image = dir.File("live.img");
  const std::string script = dir.File("layout");
  DiskTest::ImageDisk::CreateImage(image, std::uint64_t(5) << 30);
  {
    std::ofstream out(script);
    out << "label: dos\nunit: sectors\n"
           "start=63, size=1001, type=83\n"
           "start=70000, size=5000000, type=7\n"
           "start=5100001, size=4000000, type=c\n";
  }
  const std::string command = "sfdisk --no-reread --no-tell-kernel -q '" + image + "' < '" +
                              script + "' > /dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  DiskTest::ImageDisk disk(image, 512);
  std::uint8_t sector0[512];
  ASSERT_FALSE(disk.Io(Fdisk::kIoRead, 0, sector0, 1));
  ExpectSameChsAsTool(sector0, disk);
}
#endif

}  // namespace
