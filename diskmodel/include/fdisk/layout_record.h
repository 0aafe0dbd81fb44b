// The volume layout record: a multi-extent volume as one self-contained
// block of bytes (header, then each plex followed by its members), as the
// older disk layer and the disk model hand it to each other, and the
// composite volume rebuilt from it.
//
// Header (32 bytes, little-endian): total size, volume sectors (u64), plex
// count, volume GUID in the byte order of its text form. Plex (24 bytes):
// plex type, parity layout, member count, column count, chunk (u64).
// Member (36 bytes): column, disk word, library handle (u64), first sector
// (u64), length (u64), usable flag. Up to four 32-bit flag words may follow
// the last member.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "common/error.h"
#include "fdisk/dm_composite.h"
#include "fdisk/ldm_types.h"
#include "fdisk/simple_disk.h"
#include "foundation/byteorder.h"

namespace Fdisk {
namespace DM {

constexpr std::uint32_t kLayoutHeaderBytes = 32;
constexpr std::uint32_t kLayoutPlexBytes = 24;
constexpr std::uint32_t kLayoutMemberBytes = 36;
constexpr std::uint32_t kLayoutMaxFlagWords = 4;
constexpr std::uint32_t kLayoutMissingDisk = 0xFFFFFFFF;

struct LayoutMember {
  std::uint32_t column = 0;
  std::uint32_t disk = kLayoutMissingDisk;  // key, then (once resolved) id
  std::uint64_t handle = 0;
  std::uint64_t first = 0;
  std::uint64_t length = 0;
  std::uint32_t usable = 0;
};

struct LayoutPlex {
  std::uint32_t type = kPlexSimple;
  std::uint32_t layout = 0;
  std::uint32_t columns = 1;
  std::uint64_t chunk = 0;
  std::vector<LayoutMember> members;
};

struct LayoutRecord {
  std::uint64_t volumeSectors = 0;
  std::uint8_t guid[16] = {};  // as stored: text order
  std::vector<LayoutPlex> plexes;
  // "PrimaryFlag", "ActiveBootStatus", "RetainingVolume", "ForceRawMode",
  // as many as the record carries.
  std::vector<std::uint32_t> flagWords;
};

// The bytes of `record`.
std::vector<std::uint8_t> PackLayoutRecord(const LayoutRecord& record);

// Reads a record. Refused with 0x100404 (nothing read into `out`): a block
// shorter than its header or than its stated total size, plex or member
// counts that do not fit in the total size, trailing bytes that are not
// whole flag words or more than four of them, a plex type other than
// striped, simple or RAID-5, a RAID-5 layout outside the four rotations.
Common::Error ParseLayoutRecord(Common::ByteView bytes, LayoutRecord* out);

// The volume type a record describes: mirrored for more than one plex,
// else from the plex type and layout (striped, spanned, RAID-5 or stripe
// set with parity).
LdmVolType LayoutVolumeType(const LayoutRecord& record);

// Where the disks a record names are found.
class LayoutDiskResolver {
 public:
  virtual ~LayoutDiskResolver() = default;
  // Null when no disk has that handle or key.
  virtual SimpleDisk* ByHandle(std::uint64_t handle) = 0;
  virtual SimpleDisk* ByKey(std::uint32_t key) = 0;
  virtual std::uint32_t IdOf(SimpleDisk* disk) = 0;
};

// Resolves every member not marked missing, by handle when it has one,
// else by key; rewrites its disk word to the disk's id and adds the disk to
// the map. A member whose disk is not found becomes a missing member (disk
// word 0xFFFFFFFF, not usable): the volume then runs degraded or fails its
// I/O instead of following a disk that is not there.
DiskMap CollectLayoutDisks(LayoutRecord& record, LayoutDiskResolver& resolver);

// A composite volume assembled from the record (resolved in place).
// Device-mapper failures are thrown as `Fdisk::DM::Error`.
std::unique_ptr<CompositeVolume> BuildComposite(LayoutRecord& record, LayoutDiskResolver& resolver);

// A composite volume as a disk: I/O goes to the volume's plextor.
class DMStdDisk : public SimpleDisk {
 public:
  DMStdDisk(std::unique_ptr<CompositeVolume> volume, std::uint64_t sectors,
                std::uint32_t sectorSize);
  ~DMStdDisk() override;
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;
  CompositeVolume& Volume() { return *volume_; }

 private:
  std::unique_ptr<CompositeVolume> volume_;
};

// Takes the volume over; null (the volume deleted) when there is no volume
// or no sectors.
std::unique_ptr<DMStdDisk> CreateDMStdDisk(std::unique_ptr<CompositeVolume> volume,
                                                   std::uint64_t sectors,
                                                   std::uint32_t sectorSize);

}  // namespace DM
}  // namespace Fdisk
