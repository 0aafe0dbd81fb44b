// Striped and parity plexes against the software-RAID layouts, as computed by
// tests/data/dm_make_layouts.py: reads through the mapper give the volume
// image, writes through it give the member images, parity included, and a
// lost member is rebuilt from the others.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "data/dm_test_kit.h"
#include "fdisk/dm_raid.h"

namespace {

struct DmLayoutBlock {
  std::uint8_t target;  // 0xFF the volume image, else the member index
  std::uint32_t offset;
  std::uint8_t bytes[16];
};

struct DmLayoutFixture {
  const char* name;
  int plexType;
  int layout;
  std::uint32_t columns;
  std::uint32_t chunk;
  std::uint32_t memberSectors;
  std::uint32_t volumeSectors;
  const DmLayoutBlock* blocks;
  std::size_t blockCount;
};

#include "data/dm_layouts.inc"

void PrintTo(const DmLayoutFixture& f, std::ostream* out) { *out << f.name; }

using namespace DmTest;
namespace DM = Fdisk::DM;

std::vector<std::uint8_t> Image(const DmLayoutFixture& f, std::uint8_t target) {
  const std::uint32_t sectors = target == 0xFF ? f.volumeSectors : f.memberSectors;
  std::vector<std::uint8_t> out(std::size_t(sectors) * kSector);
  for (std::size_t i = 0; i < f.blockCount; ++i) {
    if (f.blocks[i].target == target) std::memcpy(&out[f.blocks[i].offset], f.blocks[i].bytes, 16);
  }
  return out;
}

bool IsParity(const DmLayoutFixture& f) { return f.plexType == 4 || f.plexType == 5; }

class LayoutTest : public testing::TestWithParam<DmLayoutFixture> {
 protected:
  // Members as blank disks 1..N, column i on disk i + 1.
  void Build() {
    const DmLayoutFixture& f = GetParam();
    plex_ = volume_.AddPlex(DM::PlexType(f.plexType), f.chunk, f.layout);
    for (std::uint32_t i = 0; i < f.columns; ++i) {
      const std::uint32_t disk = volume_.AddDisk(f.memberSectors);
      volume_.AddExtent(plex_, i, disk, 0, f.memberSectors);
    }
  }
  void LoadMembers() {
    const DmLayoutFixture& f = GetParam();
    for (std::uint32_t i = 0; i < f.columns; ++i) {
      const std::vector<std::uint8_t> member = Image(f, std::uint8_t(i));
      std::memcpy(volume_.Disk(i + 1).Bytes(), member.data(), member.size());
    }
  }
  std::vector<std::uint8_t> Member(std::uint32_t column) {
    MemberDisk& d = volume_.Disk(column + 1);
    return std::vector<std::uint8_t>(d.Bytes(), d.Bytes() + d.Size());
  }
  // The volume read in requests of the given sizes in turn (each crossing
  // chunk and stripe boundaries somewhere).
  std::vector<std::uint8_t> ReadInPieces(const std::vector<std::uint64_t>& sizes) {
    const std::uint64_t total = GetParam().volumeSectors;
    std::vector<std::uint8_t> out(std::size_t(total) * kSector);
    std::uint64_t at = 0;
    for (std::size_t i = 0; at < total; ++i) {
      const std::uint64_t n = std::min(sizes[i % sizes.size()], total - at);
      const Common::Error e =
          volume_.Io().Io(Fdisk::kIoRead, at, out.data() + at * kSector, n);
      EXPECT_FALSE(e) << "read " << at << "+" << n;
      at += n;
    }
    return out;
  }
  DM::PlexStatus PlexStatus() {
    DM::PlexIO* io = volume_.Simple(plex_).GetPlexIO();
    if (auto* raid = dynamic_cast<DM::RaidParityBase*>(io)) return raid->Status();
    return static_cast<DM::Raid0PlexIO*>(io)->Status();
  }

  Volume volume_;
  std::uint32_t plex_ = 0;
};

TEST_P(LayoutTest, ReadsGiveTheVolumeImage) {
  Build();
  LoadMembers();
  const std::vector<std::uint8_t> expected = Image(GetParam(), 0xFF);
  EXPECT_TRUE(ReadInPieces({GetParam().volumeSectors}) == expected) << "one request";
  EXPECT_TRUE(ReadInPieces({7, 1, 13, 30}) == expected) << "uneven requests";
  EXPECT_EQ(volume_.Io().Status(), DM::kVolumeHealthy);
  EXPECT_EQ(PlexStatus(), DM::kPlexHealthy);
}

TEST_P(LayoutTest, WritesLandAsMdLaysThemOut) {
  Build();
  const DmLayoutFixture& f = GetParam();
  const std::vector<std::uint8_t> image = Image(f, 0xFF);
  const std::uint64_t sizes[] = {5, 13, 1, 24, 3, 40};
  std::uint64_t at = 0;
  for (std::size_t i = 0; at < f.volumeSectors; ++i) {
    const std::uint64_t n = std::min<std::uint64_t>(sizes[i % 6], f.volumeSectors - at);
    std::vector<std::uint8_t> piece(image.begin() + at * kSector, image.begin() + (at + n) * kSector);
    ASSERT_FALSE(volume_.Write(at, piece)) << at;
    at += n;
  }
  for (std::uint32_t i = 0; i < f.columns; ++i) {
    EXPECT_TRUE(Member(i) == Image(f, std::uint8_t(i))) << "member " << i;
  }
}

// Writing in reverse order moves the stripe cache backwards and revisits
// stripes; the end result is the same.
TEST_P(LayoutTest, WritesInAnyOrderGiveTheSameMembers) {
  Build();
  const DmLayoutFixture& f = GetParam();
  const std::vector<std::uint8_t> image = Image(f, 0xFF);
  for (std::uint64_t at = f.volumeSectors; at > 0;) {
    const std::uint64_t n = std::min<std::uint64_t>(at, 11);
    at -= n;
    std::vector<std::uint8_t> piece(image.begin() + at * kSector, image.begin() + (at + n) * kSector);
    ASSERT_FALSE(volume_.Write(at, piece)) << at;
  }
  for (std::uint32_t i = 0; i < f.columns; ++i) {
    EXPECT_TRUE(Member(i) == Image(f, std::uint8_t(i))) << "member " << i;
  }
}

TEST_P(LayoutTest, ALostMemberIsRebuiltOnRead) {
  const DmLayoutFixture& f = GetParam();
  if (!IsParity(f)) GTEST_SKIP() << "no redundancy";
  // Each member in turn: a fresh volume per lost member.
  for (std::uint32_t lost = 0; lost < f.columns; ++lost) {
    SCOPED_TRACE("lost member " + std::to_string(lost));
    Volume v;
    const std::uint32_t plex = v.AddPlex(DM::PlexType(f.plexType), f.chunk, f.layout);
    for (std::uint32_t i = 0; i < f.columns; ++i) {
      const std::uint32_t disk = v.AddDisk(f.memberSectors);
      const std::vector<std::uint8_t> member = Image(f, std::uint8_t(i));
      std::memcpy(v.Disk(disk).Bytes(), member.data(), member.size());
      v.AddExtent(plex, i, disk, 0, f.memberSectors);
    }
    v.Disk(lost + 1).Fail(0, 0, f.memberSectors);
    std::vector<std::uint8_t> out;
    ASSERT_FALSE(v.Read(0, out, f.volumeSectors));
    EXPECT_TRUE(out == Image(f, 0xFF));
    auto* raid = static_cast<DM::RaidParityBase*>(v.Simple(plex).GetPlexIO());
    // RAID-4 reads never need the parity member.
    const bool readsLost = !(f.plexType == 4 && lost == f.columns - 1);
    EXPECT_EQ(raid->Status(), readsLost ? DM::kPlexDegraded : DM::kPlexHealthy);
    EXPECT_EQ(v.Io().Status(), DM::kVolumeHealthy) << "the plex delivered";
  }
}

// With one member gone for good, writes still keep the others exactly as the
// layout has them, so that the lost member's data lives on in the parity.
TEST_P(LayoutTest, WritesWithALostMemberKeepTheOthersExact) {
  const DmLayoutFixture& f = GetParam();
  if (!IsParity(f)) GTEST_SKIP() << "no redundancy";
  const std::vector<std::uint8_t> image = Image(f, 0xFF);
  for (std::uint32_t lost = 0; lost < f.columns; ++lost) {
    SCOPED_TRACE("lost member " + std::to_string(lost));
    Volume v;
    const std::uint32_t plex = v.AddPlex(DM::PlexType(f.plexType), f.chunk, f.layout);
    for (std::uint32_t i = 0; i < f.columns; ++i) {
      v.AddExtent(plex, i, v.AddDisk(f.memberSectors), 0, f.memberSectors);
    }
    v.Disk(lost + 1).Fail(0, 0, f.memberSectors);
    for (std::uint64_t at = 0; at < f.volumeSectors; at += 6) {
      const std::uint64_t n = std::min<std::uint64_t>(6, f.volumeSectors - at);
      std::vector<std::uint8_t> piece(image.begin() + at * kSector,
                                      image.begin() + (at + n) * kSector);
      ASSERT_FALSE(v.Write(at, piece)) << at;
    }
    for (std::uint32_t i = 0; i < f.columns; ++i) {
      if (i == lost) continue;
      MemberDisk& d = v.Disk(i + 1);
      EXPECT_TRUE(std::vector<std::uint8_t>(d.Bytes(), d.Bytes() + d.Size()) ==
                  Image(f, std::uint8_t(i)))
          << "member " << i;
    }
    std::vector<std::uint8_t> out;
    ASSERT_FALSE(v.Read(0, out, f.volumeSectors));
    EXPECT_TRUE(out == image);
  }
}

TEST_P(LayoutTest, RequestsPastTheEndFailWithoutTransfer) {
  Build();
  LoadMembers();
  const DmLayoutFixture& f = GetParam();
  for (std::uint32_t i = 0; i < f.columns; ++i) volume_.Disk(i + 1).ClearLog();
  std::vector<std::uint8_t> out;
  // The last chunk ends the columns: reading one sector further cannot be
  // served by any column.
  EXPECT_EQ(Code(volume_.Read(f.volumeSectors - 2, out, 4)), DM::kErrNoHealthyPlex);
  EXPECT_EQ(volume_.Io().Status(), DM::kVolumeFailed);
  for (std::uint32_t i = 0; i < f.columns; ++i) {
    for (const Request& r : volume_.Disk(i + 1).Log()) {
      EXPECT_LE(r.sector + r.count, f.memberSectors) << "member " << i;
    }
  }
}

std::string FixtureName(const testing::TestParamInfo<DmLayoutFixture>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Raid, LayoutTest, testing::ValuesIn(kDmLayouts), FixtureName);

}  // namespace
