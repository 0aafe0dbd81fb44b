// Disk geometry arithmetic of the older disk layer: CHS positions over a set
// of limits, LBA/CHS conversion, the alignment test with its 21 modes, the
// CHS bytes of MBR entries, the firmware geometry and the partition
// callbacks the holder layer calls.
//
// Every sector number is u64. A zero divisor (no sectors per track, no
// alignment unit) is refused rather than divided by.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "fdisk/simple_disk.h"

class stddisk;
class plain_disk;
class holder;

namespace Da {

struct ChsLimits {
  std::uint64_t sectors_per_unit = 0;  // sectors per track, or the alignment unit
  std::uint64_t highest_head = 0;
  std::uint64_t cylinders = 0;
};

struct ChsPosition {
  std::uint64_t sector = 0;  // 1-based within the track or unit
  std::uint64_t head = 0;
  std::uint64_t cylinder = 0;
  ChsLimits limits;
};

// An address read off an `Fdisk::Geometry`-shaped record.
struct ChsAddress {
  std::uint8_t sector = 0;
  std::uint8_t head = 0;
  std::uint64_t cylinder = 0;
};

// Alignment kinds of a request.
constexpr std::uint32_t kAlignNone = 0;
constexpr std::uint32_t kAlignGeometry = 1;
constexpr std::uint32_t kAlignAutomatic = 2;
constexpr std::uint32_t kAlignBySize = 3;
constexpr std::uint32_t kAlignWholeDisk = 4;

struct AlignmentRequest {
  std::uint64_t unit = 0;  // sectors; 0: chosen by kind
  std::uint32_t kind = 0;
};

constexpr std::uint32_t kAlignModeCount = 21;

// cylinders := last-sector index / (highest head + 1) / unit; 0 when unit is 0.
ChsLimits MakeLimits(std::uint64_t unit, std::uint64_t highestHead, const stddisk& disk);
// False (and `out` untouched) when the limits have no sectors per unit.
bool LbaToPosition(std::uint64_t lba, const ChsLimits& limits, ChsPosition& out);
std::uint64_t PositionToLba(const ChsPosition& position);

// Moves `lba` to the boundary the mode asks for, or tests it. False when the
// step or test fails, the mode is above 20 or the limits cannot be built;
// `lba` is then unchanged.
bool AlignCheck(std::uint32_t mode, std::uint64_t& lba, const stddisk& disk,
                const AlignmentRequest& request);

bool ChsFits(const ChsAddress& address, const Fdisk::Geometry& geometry);
std::uint64_t ChsToLba(const ChsAddress& address, const Fdisk::Geometry& geometry);
// False when the geometry has no sectors per track.
bool LbaToChs(std::uint64_t lba, const Fdisk::Geometry& geometry, ChsAddress& out);

// 1023 with 64 or more heads, else 4095; the disk's cylinder count when smaller.
std::uint64_t DaCylinderLimit(const stddisk& disk);

// The three CHS bytes of an MBR entry; true when the address fits.
bool EncodeChs(std::uint8_t out[3], const ChsAddress& address, const stddisk& disk,
               bool fixedLimit);
// Re-encodes bytes 1-3 of an entry's first or second u32 (byte 0 kept);
// true when the field changed.
bool EncodeChsField(std::uint32_t& field, std::uint64_t lba, const stddisk& disk, bool isEnd);

// Takes the firmware's extended drive parameters into the disk's size when
// they describe more than its CHS geometry reaches.
bool ApplyBiosGeometry(plain_disk& disk);

// Partition callbacks, null until installed.
using PickFatTypeFn = std::uint8_t (*)(holder*);
using HasKnownFsFn = bool (*)(stddisk*, holder*);
using FormatRawDeviceFn = Common::Error (*)(Fdisk::SimpleDisk*);

std::uint8_t CallPickFatPartitionType(holder* h);
bool CallHasKnownFileSystem(stddisk* disk, holder* h);
Common::Error CallFormatRawDevice(Fdisk::SimpleDisk* device);
void SetPickFatPartitionType(PickFatTypeFn fn);
void SetHasKnownFileSystem(HasKnownFsFn fn);
void SetFormatRawDevice(FormatRawDeviceFn fn);

}  // namespace Da
