// The in-memory GUID partition table of one disk: loading it (primary copy,
// else the backup), editing its entries and writing both copies back.
//
// On-disk layout (all fields little-endian):
//
//   header, the first 92 bytes of its sector
//     0  signature "EFI PART"        40 FirstUsableLBA
//     8  Revision                    48 LastUsableLBA
//    12  HeaderSize                  56 DiskGUID (16 bytes)
//    16  HeaderCRC32                 72 PartitionEntryLBA
//    20  reserved                    80 NumberOfPartitionEntries
//    24  MyLBA                       84 SizeOfPartitionEntry
//    32  AlternateLBA                88 PartitionEntryArrayCRC32
//
//   entry, 128 bytes
//     0  PartitionTypeGUID           40 EndingLBA (inclusive)
//    16  UniquePartitionGUID         48 Attributes (bit 0: platform required)
//    32  StartingLBA                 56 PartitionName, 36 UTF-16LE code units
//
// CRC32 is zlib's, seeded with 0. The header CRC covers HeaderSize bytes
// with its own field zeroed; the array CRC covers NumberOfPartitionEntries x
// SizeOfPartitionEntry bytes.
//
// `GptPartitions` keeps only the 92 header bytes of the copy in use and the
// entries in use, sorted by StartingLBA. Edits touch only that model; the
// disk changes on `Commit`, which writes the primary header and array, then
// the backup header and the backup array right before it. The entry array
// is always written compacted: used entries first, zeros after.
//
// Everything read from the disk is checked before it is used: a header
// whose sizes, counts or positions do not describe a table that fits its
// area and disk counts as damaged, exactly like one with a bad CRC, so a
// table that loads can always be written back without touching sectors
// outside its own header, arrays and partitions.
//
// All thrown errors are `Fdisk::Gpt::Error`; `Load` returns its failure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/error.h"
#include "fdisk/error.h"
#include "fdisk/simple_disk.h"
#include "foundation/guid.h"

namespace Fdisk {
namespace Gpt {

class Error : public Fdisk::Error {
 public:
  Error() = default;
  explicit Error(const Common::Error& e) : Fdisk::Error(e) {}
};

// Codes (facility 0x10) and their catalog texts.
constexpr std::uint32_t kErrNoRegion = 0x108001;      // entry past the usable area or overlapping
constexpr std::uint32_t kErrNoHeader = 0x108801;      // neither copy is usable
constexpr std::uint32_t kErrArrayOverrun = 0x108802;  // the entry array is full
constexpr std::uint32_t kErrInUse = 0x108803;         // platform-required entry

namespace Msg {
constexpr std::uint32_t kPartitionNotFound = 511;  // "Object 'Partition' cannot be found."
constexpr std::uint32_t kInUse = 556;              // "Cannot delete the volume: it is currently in use."
constexpr std::uint32_t kNoHeader = 1900;          // "The GPT driver failed to find the header."
constexpr std::uint32_t kNoRegion = 1901;          // "Not enough region for Fdisk2 drivers."
constexpr std::uint32_t kArrayOverrun = 1902;      // "The GPT entry array is overrun."
}  // namespace Msg

// The module id of the engine's errors.
constexpr std::uint32_t kModuleId = 0x29945D2B;

constexpr std::size_t kHeaderBytes = 92;
constexpr std::size_t kEntryBytes = 128;
constexpr std::size_t kNameUnits = 36;
constexpr std::uint32_t kRevision = 0x00010000;
// The largest sector, and so the largest header, the disk model handles.
constexpr std::uint32_t kMaxHeaderSize = 65536;
// The array a new table gets, and the space the format reserves for it.
constexpr std::uint32_t kDefaultEntryCount = 128;
constexpr std::uint32_t kReservedArrayBytes = 16384;
// The largest entry array a header may announce (65536 entries, 8 MiB);
// anything larger is taken for damage rather than allocated.
constexpr std::uint32_t kMaxEntryCount = 65536;
// Attributes bit 0: the platform needs the partition; it cannot be deleted.
constexpr std::uint64_t kAttrPlatformRequired = 1;
// The name the scheme driver lists the free area at the end under.
constexpr char16_t kFreeSpaceName[] = u"Free space";

// The 92 defined bytes of a header.
class GptHeader {
 public:
  std::array<std::uint8_t, kHeaderBytes> bytes{};

  bool HasSignature() const;
  void SetSignature();
  std::uint32_t Revision() const { return Get32(8); }
  std::uint32_t HeaderSize() const { return Get32(12); }
  std::uint32_t HeaderCrc() const { return Get32(16); }
  std::uint64_t MyLba() const { return Get64(24); }
  std::uint64_t AlternateLba() const { return Get64(32); }
  std::uint64_t FirstUsableLba() const { return Get64(40); }
  std::uint64_t LastUsableLba() const { return Get64(48); }
  Common::Guid DiskGuid() const { return Common::Guid::FromBytes(bytes.data() + 56); }
  std::uint64_t EntryLba() const { return Get64(72); }
  std::uint32_t EntryCount() const { return Get32(80); }
  std::uint32_t EntrySize() const { return Get32(84); }
  std::uint32_t EntriesCrc() const { return Get32(88); }

  void SetRevision(std::uint32_t v) { Put32(8, v); }
  void SetHeaderSize(std::uint32_t v) { Put32(12, v); }
  void SetHeaderCrc(std::uint32_t v) { Put32(16, v); }
  void SetMyLba(std::uint64_t v) { Put64(24, v); }
  void SetAlternateLba(std::uint64_t v) { Put64(32, v); }
  void SetFirstUsableLba(std::uint64_t v) { Put64(40, v); }
  void SetLastUsableLba(std::uint64_t v) { Put64(48, v); }
  void SetDiskGuid(const Common::Guid& g);
  void SetEntryLba(std::uint64_t v) { Put64(72, v); }
  void SetEntryCount(std::uint32_t v) { Put32(80, v); }
  void SetEntrySize(std::uint32_t v) { Put32(84, v); }
  void SetEntriesCrc(std::uint32_t v) { Put32(88, v); }

  // HeaderCrc := 0, then the CRC32 of HeaderSize bytes of the image, the
  // bytes past the 92 held ones counting as zero. HeaderSize must already
  // have been checked (at most the sector size).
  void UpdateCrc();
  // The CRC that field should hold (the image is not changed).
  std::uint32_t ComputeCrc() const;

 private:
  std::uint32_t Get32(std::size_t at) const;
  std::uint64_t Get64(std::size_t at) const;
  void Put32(std::size_t at, std::uint32_t v);
  void Put64(std::size_t at, std::uint64_t v);
};

// One 128-byte entry record.
class GptEntry {
 public:
  std::array<std::uint8_t, kEntryBytes> bytes{};

  Common::Guid TypeGuid() const { return Common::Guid::FromBytes(bytes.data()); }
  Common::Guid UniqueGuid() const { return Common::Guid::FromBytes(bytes.data() + 16); }
  std::uint64_t StartingLba() const;
  std::uint64_t EndingLba() const;
  std::uint64_t Attributes() const;
  // The name's code units up to the first zero one (all 36 when none is).
  std::u16string Name() const;

  void SetTypeGuid(const Common::Guid& g);
  void SetUniqueGuid(const Common::Guid& g);
  void SetStartingLba(std::uint64_t v);
  void SetEndingLba(std::uint64_t v);
  void SetAttributes(std::uint64_t v);
  // The whole name field: the first 36 code units of `name`, then zeros.
  void SetName(const std::u16string& name);

  // All 128 bytes zero: no entry at all.
  bool IsZero() const;
};

// The header check: the image begins with "EFI PART", HeaderSize lies
// between 92 and the largest header the format allows (the sector size),
// and HeaderCRC32 equals the CRC32 of HeaderSize bytes of the header with
// that field zeroed. Logs the disk GUID, MyLBA and AlternateLBA of every
// image with the signature, and a CRC mismatch.
//
// The image form counts the bytes past the 92 held ones as zero and
// accepts HeaderSize up to kMaxHeaderSize; the sector form checks the
// sector as it was read, with HeaderSize up to `sectorSize`.
bool CheckHeader(const GptHeader& image);
bool CheckHeader(const std::uint8_t* sector, std::uint32_t sectorSize);

// One trace line (level 1, category 0x20), cut at 1023 characters.
void GptLog(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

class GptPartitions {
 public:
  // A table over `disk` (not owned) whose primary header lies at `start`
  // and whose area covers `length` sectors from there (the backup header is
  // its last sector). A length of 0xFFFFFFFF or more stands for the rest of
  // the disk. Reads nothing.
  GptPartitions(SimpleDisk* disk, std::uint64_t start, std::uint64_t length);
  // An independent copy over the same disk.
  GptPartitions(const GptPartitions& other);
  GptPartitions& operator=(const GptPartitions&) = delete;
  virtual ~GptPartitions();

  // Writes both copies when the table was changed; nothing otherwise. The
  // table stays marked changed, so a second Commit writes everything again.
  // A write failure stops the sequence and is thrown with the I/O error as
  // cause; a table that was neither loaded nor built throws 0x108801.
  virtual void Commit();
  // A heap copy of the same class; the caller owns it.
  virtual GptPartitions* Clone() const;

  // Exchanges every field, entries included.
  void Swap(GptPartitions& other);

  // Reads the table: the primary copy when its header and array are
  // intact, else the backup (repaired in memory to describe the primary
  // again; nothing is written). Null on success, else 0x108801. Read
  // failures only decide which copy is used.
  Common::Error Load();

  // One sector at `lba`: its first 92 bytes become the header image; true
  // when the header check passes. A read failure gives false.
  bool ReadHeader(std::uint64_t lba);
  // The entry array the header image announces, read at `lba` and checked
  // against PartitionEntryArrayCRC32; on success the entries become every
  // record of the array, empty ones included. False (entries unchanged) on
  // a read failure, a CRC mismatch, or an array the engine does not take
  // (entry size other than 128, no entries, more than kMaxEntryCount, or
  // reaching past the disk).
  bool ReadEntries(std::uint64_t lba);
  // CRC32 of the array as Commit writes it.
  std::uint32_t ComputeEntriesCrc() const;

  // Sectors one copy of the entry array occupies (rounded up).
  std::uint64_t ArraySectors() const;

  // Inserts in start order. 0x108001 when the entry ends past LastUsableLBA,
  // starts before FirstUsableLBA, ends before it starts or overlaps an entry;
  // 0x108802 when the array has no room for it.
  void InsertEntry(const GptEntry& entry);
  // A new entry of `size` sectors from `start`, with a new random unique
  // GUID (returned in `guid`), attributes 0 and the name cut to 36 code
  // units. 0x108802 when the entries already number
  // NumberOfPartitionEntries - 1; InsertEntry's failures otherwise. The
  // table is unchanged after a failure.
  void AddEntry(Common::Guid& guid, std::uint64_t start, std::uint64_t size,
                const Common::Guid& type, const std::u16string& name);
  // Moves or resizes one entry, all or nothing: 0x101C09 when absent,
  // 0x108803 when platform-required, InsertEntry's failures.
  void ChangeEntry(const Common::Guid& guid, std::uint64_t start, std::uint64_t size);
  // Rewrites the whole name field. 0x101C09 when absent.
  void SetEntryName(const Common::Guid& guid, const std::u16string& name);
  // Replaces the type GUID. 0x101C09 when absent.
  void SetEntryType(const Common::Guid& guid, const Common::Guid& type);
  // Sets or clears Attributes bit 0; the other bits stay. 0x101C09 when
  // absent.
  void SetHardwareFlag(const Common::Guid& guid, bool on);
  // Erases one entry (the later ones move up). 0x101C09 when absent,
  // 0x108803 when its Attributes bit 0 is set.
  void RemoveEntry(const Common::Guid& guid);
  // Erases every all-zero record, keeping the order of the rest.
  void RemoveZeroEntries();
  // Stable sort by StartingLBA.
  void SortByStart();
  // The first entry whose UniquePartitionGUID equals `guid` byte for byte.
  const GptEntry* FindByGuid(const Common::Guid& guid) const;
  GptEntry* FindByGuid(const Common::Guid& guid);

  // A new empty table in the header image: 128 entries of 128 bytes, the
  // primary header at the area start and its array right behind it, the
  // backup header at the area's last sector with its array right before
  // it, the usable area between (16 KiB reserved for each array), a new
  // random DiskGUID. Marks the table changed; writes nothing. 0x108001 when
  // the area does not lie on the disk or has no room for both copies and
  // one usable sector.
  void InitNew();

  // The entries in start order with a free record (both GUIDs zero) for
  // every gap of the usable area before, between and after them; the free
  // record of the gap at the end is named "Free space".
  std::vector<GptEntry> ListEntries() const;
  // Both GUIDs all zero: a free record of ListEntries.
  static bool IsEmptyEntry(const GptEntry& entry);

  // One sector holding the 92 bytes and zeros, at the image's MyLBA.
  void WriteHeader(const GptHeader& image);
  // The compacted array (NumberOfPartitionEntries x 128 bytes, whole
  // sectors) at `lba`.
  void WriteEntries(std::uint64_t lba);
  // The disk's Io with op 2 (read) and 3 (write).
  Common::Error ReadSectors(std::uint64_t lba, void* buffer, std::uint64_t count);
  Common::Error WriteSectors(std::uint64_t lba, const void* buffer, std::uint64_t count);

  // The scheme driver's names for some of the operations above.
  GptEntry CreateEntry(std::uint64_t start, std::uint64_t size, const Common::Guid& type,
                       const std::u16string& name);
  void MoveEntry(const Common::Guid& guid, std::uint64_t start, std::uint64_t size) {
    ChangeEntry(guid, start, size);
  }
  void SetName(const Common::Guid& guid, const std::u16string& name) {
    SetEntryName(guid, name);
  }
  void SetType(const Common::Guid& guid, const Common::Guid& type) { SetEntryType(guid, type); }
  void DeleteEntry(const Common::Guid& guid) { RemoveEntry(guid); }
  void Compact() { RemoveZeroEntries(); }
  void InitEmpty() { InitNew(); }
  static bool IsFreeEntry(const GptEntry& entry) { return IsEmptyEntry(entry); }

  SimpleDisk* Disk() const { return disk_; }
  std::uint64_t AreaStart() const { return start_; }
  std::uint64_t AreaLength() const { return length_; }
  const GptHeader& Header() const { return header_; }
  std::uint64_t FirstUsableLba() const { return firstUsable_; }
  std::uint64_t LastUsableLba() const { return lastUsable_; }
  const std::vector<GptEntry>& Entries() const { return entries_; }
  bool IsDirty() const { return dirty_; }
  // The last Load took the backup copy.
  bool LoadedFromAlternate() const { return fromAlternate_; }
  // Loaded or built: the header image describes this table.
  bool HasHeader() const { return valid_; }

 protected:
  // The checks past CheckHeader that a header read at `lba` must pass for
  // the copy to be used: it says it lies at `lba`, its array has 128-byte
  // entries, a sane count and a place on the disk outside its usable area.
  bool HeaderFits(const GptHeader& image, std::uint64_t lba) const;
  // The same for the header image as the primary copy Commit will write,
  // and that the backup Commit derives from it fits too.
  bool PrimaryFits(const GptHeader& image) const;
  // Throws the failed write `io` as Gpt::Error.
  [[noreturn]] void ThrowWriteError(std::uint32_t location, const Common::Error& io) const;

  SimpleDisk* disk_;
  std::uint64_t start_;
  std::uint64_t length_;
  GptHeader header_;
  std::uint64_t firstUsable_ = 0;
  std::uint64_t lastUsable_ = 0;
  std::vector<GptEntry> entries_;
  bool dirty_ = false;
  bool fromAlternate_ = false;
  bool valid_ = false;
};

// A table whose Commit destroys the GPT: it zeroes the sectors of the
// primary and the backup header, whatever was changed. The entry arrays
// stay, but without a header no reader finds them.
class GptPartitionsRemover : public GptPartitions {
 public:
  explicit GptPartitionsRemover(const GptPartitions& table);
  GptPartitionsRemover(const GptPartitionsRemover& other) = default;

  // The first failed write is thrown with the I/O error as cause; a table
  // that was neither loaded nor built throws 0x108801 and writes nothing.
  void Commit() override;
  GptPartitions* Clone() const override;
};

}  // namespace Gpt
}  // namespace Fdisk
