// CHS conversion, alignment steps and the MBR entry's CHS bytes.
#include "fdisk/chs.h"

#include <cstring>

#include "fdisk/error.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0x4102;

std::uint64_t HeadsPerCylinder(const Geometry& g) { return std::uint64_t(g.highestHead) + 1; }

[[noreturn]] void ThrowBadGeometry(std::uint32_t site) {
  ThrowError((kModuleId << 16) | site, kModuleId, kErrInvalidParameter, Msg::kInvalidParameter);
}

// The checked form of ChsToLba: false when the LBA does not fit in 64 bits.
bool TryChsToLba(const ChsAddress& a, const Geometry& g, std::uint64_t& lba) {
  std::uint64_t tracks = 0;
  std::uint64_t sectors = 0;
  if (__builtin_mul_overflow(a.cylinder, HeadsPerCylinder(g), &tracks) ||
      __builtin_add_overflow(tracks, std::uint64_t(a.head), &tracks) ||
      __builtin_mul_overflow(tracks, std::uint64_t(g.sectorsPerTrack), &sectors) ||
      __builtin_add_overflow(sectors, std::uint64_t(a.sector), &sectors) || sectors == 0) {
    return false;
  }
  lba = sectors - 1;
  return true;
}

bool NextCylinder(ChsAddress& a, const Geometry& g) {
  if (a.cylinder >= g.cylinders) return false;
  ++a.cylinder;
  return true;
}

bool PreviousCylinder(ChsAddress& a) {
  if (a.cylinder == 0) return false;
  --a.cylinder;
  return true;
}

bool NextTrack(ChsAddress& a, const Geometry& g) {
  if (a.head < g.highestHead) {
    ++a.head;
    return true;
  }
  a.head = 0;
  return NextCylinder(a, g);
}

bool PreviousTrack(ChsAddress& a, const Geometry& g) {
  if (a.head > 0) {
    --a.head;
    return true;
  }
  a.head = g.highestHead;
  return PreviousCylinder(a);
}

bool CylinderStart(ChsAddress& a) {
  a.sector = 1;
  a.head = 0;
  return true;
}

bool IsCylinderStart(const ChsAddress& a) { return a.sector == 1 && a.head == 0; }

bool Step(int mode, ChsAddress& a, const Geometry& g) {
  const std::uint8_t s = g.sectorsPerTrack;
  const std::uint8_t h = g.highestHead;
  switch (mode) {
    case kAlignNextCylinder:
      CylinderStart(a);
      return NextCylinder(a, g);
    case kAlignCylinderStart:
      return CylinderStart(a);
    case kAlignUpCylinder:
      if (IsCylinderStart(a)) return true;
      CylinderStart(a);
      return NextCylinder(a, g);
    case kAlignDownCylinderEnd:
      if (a.sector == s && a.head == h) return true;
      a.sector = s;
      a.head = h;
      return PreviousCylinder(a);
    case kAlignNextTrack:
      a.sector = 1;
      return NextTrack(a, g);
    case kAlignUpTrack:
      if (a.sector == 1) return true;
      a.sector = 1;
      return NextTrack(a, g);
    case kAlignCylinderEnd:
      a.sector = s;
      a.head = h;
      return true;
    case kAlignDownTrackEnd:
      if (a.sector == s) return true;
      a.sector = s;
      return PreviousTrack(a, g);
    case kAlignPreviousCylinder:
      return PreviousCylinder(a);
    case kAlignNextCylinderKeep:
      return NextCylinder(a, g);
    case kAlignNextTrackKeep:
      return NextTrack(a, g);
    case kAlignPreviousTrackKeep:
      return PreviousTrack(a, g);
    case kAlignNextSector:
      if (a.sector < s) {
        ++a.sector;
        return true;
      }
      a.sector = 1;
      return NextTrack(a, g);
    case kAlignPreviousCylinderStart:
      if (IsCylinderStart(a)) return PreviousCylinder(a);
      return CylinderStart(a);
    default:
      return false;
  }
}
}  // namespace

bool operator==(const ChsAddress& a, const ChsAddress& b) {
  return a.sector == b.sector && a.head == b.head && a.cylinder == b.cylinder;
}

bool IsUsableGeometry(const Geometry& geometry) { return geometry.sectorsPerTrack != 0; }

std::uint64_t ChsToLba(const ChsAddress& address, const Geometry& geometry) {
  if (!IsUsableGeometry(geometry)) ThrowBadGeometry(1);
  std::uint64_t lba = 0;
  if (!TryChsToLba(address, geometry, lba)) ThrowBadGeometry(2);
  return lba;
}

ChsAddress LbaToChs(std::uint64_t lba, const Geometry& geometry) {
  if (!IsUsableGeometry(geometry)) ThrowBadGeometry(3);
  const std::uint64_t perCylinder = geometry.sectorsPerTrack * HeadsPerCylinder(geometry);
  const std::uint64_t r = lba % perCylinder;
  ChsAddress a;
  a.cylinder = lba / perCylinder;
  a.head = std::uint8_t(r / geometry.sectorsPerTrack);
  a.sector = std::uint8_t(r % geometry.sectorsPerTrack + 1);
  return a;
}

bool AlignLba(int mode, std::uint64_t& lba, const Geometry& geometry) {
  if (!IsUsableGeometry(geometry)) return false;
  ChsAddress a = LbaToChs(lba, geometry);
  if (!Step(mode, a, geometry)) return false;
  std::uint64_t moved = 0;
  if (!TryChsToLba(a, geometry, moved)) return false;
  lba = moved;
  return true;
}

bool EncodeMbrChs(std::uint8_t field[4], const ChsAddress& address, const SimpleDisk& disk) {
  const Geometry& g = disk.GetGeometry();
  const bool within = address.head <= g.highestHead && address.sector >= 1 &&
                      address.sector <= g.sectorsPerTrack && address.cylinder <= g.cylinders;
  const bool keep = within || address.cylinder > 1023;
  const std::uint64_t cylinder = keep ? address.cylinder : 1023;
  field[1] = std::uint8_t(address.head | (((cylinder >> 10) & 3) << 6));
  field[2] = std::uint8_t(address.sector | (((cylinder >> 8) & 3) << 6));
  field[3] = std::uint8_t(cylinder & 0xFF);
  return keep;
}

bool UpdateMbrChs(std::uint8_t field[4], std::uint64_t lba, const SimpleDisk& disk) {
  if (!IsUsableGeometry(disk.GetGeometry())) return false;
  std::uint8_t copy[4] = {field[0], 0, 0, 0};
  EncodeMbrChs(copy, LbaToChs(lba, disk.GetGeometry()), disk);
  if (std::memcmp(copy, field, 4) == 0) return false;
  std::memcpy(field, copy, 4);
  return true;
}

bool DecodeMbrChs(ChsAddress& address, const std::uint8_t field[4], bool standard) {
  address.sector = field[2] & 0x3F;
  address.cylinder = (std::uint64_t(field[2] >> 6) << 8) | field[3];
  address.head = field[1];
  if (!standard) {
    address.cylinder |= std::uint64_t(field[1] >> 6) << 10;
    address.head = field[1] & 0x3F;
  }
  return true;
}

}  // namespace Fdisk
