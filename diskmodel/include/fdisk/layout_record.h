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
#include "fdisk/named_vars.h"
#include "fdisk/simple_disk.h"
#include "foundation/byteorder.h"

namespace Fdisk {
class LdmLocation;

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
  // The disk's library handle; 0 when it has none.
  virtual std::uint64_t HandleOf(SimpleDisk* disk);
};

// The record of a dynamic volume of the model, from its location: the
// extents sorted by plex, column and offset within the column, one plex
// block per plex id, plex type and parity layout from the volume type
// (striped and RAID 0+1 volumes striped, RAID-5 with layout 1, stripe sets
// with parity with layout 2, every other volume simple), the location's
// chunk value in every plex, each member's disk word the extent's disk key
// with that disk's handle, or 0xFFFFFFFF and handle 0 for an extent on a
// missing disk (state 5). A member is usable when its state is 3 or 4, or 6
// on a volume whose type is 1 to 4 or above 8, and never when its extent is
// marked excluded. No flag words are written. Refused with 0x101C06 (and
// `out` left as it was) when a member that is not missing names a key the
// resolver does not know.
Common::Error BuildVolumeLayoutRecord(const LdmLocation& location, LayoutDiskResolver& disks,
                                      std::vector<std::uint8_t>* out);

// The named variables of a dynamic-volume creation request from a record:
// "OpRequest" with one request per member (plexes in record order; disk id
// that of the disk holding the member's handle, else the member's disk word
// as it stands; size the member's length; plex index the plex's position),
// "VolumeType" (`LayoutVolumeType`), "VolumeSize" and, for each flag word
// present, "PrimaryFlag", "ActiveBootStatus", "RetainingVolume" and
// "ForceRawMode" (true when the word is 1). Refused with 0x100404, `out`
// left as it was, for a record `ParseLayoutRecord` refuses or one without
// a plex.
Common::Error LayoutRecordToLdmRequest(Common::ByteView record, LayoutDiskResolver& disks,
                                       NamedVars::VarContainer* out);

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
