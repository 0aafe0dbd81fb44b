// CHS arithmetic for MBR partition tables and geometry alignment.
//
// Geometries come from outside (the disks, the tables); every routine here
// checks them before dividing: a geometry without sectors per track cannot
// convert anything, and heads per cylinder are counted in 64 bits so that a
// highest head of 255 gives 256 heads.
#pragma once

#include <cstdint>

#include "fdisk/simple_disk.h"

namespace Fdisk {

struct ChsAddress {
  std::uint8_t sector = 1;  // counted from 1
  std::uint8_t head = 0;
  std::uint64_t cylinder = 0;
};

bool operator==(const ChsAddress& a, const ChsAddress& b);
inline bool operator!=(const ChsAddress& a, const ChsAddress& b) { return !(a == b); }

// True when the geometry can convert addresses (at least one sector per
// track).
bool IsUsableGeometry(const Geometry& geometry);

// Both throw `Fdisk::Error` 0x100404 for a geometry that is not usable, and
// `ChsToLba` also for an address whose LBA does not fit in 64 bits.
std::uint64_t ChsToLba(const ChsAddress& address, const Geometry& geometry);
ChsAddress LbaToChs(std::uint64_t lba, const Geometry& geometry);

// The alignment steps of `AlignLba`.
enum AlignMode : int {
  kAlignNextCylinder = 0,        // start of the next cylinder
  kAlignCylinderStart = 1,       // start of the current cylinder
  kAlignUpCylinder = 2,          // up to a cylinder start
  kAlignDownCylinderEnd = 3,     // down to a cylinder end
  kAlignNextTrack = 4,           // start of the next track
  kAlignUpTrack = 5,             // up to a track start
  kAlignCylinderEnd = 6,         // end of the current cylinder
  kAlignDownTrackEnd = 7,        // down to a track end
  kAlignPreviousCylinder = 8,    // previous cylinder, sector and head kept
  kAlignNextCylinderKeep = 9,    // next cylinder, sector and head kept
  kAlignNextTrackKeep = 10,      // next track, sector kept
  kAlignPreviousTrackKeep = 11,  // previous track, sector kept
  kAlignNextSector = 12,         // next sector
  kAlignPreviousCylinderStart = 13,  // previous cylinder start when at one, else current
};

// Moves `lba` by one alignment step. Returns false and leaves `lba`
// unchanged when the step fails (it would leave cylinder 0 downwards or pass
// the geometry's cylinder value upwards), the mode is unknown, or the
// geometry is not usable.
bool AlignLba(int mode, std::uint64_t& lba, const Geometry& geometry);

// The four-byte field is the MBR entry's boot-flag (or type) byte followed by
// the CHS bytes head, sector, cylinder.
//
// Writes bytes 1 to 3 from `address` under the disk's geometry; an address
// outside the geometry with a cylinder up to 1023 is stored with cylinder
// 1023. Returns whether the address was within the geometry or its cylinder
// above 1023.
bool EncodeMbrChs(std::uint8_t field[4], const ChsAddress& address, const SimpleDisk& disk);
// Encodes `lba` under the disk's geometry and stores it when it differs from
// the field; returns whether the field changed. A disk whose geometry is not
// usable leaves the field alone (false).
bool UpdateMbrChs(std::uint8_t field[4], std::uint64_t lba, const SimpleDisk& disk);
// Reads the address from bytes 1 to 3. `standard` false also takes cylinder
// bits 10-11 from the top of the head byte. Always true.
bool DecodeMbrChs(ChsAddress& address, const std::uint8_t field[4], bool standard);

}  // namespace Fdisk
