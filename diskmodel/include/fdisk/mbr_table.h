// The in-memory model of one disk's MBR partitioning: the master boot
// record in sector 0 and the chain of extended boot records (EBRs) behind
// it, with the editing operations the MBR scheme driver runs on it.
//
// `MbrDisk` keeps a copy of sector 0 and a list of `MbrEntry` records sorted
// by absolute first sector: one pseudo-entry for the MBR itself (first
// sector 0), one per partition, one per extended container (the primary
// extended partition listed in the MBR and every link to a further EBR).
// Containers ("table holders") carry a copy of bytes 426..511 of the table
// sector they stand for. Everything edits that model only; nothing reaches
// the disk before Commit, which writes the changed table sectors, the MBR
// first.
//
// Table sector layout (512 bytes, little-endian):
//   0..425    boot code (kept as read in sector 0; zero in EBRs written here)
//   426..439  hidden-type record: bytes 4..7 the real type of a slot stored
//             hidden as 0xBB or 0; byte 11 a checksum making the 14 bytes
//             sum to 0; bytes 12..13 the length 14
//   440..445  carried unchanged (the disk signature in sector 0)
//   446..509  four 16-byte entries
//   510..511  0xAA55
//
// All failures are `Fdisk::Mbr::Error`s, thrown; Load returns them instead.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <optional>
#include <vector>

#include "common/error.h"
#include "fdisk/error.h"
#include "fdisk/partition_types.h"
#include "fdisk/simple_disk.h"

namespace Fdisk {
namespace Mbr {

// How an entry's type is stored: as it is, hidden (bit 0x10 for the
// hideable types, else 0xBB with the real type in the record), or as type 0
// with the real type in the record.
enum HiddenMode : int {
  kHiddenNone = 0,
  kHiddenFlag = 1,
  kHiddenZeroType = 2,
};

class Error : public Fdisk::Error {
 public:
  Error() = default;
  explicit Error(const Common::Error& e) : Fdisk::Error(e) {}
};

// Codes (facility 0x10) and their catalog texts.
constexpr std::uint32_t kErrTableCorrupt = 0x108401;     // EBR without 0xAA55
constexpr std::uint32_t kErrNoMbr = 0x108402;            // sector 0 without 0xAA55
constexpr std::uint32_t kErrReadTable = 0x108403;        // EBR unreadable
constexpr std::uint32_t kErrTooSmall = 0x108404;
constexpr std::uint32_t kErrCrosses = 0x108405;
constexpr std::uint32_t kErrNotAligned = 0x108406;
constexpr std::uint32_t kErrReadMbr = 0x108407;          // sector 0 unreadable
constexpr std::uint32_t kErrNotFound = 0x108408;
constexpr std::uint32_t kErrSlotsFull = 0x10840A;
constexpr std::uint32_t kErrNotSupported = 0x10840B;     // a value the format cannot hold
constexpr std::uint32_t kErrCannotHide = 0x10840C;
constexpr std::uint32_t kErrWriteMbr = 0x10840D;
constexpr std::uint32_t kErrWriteTable = 0x10840E;

namespace Msg {
constexpr std::uint32_t kCrosses = 814;
constexpr std::uint32_t kTableCorrupt = 816;
constexpr std::uint32_t kNoMbr = 818;
constexpr std::uint32_t kNotFound = 819;
constexpr std::uint32_t kReadMbr = 820;
constexpr std::uint32_t kReadTable = 821;
constexpr std::uint32_t kNotAligned = 822;
constexpr std::uint32_t kSlotsFull = 823;
constexpr std::uint32_t kTooSmall = 824;
constexpr std::uint32_t kNotSupported = 825;
constexpr std::uint32_t kCannotHide = 826;
constexpr std::uint32_t kWriteMbr = 827;
constexpr std::uint32_t kWriteTable = 828;
}  // namespace Msg

// Sizes of the table images.
constexpr std::size_t kTableSectorBytes = 512;
constexpr std::size_t kTableTailOffset = 426;   // where the kept part starts
constexpr std::size_t kTableTailBytes = 86;     // 426..511
constexpr std::size_t kRecordBytes = 14;
constexpr std::size_t kTailEntriesOffset = 20;  // 446 - 426
constexpr std::size_t kEntryBytes = 16;

using EntryImage = std::array<std::uint8_t, kEntryBytes>;
using TableTail = std::array<std::uint8_t, kTableTailBytes>;

class MbrDisk;

// One partition, container or free area.
class MbrEntry {
 public:
  MbrEntry() = default;

  // The owning model; null for the free areas ListPortions makes.
  MbrDisk* owner = nullptr;
  // The 16 bytes as they go into the table: boot indicator, CHS of the
  // first sector, on-disk type, CHS of the last sector, relative first
  // sector, sector count.
  EntryImage image{};
  std::uint64_t first = 0;       // absolute
  std::uint64_t size = 0;        // sectors (the MBR pseudo-entry: last sector index)
  std::uint64_t parent = 0;      // first sector of the table that lists it
  bool inMbr = false;            // listed in the MBR (or the pseudo-entry)
  std::uint64_t extBase = 0;     // first sector of its chain's primary extended
  int slot = -1;                 // 0..3 in its parent's table, -1 not placed
  bool tableChanged = false;     // the table it holds must be written
  int tableState = 0;            // CheckTable: 0, 1 empty EBR, 2 partitions far behind
  HiddenMode mode = kHiddenNone;
  int type = 0;                  // logical type 0..255
  bool recordValid = false;      // the record of the table it holds is valid
  std::optional<TableTail> table;  // table holders only
  std::array<std::int32_t, 3> numbers{};

  std::uint8_t BootIndicator() const { return image[0]; }
  std::uint8_t OnDiskType() const { return image[4]; }
  std::uint32_t RelativeFirst() const;
  std::uint32_t RecordedCount() const;
  // A container of an extended chain (or the MBR pseudo-entry).
  bool IsHolder() const { return IsExtendedType(type); }
  // An EBR: a container other than the MBR pseudo-entry.
  bool IsEbr() const { return IsHolder() && first != 0; }
  bool IsFree() const { return owner == nullptr; }
  bool IsPartition() const { return owner != nullptr && type != 0 && !IsHolder(); }
  // The last sector (first - 1 for an empty entry is avoided: first).
  std::uint64_t Last() const { return size == 0 ? first : first + size - 1; }

  // The table this entry holds, made on first use as zeros with 0xAA55.
  TableTail& Table();

  // Reads the table this entry holds from the disk at its first sector.
  // 0x108403 on a read failure (cause attached), 0x108401 without 0xAA55.
  void ReadEbr();
  // Writes the table this entry holds (zeros before it); clears the
  // changed flag. 0x10840E on failure (cause attached).
  void WriteEbr();
  // Type and storage mode; both rewrite the on-disk type byte. SetType
  // throws 0x10840B above 255 and then picks the LBA or CHS form of the
  // type; SetMode throws 0x10840C for an entry of the MBR.
  void SetType(int type);
  void SetMode(HiddenMode mode);
  void AdjustLbaType();
  // First sector, relative first sector and count; recomputes the CHS
  // fields and the type form. 0x10840B when a value does not fit 32 bits.
  void SetPosition(std::uint64_t first, std::uint64_t relative, std::uint64_t count);
  // Only the relative first sector, for an entry whose table moved or whose
  // chain was rebased: the absolute place, and with it the CHS fields and
  // the type, stay. 0x10840B when it does not fit 32 bits.
  void SetRelative(std::uint64_t relative);
  void SetBootIndicator(std::uint8_t value) { image[0] = value; }

  // Slot operations on the table this entry holds. PlaceInTable with slot
  // -1 picks a free one (0x10840A when none is free), writes `entry` there,
  // records its slot and parent, and marks this table changed.
  void PlaceInTable(MbrEntry& entry, int slot);
  int FindFreeSlot(bool ordinary) const;
  void ClearSlot(int slot);
  // 0 for the MBR; 1 for an EBR that holds no partition and at most one
  // link; 2 when every partition lies at least a cylinder and a track
  // behind the EBR; 0 otherwise.
  int CheckTable() const;

  // The type byte this entry's type and mode give.
  std::uint8_t EncodedType() const;
  // Builds an entry from 16 table bytes and the saved type of its slot
  // (0 when the table's record is not valid).
  static MbrEntry FromImage(const std::uint8_t* bytes, std::uint8_t savedType);
};

// Walks the tables breadth first from sector 0: the pseudo-entry, the
// MBR's slots, then each container's slots in the order the containers
// were reached. A sector met twice is dropped, so looping chains end.
class TableWalker {
 public:
  // With `yieldHolders` containers are yielded too, else only partitions
  // (and the pseudo-entry).
  TableWalker(MbrDisk& disk, bool yieldHolders);

  // Reads sector 0 again; its failures are 0x108402 with the first error as
  // cause. Then the walker stands on the pseudo-entry.
  void Start();
  bool Done() const { return queue_.empty(); }
  const MbrEntry& Current() const { return queue_.front(); }
  void Next();

 private:
  void Expand(const MbrEntry& holder, bool mbrLevel);

  MbrDisk& disk_;
  bool yieldHolders_;
  std::list<MbrEntry> queue_;
  std::vector<std::uint64_t> seen_;  // sorted
};

class MbrDisk {
 public:
  // The disk is not owned and must outlive the model. A new model holds
  // only the MBR pseudo-entry; nothing is read before Load.
  explicit MbrDisk(SimpleDisk& disk);
  MbrDisk(const MbrDisk& other);
  MbrDisk& operator=(const MbrDisk& other);
  void Swap(MbrDisk& other);

  // Reads and models the disk as it is; failures are returned (the model
  // is then partly filled and should be dropped). Nothing is changed.
  Common::Error Load();
  // An empty MBR: zeroed sector copy with 0xAA55 and the pseudo-entry.
  void InitEmpty();
  // Writes every changed table, ascending, then sector 0 when changed.
  // Failures are thrown.
  Common::Error Commit();
  // Assigns the three partition numbers of every entry.
  void Number();
  // Repairs the chain: moves EBRs towards far-away partitions and removes
  // EBRs left without a partition, relinking their neighbours.
  void Normalize();

  // --- Editing (partitions are named by their absolute first sector) ------
  MbrEntry& CreatePartition(std::uint64_t first, std::uint64_t size, bool primary, int type,
                            bool beginAlign, bool endAlign);
  void DeletePartition(std::uint64_t first);
  // Moves or resizes; returns the new entry and hands back the new first
  // sector and size through the arguments.
  MbrEntry& MovePartition(std::uint64_t oldFirst, std::uint64_t& newFirst,
                          std::uint64_t& newSize);
  MbrEntry& SetTypeAt(std::uint64_t first, int type);
  MbrEntry& SetBootIndicator(std::uint64_t first, std::uint8_t value);
  MbrEntry SetHiddenModeAt(std::uint64_t first, HiddenMode mode);
  MbrEntry& SetPrimary(std::uint64_t first, bool primary);
  // Partitions and free areas in ascending order (containers left out).
  std::list<MbrEntry> ListPortions() const;

  // Moves an EBR to `newFirst` keeping its end.
  void MoveTable(MbrEntry& holder, std::uint64_t newFirst);

  // --- Access ---------------------------------------------------------------
  SimpleDisk& Disk() const { return *disk_; }
  const std::list<MbrEntry>& Entries() const { return entries_; }
  std::list<MbrEntry>& Entries() { return entries_; }
  MbrEntry& Pseudo() { return entries_.front(); }
  // The first 512 bytes of sector 0 as read (or as they will be written).
  std::uint8_t* Sector0() { return sector0_.data(); }
  bool Sector0Changed() const { return sector0Changed_; }
  // Zeroes the 512-byte copy without marking anything changed.
  void ClearSector0();

  // The partition that starts at `first` (containers excluded), or null.
  MbrEntry* FindByStart(std::uint64_t first);
  // The first entry after the pseudo-entry whose key (last sector of a
  // partition, first sector of a container) is at or after `sector`.
  MbrEntry* LowerBound(std::uint64_t sector);
  // The container whose first sector is `first` (the pseudo-entry for 0).
  MbrEntry* FindHolder(std::uint64_t first);

  // --- Sector I/O -----------------------------------------------------------
  void ReadBootSector();
  void WriteBootSector();
  // Sector 0 is written from the sector copy with the table bytes of
  // `buffer`, so the boot code read from the disk stays.
  Common::Error WriteSectors(std::uint64_t first, std::uint8_t* buffer, std::uint64_t count);
  // One whole sector of the disk's size, or an error for a sector size the
  // tables cannot live in.
  std::uint32_t TableSectorSize() const;

 private:
  friend class TableWalker;
  friend class MbrEntry;

  MbrEntry MakePseudo() const;
  void RepointOwners();
  MbrEntry& Insert(const MbrEntry& entry);
  void Remove(const MbrEntry* entry);
  MbrEntry* PrimaryExtended(std::uint64_t base);
  std::uint64_t RegionEnd(const MbrEntry& holder) const;
  // The last EBR of the chain `member` belongs to (the one that links to no
  // further EBR), found by following the links from the chain's primary
  // extended partition; `member` itself when that partition is missing.
  MbrEntry& ChainEnd(MbrEntry& member);
  void RebaseChain(std::uint64_t oldBase, std::uint64_t newBase);
  void Rewrite(MbrEntry& entry);
  MbrEntry& CreatePrimary(std::uint64_t first, std::uint64_t size, int type, bool beginAlign,
                          bool endAlign);
  MbrEntry& BuildLogicalChain(std::uint64_t first, std::uint64_t size, int type,
                              bool beginAlign, bool endAlign);
  void CheckOutsidePrimaries(std::uint64_t first, std::uint64_t last) const;
  void CheckOutsideExtended(std::uint64_t first, std::uint64_t last) const;
  void RemoveEmptyEbr(MbrEntry& holder);
  bool NormalizePass();
  void DeleteEntry(MbrEntry& entry);

  SimpleDisk* disk_;
  std::vector<std::uint8_t> sector0_;  // at least 512 bytes: the whole sector 0
  std::list<MbrEntry> entries_;
  bool sector0Changed_ = false;
};

// Throws the MBR error `code` with its catalog text, and `cause` attached
// when it is not null.
[[noreturn]] void ThrowMbrError(std::uint32_t location, std::uint32_t code,
                                std::uint32_t message, const Common::Error& cause = Common::Error());

// The MBR code's log line: printf-style, at most 1023 characters, level 1,
// category 30.
void MbrLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace Mbr
}  // namespace Fdisk
