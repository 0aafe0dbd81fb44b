// CHS positions, the alignment test and the CHS bytes of MBR entries.
#include "diskaccess/geometry.h"

#include "diskaccess/objects.h"
#include "foundation/byteorder.h"

namespace Da {
namespace {

// What an alignment mode does and which kind an automatic request becomes.
enum class Step {
  kUnitStartDown,
  kUnitStartUp,
  kUnitStartBefore,
  kUnitEndUp,
  kUnitEndDown,
  kNextTrackStart,
  kTrackStartUp,
  kTrackEndDown,
  kTestUnitStart,
  kTestSectorOne,
  kTestSectorOneHeadLow,
  kTestUnitEnd,
};

struct ModeRow {
  Step step;
  bool adjust;        // the physical-sector shift applies
  std::uint32_t automaticKind;
};

constexpr ModeRow kModes[kAlignModeCount] = {
    {Step::kUnitStartDown, true, 3},        {Step::kUnitStartDown, false, 3},
    {Step::kUnitStartUp, true, 3},          {Step::kUnitStartUp, false, 3},
    {Step::kUnitEndDown, false, 1},         {Step::kUnitEndDown, true, 3},
    {Step::kNextTrackStart, true, 3},       {Step::kTrackStartUp, true, 3},
    {Step::kUnitStartUp, true, 3},          {Step::kUnitEndUp, false, 1},
    {Step::kUnitEndUp, true, 3},            {Step::kTrackEndDown, false, 3},
    {Step::kUnitStartBefore, true, 3},      {Step::kUnitStartBefore, false, 3},
    {Step::kTestUnitStart, true, 3},        {Step::kTestUnitStart, false, 3},
    {Step::kTestSectorOne, true, 3},        {Step::kTestSectorOneHeadLow, true, 3},
    {Step::kTestSectorOneHeadLow, false, 3}, {Step::kTestUnitEnd, false, 1},
    {Step::kTestUnitEnd, true, 3},
};

bool AtUnitStart(const ChsPosition& p) { return p.sector == 1 && p.head == 0; }
bool AtUnitEnd(const ChsPosition& p) {
  return p.sector == p.limits.sectors_per_unit && p.head == p.limits.highest_head;
}

bool TrackBack(ChsPosition& p) {
  if (p.head != 0) {
    --p.head;
    return true;
  }
  if (p.cylinder == 0) return false;
  p.head = p.limits.highest_head;
  --p.cylinder;
  return true;
}

bool TrackForward(ChsPosition& p) {
  if (p.cylinder >= p.limits.cylinders) return false;
  if (p.head < p.limits.highest_head) {
    ++p.head;
  } else {
    p.head = 0;
    ++p.cylinder;
  }
  return true;
}

bool ApplyStep(Step step, ChsPosition& p) {
  switch (step) {
    case Step::kUnitStartDown:
      p.sector = 1;
      p.head = 0;
      return true;
    case Step::kUnitStartUp:
      if (AtUnitStart(p)) return true;
      if (p.cylinder >= p.limits.cylinders) return false;
      p.sector = 1;
      p.head = 0;
      ++p.cylinder;
      return true;
    case Step::kUnitStartBefore:
      if (AtUnitStart(p)) {
        if (p.cylinder == 0) return false;
        --p.cylinder;
      }
      p.sector = 1;
      p.head = 0;
      return true;
    case Step::kUnitEndUp:
      p.sector = p.limits.sectors_per_unit;
      p.head = p.limits.highest_head;
      return true;
    case Step::kUnitEndDown:
      if (AtUnitEnd(p)) return true;
      if (p.cylinder == 0) return false;
      --p.cylinder;
      p.sector = p.limits.sectors_per_unit;
      p.head = p.limits.highest_head;
      return true;
    case Step::kNextTrackStart:
      p.sector = 1;
      return TrackForward(p);
    case Step::kTrackStartUp:
      if (p.sector == 1) return true;
      p.sector = 1;
      return TrackForward(p);
    case Step::kTrackEndDown:
      if (p.sector == p.limits.sectors_per_unit) return true;
      if (!TrackBack(p)) return false;
      p.sector = p.limits.sectors_per_unit;
      return true;
    case Step::kTestUnitStart:
      return AtUnitStart(p);
    case Step::kTestSectorOne:
      return p.sector == 1;
    case Step::kTestSectorOneHeadLow:
      return p.sector == 1 && p.head <= 1;
    case Step::kTestUnitEnd:
      return AtUnitEnd(p);
  }
  return false;
}

bool MovesFromZero(std::uint32_t mode) {
  return mode == 2 || mode == 3 || mode == 6 || mode == 7 || mode == 8;
}

// Callback pointers; null means the fixed answer.
PickFatTypeFn g_pickFat = nullptr;
HasKnownFsFn g_hasFs = nullptr;
FormatRawDeviceFn g_formatRaw = nullptr;

}  // namespace

ChsLimits MakeLimits(std::uint64_t unit, std::uint64_t highestHead, const stddisk& disk) {
  ChsLimits limits;
  limits.sectors_per_unit = unit;
  limits.highest_head = highestHead;
  if (unit != 0 && highestHead != ~std::uint64_t(0))
    limits.cylinders = disk.GetSectorCount() / (highestHead + 1) / unit;
  return limits;
}

bool LbaToPosition(std::uint64_t lba, const ChsLimits& limits, ChsPosition& out) {
  if (limits.sectors_per_unit == 0) return false;
  std::uint64_t perCylinder = 0;
  if (!Common::CheckedMul<std::uint64_t>(limits.highest_head + 1, limits.sectors_per_unit, &perCylinder) ||
      perCylinder == 0)
    return false;
  out.limits = limits;
  out.cylinder = lba / perCylinder;
  const std::uint64_t r = lba % perCylinder;
  out.head = r / limits.sectors_per_unit;
  out.sector = r % limits.sectors_per_unit + 1;
  return true;
}

std::uint64_t PositionToLba(const ChsPosition& p) {
  return ((p.cylinder * (p.limits.highest_head + 1) + p.head) * p.limits.sectors_per_unit +
          p.sector) -
         1;
}

bool AlignCheck(std::uint32_t mode, std::uint64_t& lba, const stddisk& disk,
                const AlignmentRequest& request) {
  if (mode >= kAlignModeCount) return false;
  const ModeRow& row = kModes[mode];
  const std::uint64_t last = disk.GetSectorCount();
  const std::uint32_t sectorSize = disk.GetSectorSize();
  if (sectorSize == 0) return false;

  ChsLimits limits;
  bool unitBased = false;
  if (request.unit != 0) {
    limits = MakeLimits(request.unit, 0, disk);
    unitBased = true;
  } else {
    const std::uint32_t kind = request.kind == kAlignAutomatic ? row.automaticKind : request.kind;
    if (kind == kAlignNone) {
      limits = MakeLimits(1, 0, disk);
    } else if (kind == kAlignBySize) {
      const std::uint64_t bytes = last >= (std::uint64_t(1) << 32) / sectorSize ? 1u << 20 : 1u << 16;
      limits = MakeLimits(bytes / sectorSize, 0, disk);
      unitBased = true;
    } else if (kind == kAlignWholeDisk) {
      limits = MakeLimits(last + 1, 0, disk);
    } else {
      const Fdisk::Geometry& g = disk.GetGeometry();
      limits.sectors_per_unit = g.sectorsPerTrack;
      limits.highest_head = g.highestHead;
      limits.cylinders = g.cylinders;
    }
  }
  if (limits.sectors_per_unit == 0) return false;  // a unit of nothing divides nothing

  std::uint64_t d = 0;
  const std::uint64_t physical = disk.physical_sector_size;
  if (row.adjust && unitBased && disk.alignment_offset != 0 && physical > sectorSize &&
      physical % sectorSize == 0) {
    const std::uint64_t ratio = physical / sectorSize;
    if (limits.sectors_per_unit % ratio == 0) d = ratio - (disk.alignment_offset % ratio);
  }

  std::uint64_t work = lba < d ? d : lba;
  work -= d;
  ChsPosition p;
  if (work == 0) {
    if (!MovesFromZero(mode)) return false;
    p.limits = limits;
    p.sector = 1;
    p.head = 0;
    p.cylinder = (limits.highest_head == 0 && limits.cylinders == 0) ? 0 : 1;
  } else {
    if (!LbaToPosition(work, limits, p)) return false;
    if (!ApplyStep(row.step, p)) return false;
  }
  lba = PositionToLba(p) + d;
  return true;
}

bool ChsFits(const ChsAddress& a, const Fdisk::Geometry& g) {
  return a.sector != 0 && a.sector <= g.sectorsPerTrack && a.head <= g.highestHead &&
         a.cylinder <= g.cylinders;
}

std::uint64_t ChsToLba(const ChsAddress& a, const Fdisk::Geometry& g) {
  return (a.cylinder * (std::uint64_t(g.highestHead) + 1) + a.head) * g.sectorsPerTrack +
         a.sector - 1;
}

bool LbaToChs(std::uint64_t lba, const Fdisk::Geometry& g, ChsAddress& out) {
  ChsLimits limits;
  limits.sectors_per_unit = g.sectorsPerTrack;
  limits.highest_head = g.highestHead;
  ChsPosition p;
  if (!LbaToPosition(lba, limits, p)) return false;
  out.sector = static_cast<std::uint8_t>(p.sector);
  out.head = static_cast<std::uint8_t>(p.head);
  out.cylinder = p.cylinder;
  return true;
}

std::uint64_t DaCylinderLimit(const stddisk& disk) {
  const Fdisk::Geometry& g = disk.GetGeometry();
  const std::uint64_t limit = std::uint64_t(g.highestHead) + 1 >= 64 ? 1023 : 4095;
  return g.cylinders < limit ? g.cylinders : limit;
}

bool EncodeChs(std::uint8_t out[3], const ChsAddress& a, const stddisk& disk, bool fixedLimit) {
  const std::uint64_t limit = fixedLimit ? 1023 : DaCylinderLimit(disk);
  const bool fits = ChsFits(a, disk.GetGeometry()) && a.cylinder <= limit;
  const std::uint64_t cylinder = fits ? a.cylinder : 1023;
  out[0] = static_cast<std::uint8_t>(a.head | ((cylinder >> 4) & 0xC0));
  out[1] = static_cast<std::uint8_t>(a.sector | ((cylinder >> 2) & 0xC0));
  out[2] = static_cast<std::uint8_t>(cylinder & 0xFF);
  return fits;
}

bool EncodeChsField(std::uint32_t& field, std::uint64_t lba, const stddisk& disk, bool isEnd) {
  const Fdisk::Geometry& g = disk.GetGeometry();
  ChsAddress a;
  if (!LbaToChs(lba, g, a)) return false;
  // An end that is not at a track end, or any address past the cylinders a
  // field can hold, is written as the last sector of cylinder 1023: what
  // the partitioning tools write, and what firmware takes as "use the LBA".
  const bool beyond = !Da::ChsFits(a, g) || a.cylinder > 1023;
  if (beyond || (isEnd && (a.sector != g.sectorsPerTrack || a.head != g.highestHead))) {
    a.sector = g.sectorsPerTrack;
    a.head = g.highestHead;
    a.cylinder = 1023;
  }
  std::uint8_t bytes[4];
  Common::StoreLe32(bytes, field);
  EncodeChs(bytes + 1, a, disk, true);
  const std::uint32_t updated = Common::LoadLe32(bytes);
  if (updated == field) return false;
  field = updated;
  return true;
}

bool ApplyBiosGeometry(plain_disk& disk) {
  disk.geometry_ok = 0;
  const Fdisk::Geometry g = disk.GetGeometry();
  if (g.sectorsPerTrack == 0) return false;
  ChsAddress a;
  a.sector = g.sectorsPerTrack;
  a.head = g.highestHead;
  a.cylinder = g.cylinders;
  disk.chs_limit = ChsToLba(a, g);
  if (disk.bios_block) {
    // The firmware's extended drive parameters: u64 total sectors at 19 and
    // u16 bytes per sector at 27 of the block.
    const std::uint8_t* block = disk.bios_block.get();
    const std::uint16_t bytesPerSector = Common::LoadLe16(block + 27);
    const std::uint64_t total = Common::LoadLe64(block + 19);
    if ((bytesPerSector == 0 || bytesPerSector == 512) && total > disk.chs_limit) {
      disk.SetLastSector(total - 1);
      disk.ComputeCylinders();
    }
  }
  disk.geometry_ok = 1;
  return true;
}

std::uint8_t CallPickFatPartitionType(holder* h) { return g_pickFat ? g_pickFat(h) : 0x06; }
bool CallHasKnownFileSystem(stddisk* disk, holder* h) { return g_hasFs ? g_hasFs(disk, h) : false; }
Common::Error CallFormatRawDevice(Fdisk::SimpleDisk* device) {
  return g_formatRaw ? g_formatRaw(device) : Common::Error();
}
void SetPickFatPartitionType(PickFatTypeFn fn) { g_pickFat = fn; }
void SetHasKnownFileSystem(HasKnownFsFn fn) { g_hasFs = fn; }
void SetFormatRawDevice(FormatRawDeviceFn fn) { g_formatRaw = fn; }

}  // namespace Da
