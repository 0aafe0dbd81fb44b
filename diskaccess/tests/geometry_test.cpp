// Geometry arithmetic: the alignment modes against a model written here in
// plain LBA arithmetic, the CHS bytes, the firmware geometry and the
// partition callbacks without installed functions.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diskaccess/geometry.h"
#include "diskaccess/objects.h"
#include "foundation/byteorder.h"

namespace {

class GeoDisk : public plain_disk {
 public:
  GeoDisk(std::uint64_t sectors, std::uint32_t sectorSize, std::uint8_t spt, std::uint8_t hh) {
    EXPECT_EQ(SetSectorSize(sectorSize).Code(), 0u);
    lastSector_ = sectors - 1;
    geometry_.sectorsPerTrack = spt;
    geometry_.highestHead = hh;
    ComputeCylinders();
  }
  Common::Error OpInt(std::uint32_t, std::uint64_t, void*, std::uint64_t) override {
    return Common::Error();
  }
};

// The alignment modes restated on sector numbers: C sectors make a unit (a
// cylinder), S sectors a track, `units` is the highest unit index a move
// upwards may leave.
struct Model {
  std::uint64_t C, S, units;
  std::optional<std::uint64_t> Apply(std::uint32_t mode, std::uint64_t lba) const {
    const std::uint64_t unitStart = lba / C * C;
    const bool atStart = lba % C == 0, atEnd = (lba + 1) % C == 0;
    switch (mode) {
      case 0: case 1: return unitStart;
      case 2: case 3: case 8:
        if (atStart) return lba;
        if (lba / C >= units) return std::nullopt;
        return unitStart + C;
      case 4: case 5:
        if (atEnd) return lba;
        if (lba / C == 0) return std::nullopt;
        return unitStart - 1;
      case 6: case 7:
        if (mode == 7 && lba % S == 0) return lba;
        if (lba / C >= units) return std::nullopt;
        return lba / S * S + S;
      case 9: case 10: return unitStart + C - 1;
      case 11:
        if ((lba + 1) % S == 0) return lba;
        if (lba < S) return std::nullopt;
        return lba / S * S - 1;
      case 12: case 13:
        if (!atStart) return unitStart;
        if (lba == 0) return std::nullopt;
        return lba - C;
      case 14: case 15: return atStart ? std::optional<std::uint64_t>(lba) : std::nullopt;
      case 16: return lba % S == 0 ? std::optional<std::uint64_t>(lba) : std::nullopt;
      case 17: case 18:
        return lba % S == 0 && lba % C / S <= 1 ? std::optional<std::uint64_t>(lba) : std::nullopt;
      case 19: case 20: return atEnd ? std::optional<std::uint64_t>(lba) : std::nullopt;
    }
    return std::nullopt;
  }
  // Sector 0 is no position: the upward moves go to the first unit.
  std::optional<std::uint64_t> AtZero(std::uint32_t mode) const {
    if (mode == 2 || mode == 3 || mode == 6 || mode == 7 || mode == 8) return C;
    return std::nullopt;
  }
};

TEST(Alignment, EveryModeMatchesTheModelOnUnitsAndCylinders) {
  struct Setup {
    const char* name;
    std::uint64_t sectors;
    std::uint8_t spt, hh;
    Da::AlignmentRequest request;
    Model model;
  };
  const std::uint64_t g8 = 16777216;  // 8 GiB of 512-byte sectors
  const std::uint64_t g2 = 4194304;   // 2 GiB
  const Setup setups[] = {
      // An explicit unit: cylinders of 2048 sectors, no heads.
      {"unit 2048", g8, 63, 254, {2048, 0}, {2048, 2048, g8 / 2048 - 1}},
      // By size: 128 sectors (64 KiB) below 2 TiB... of 2^32 / 512 sectors.
      {"kind 3, 2 GiB", g2, 63, 254, {0, 3}, {128, 128, (g2 - 1) / 128}},
      {"kind 3, 8 GiB", g8, 63, 254, {0, 3}, {2048, 2048, (g8 - 1) / 2048}},
      // The disk's own geometry: 255 heads of 63 sectors.
      {"kind 1", g2, 63, 254, {0, 1}, {16065, 63, (g2 - 1) / 16065}},
      // No alignment: every sector is a unit.
      {"kind 0", 100000, 63, 254, {0, 0}, {1, 1, 99999}},
  };
  const std::uint64_t lbas[] = {1, 2, 62, 63, 64, 127, 128, 129, 2047, 2048, 2049, 4095, 16064,
                                16065, 16066, 16128, 32129, 32130, 99998, 99999,
                                4194303, 4194175, 4185344, 16777215, 16775168, 16775167};
  for (const Setup& s : setups) {
    GeoDisk disk(s.sectors, 512, s.spt, s.hh);
    for (std::uint32_t mode = 0; mode < Da::kAlignModeCount; ++mode) {
      // Automatic and explicit requests agree with the unit model except for
      // the modes that an automatic request sends to the CHS geometry.
      for (std::uint64_t lba : lbas) {
        if (lba >= s.sectors) continue;
        std::uint64_t got = lba;
        const bool ok = Da::AlignCheck(mode, got, disk, s.request);
        const std::optional<std::uint64_t> want = s.model.Apply(mode, lba);
        SCOPED_TRACE(std::string(s.name) + " mode " + std::to_string(mode) + " lba " +
                     std::to_string(lba));
        ASSERT_EQ(ok, want.has_value());
        EXPECT_EQ(got, ok ? *want : lba);
      }
      std::uint64_t zero = 0;
      const bool ok = Da::AlignCheck(mode, zero, disk, s.request);
      const std::optional<std::uint64_t> want =
          s.request.kind == 0 && s.request.unit == 0 ? std::optional<std::uint64_t>()
                                                     : s.model.AtZero(mode);
      if (s.request.kind == 0 && s.request.unit == 0) {
        // One-sector units: cylinder 1 of a unit with no heads is sector 1.
        EXPECT_EQ(ok, s.model.AtZero(mode).has_value()) << s.name << " mode " << mode;
        if (ok) {
          EXPECT_EQ(zero, 1u);
        }
      } else {
        EXPECT_EQ(ok, want.has_value()) << s.name << " mode " << mode;
        EXPECT_EQ(zero, ok ? *want : 0u) << s.name << " mode " << mode;
      }
    }
  }
}

TEST(Alignment, AutomaticRequestsPickGeometryOnlyForTheEndModes) {
  GeoDisk disk(16777216, 512, 63, 254);
  const Da::AlignmentRequest automatic{0, Da::kAlignAutomatic};
  struct Case {
    std::uint32_t mode;
    std::uint64_t lba, want;
    bool ok;
  };
  const Case cases[] = {
      {2, 63, 2048, true},      {2, 2048, 2048, true},   {0, 0, 0, false},
      {2, 0, 2048, true},       {4, 20000, 16064, true}, {9, 20000, 32129, true},
      {19, 32129, 32129, true}, {19, 2047, 2047, false}, {20, 2047, 2047, true},
  };
  for (const Case& c : cases) {
    std::uint64_t lba = c.lba;
    EXPECT_EQ(Da::AlignCheck(c.mode, lba, disk, automatic), c.ok) << c.mode << " " << c.lba;
    EXPECT_EQ(lba, c.want) << c.mode << " " << c.lba;
  }
  std::uint64_t lba = 5;
  EXPECT_FALSE(Da::AlignCheck(21, lba, disk, automatic));
  EXPECT_EQ(lba, 5u);
}

TEST(Alignment, PhysicalSectorOffsetShiftsTheAdjustingModes) {
  GeoDisk disk(16777216, 512, 63, 254);
  disk.physical_sector_size = 4096;
  disk.alignment_offset = 1;  // d = 8 - 1 = 7
  const Da::AlignmentRequest unit{2048, 0};
  struct Case {
    std::uint32_t mode;
    std::uint64_t lba, want;
    bool ok;
  };
  const Case cases[] = {
      {14, 2055, 2055, true}, {14, 2048, 2048, false}, {15, 2048, 2048, true},
      {2, 63, 2055, true},    {2, 3, 2055, true},     {0, 4200, 4103, true},
      {1, 4200, 4096, true},
  };
  for (const Case& c : cases) {
    std::uint64_t lba = c.lba;
    EXPECT_EQ(Da::AlignCheck(c.mode, lba, disk, unit), c.ok) << c.mode << " " << c.lba;
    EXPECT_EQ(lba, c.want) << c.mode << " " << c.lba;
  }
  // A unit that is no multiple of the ratio is not shifted.
  std::uint64_t lba = 2052;
  EXPECT_TRUE(Da::AlignCheck(14, lba, disk, Da::AlignmentRequest{4, 0}));
}

TEST(Alignment, ZeroDivisorsAreRefused) {
  GeoDisk noTracks(100000, 512, 0, 0);
  std::uint64_t lba = 1000;
  EXPECT_FALSE(Da::AlignCheck(0, lba, noTracks, Da::AlignmentRequest{0, Da::kAlignGeometry}));
  EXPECT_EQ(lba, 1000u);
  Da::ChsAddress a;
  EXPECT_FALSE(Da::LbaToChs(1000, noTracks.GetGeometry(), a));
  std::uint32_t field = 0x12345678;
  EXPECT_FALSE(Da::EncodeChsField(field, 1000, noTracks, false));
  EXPECT_EQ(field, 0x12345678u);
  Da::ChsPosition p;
  EXPECT_FALSE(Da::LbaToPosition(5, Da::ChsLimits{}, p));
}

TEST(Chs, EncodingPutsHighCylinderBitsWhereTheyBelong) {
  GeoDisk big(1ull << 33, 512, 63, 254);  // 4 TiB: more cylinders than any field holds
  std::uint8_t bytes[3];
  // Cylinder 1000: bits 8-9 (3) in the sector byte, nothing in the head byte.
  EXPECT_TRUE(Da::EncodeChs(bytes, Da::ChsAddress{5, 7, 1000}, big, true));
  EXPECT_EQ(bytes[0], 7);
  EXPECT_EQ(bytes[1], 5 | 0xC0);
  EXPECT_EQ(bytes[2], 1000 & 0xFF);
  // Cylinder 1500 does not fit the fixed limit: 1023 is written.
  EXPECT_FALSE(Da::EncodeChs(bytes, Da::ChsAddress{5, 7, 1500}, big, true));
  EXPECT_EQ(bytes[2], 0xFF);
  EXPECT_EQ(bytes[1], 5 | 0xC0);
  // With 16 heads the limit is 4095: bits 10-11 go to the head byte.
  GeoDisk narrow(1ull << 26, 512, 63, 15);
  EXPECT_TRUE(Da::EncodeChs(bytes, Da::ChsAddress{1, 2, 3000}, narrow, false));
  EXPECT_EQ(bytes[0], 2 | ((3000 >> 4) & 0xC0));
  EXPECT_EQ(bytes[1], 1 | ((3000 >> 2) & 0xC0));
  EXPECT_EQ(bytes[2], 3000 & 0xFF);
  EXPECT_EQ(Da::DaCylinderLimit(narrow), 4095u);
  EXPECT_EQ(Da::DaCylinderLimit(big), 1023u);
  GeoDisk small(16 * 63 * 500, 512, 63, 15);
  EXPECT_EQ(Da::DaCylinderLimit(small), small.GetGeometry().cylinders);

  // An end beyond cylinder 1023 is written as the last sector of 1023.
  std::uint32_t field = 0x83;
  EXPECT_TRUE(Da::EncodeChsField(field, 30000000, big, true));
  EXPECT_EQ(field, 0x83u | 0xFEu << 8 | 0xFFu << 16 | 0xFFu << 24);
  EXPECT_FALSE(Da::EncodeChsField(field, 30000000, big, true));
}

TEST(Chs, LbaRoundTripsThroughTheGeometry) {
  const Fdisk::Geometry g{63, 254, 1000};
  for (std::uint64_t lba : {0ull, 62ull, 63ull, 16064ull, 16065ull, 1234567ull}) {
    Da::ChsAddress a;
    ASSERT_TRUE(Da::LbaToChs(lba, g, a));
    EXPECT_EQ(Da::ChsToLba(a, g), lba);
    EXPECT_EQ(Da::ChsFits(a, g), a.cylinder <= 1000);
  }
  EXPECT_FALSE(Da::ChsFits(Da::ChsAddress{0, 0, 0}, g));
  EXPECT_FALSE(Da::ChsFits(Da::ChsAddress{64, 0, 0}, g));
  EXPECT_FALSE(Da::ChsFits(Da::ChsAddress{1, 255, 0}, Fdisk::Geometry{63, 254, 10}));
}

TEST(BiosGeometry, ExtendedParametersGrowTheDiskOnlyWhenLargerAndOf512ByteSectors) {
  struct Case {
    std::uint64_t total;
    std::uint16_t bytesPerSector;
    std::uint64_t wantLast;
  };
  // CHS reaches (1023 * 255 + 254) * 63 + 62 = 16450559 sectors.
  const Case cases[] = {
      {20000000, 512, 19999999}, {20000000, 0, 19999999}, {20000000, 4096, 16450559},
      {16000000, 512, 16450559},
  };
  for (const Case& c : cases) {
    GeoDisk disk(16450560, 512, 63, 254);
    disk.Geometry().cylinders = 1023;
    disk.bios_block.reset(new std::uint8_t[33]());
    Common::StoreLe64(disk.bios_block.get() + 19, c.total);
    Common::StoreLe16(disk.bios_block.get() + 27, c.bytesPerSector);
    EXPECT_TRUE(Da::ApplyBiosGeometry(disk));
    EXPECT_EQ(disk.chs_limit, 16450559u);
    EXPECT_EQ(disk.GetSectorCount(), c.wantLast) << c.total << " " << c.bytesPerSector;
    EXPECT_EQ(disk.geometry_ok, 1);
  }
  GeoDisk none(1000, 512, 0, 0);
  EXPECT_FALSE(Da::ApplyBiosGeometry(none));
  EXPECT_EQ(none.geometry_ok, 0);
}

TEST(PartitionCallbacks, AnswerFixedValuesUntilInstalled) {
  EXPECT_EQ(Da::CallPickFatPartitionType(nullptr), 0x06);
  EXPECT_FALSE(Da::CallHasKnownFileSystem(nullptr, nullptr));
  EXPECT_EQ(Da::CallFormatRawDevice(nullptr).Code(), 0u);
  Da::SetPickFatPartitionType([](holder*) -> std::uint8_t { return 0x0E; });
  EXPECT_EQ(Da::CallPickFatPartitionType(nullptr), 0x0E);
  Da::SetPickFatPartitionType(nullptr);
  EXPECT_EQ(Da::CallPickFatPartitionType(nullptr), 0x06);
}

}  // namespace
