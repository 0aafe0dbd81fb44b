// The HFS+ volume header: 512 bytes kept twice, the primary 1024 bytes
// from the start of the partition and the alternate 1024 bytes before its
// end. The image is held exactly as on disk (big-endian) and converted at
// each access.
#pragma once

#include <array>
#include <cstdint>

#include "filesystems/hfs_format.h"

namespace filesystems {
namespace hfsplus {

// Catalog node ids of the special files, as the fork checks name them.
enum SpecialFileId : std::uint32_t {
  kExtentsFileId = 3,
  kCatalogFileId = 4,
  kAllocationFileId = 6,
  kStartupFileId = 7,
  kAttributesFileId = 8,
};

// One extent descriptor of a fork record.
struct ExtentDescriptor {
  std::uint32_t startBlock = 0;
  std::uint32_t blockCount = 0;
};

// A fork record (80 bytes on disk).
struct ForkData {
  std::uint64_t logicalSize = 0;
  std::uint32_t clumpSize = 0;
  std::uint32_t totalBlocks = 0;
  std::array<ExtentDescriptor, 8> extents{};
};
constexpr std::uint32_t kForkDataSize = 80;

// Where the two copies of the header lie and how the partition must look
// for either to be found.
struct HeaderGeometry {
  // The sector size must be a power of two of at least 512 (0x4000e
  // otherwise) and the partition at least 1536 bytes (0x4000d).
  static void Check(std::uint64_t partitionSectors, std::uint32_t sectorSize);
  // Byte offset of header `index` (0 primary, 1 alternate) in the partition.
  static std::uint64_t ByteOffset(int index, std::uint64_t partitionSectors,
                                  std::uint32_t sectorSize);
  static std::uint64_t Sector(int index, std::uint64_t partitionSectors, std::uint32_t sectorSize);
  static std::uint32_t OffsetInSector(int index, std::uint64_t partitionSectors,
                                      std::uint32_t sectorSize);
  // Sectors holding the header's 512 bytes.
  static std::uint32_t SectorCount(std::uint32_t sectorSize) {
    return (sectorSize + 511) / sectorSize;
  }
};

class VolumeHeader {
 public:
  static constexpr std::uint32_t kSize = 512;
  static constexpr std::uint16_t kSignaturePlus = 0x482B;  // "H+"
  static constexpr std::uint16_t kSignatureX = 0x4858;     // "HX"

  // Attribute bits.
  static constexpr std::uint32_t kHardwareLock = 0x80;
  static constexpr std::uint32_t kUnmounted = 0x100;
  static constexpr std::uint32_t kInconsistent = 0x800;
  static constexpr std::uint32_t kNodeIdsReused = 0x1000;
  static constexpr std::uint32_t kJournaled = 0x2000;
  static constexpr std::uint32_t kSoftwareLock = 0x8000;

  // What a read-write mount stores as the last-mounted signature.
  static constexpr std::uint32_t kMountedSignature = 0x5152564C;  // "QRVL"

  // Field offsets.
  enum Offset : std::uint32_t {
    kSignature = 0,
    kVersion = 2,
    kAttributes = 4,
    kLastMountedVersion = 8,
    kJournalInfoBlock = 12,
    kCreateDate = 16,
    kModifyDate = 20,
    kBackupDate = 24,
    kCheckedDate = 28,
    kFileCount = 32,
    kFolderCount = 36,
    kBlockSize = 40,
    kTotalBlocks = 44,
    kFreeBlocks = 48,
    kNextAllocation = 52,
    kRsrcClumpSize = 56,
    kDataClumpSize = 60,
    kNextCatalogId = 64,
    kWriteCount = 68,
    kEncodingsBitmap = 72,
    kFinderInfo = 80,
    kAllocationFork = 112,
    kExtentsFork = 192,
    kCatalogFork = 272,
    kAttributesFork = 352,
    kStartupFork = 432,
  };

  VolumeHeader() = default;
  // Copies the 512 bytes at `bytes`.
  explicit VolumeHeader(const std::uint8_t* bytes);

  const std::uint8_t* Image() const noexcept { return image_.data(); }
  std::uint8_t* Image() noexcept { return image_.data(); }

  std::uint16_t Signature() const noexcept { return U16(kSignature); }
  std::uint16_t Version() const noexcept { return U16(kVersion); }
  bool IsHFSX() const noexcept { return Signature() == kSignatureX; }
  std::uint32_t Attributes() const noexcept { return U32(kAttributes); }
  std::uint32_t LastMountedVersion() const noexcept { return U32(kLastMountedVersion); }
  std::uint32_t JournalInfoBlock() const noexcept { return U32(kJournalInfoBlock); }
  std::uint32_t ModifyDate() const noexcept { return U32(kModifyDate); }
  std::uint32_t FileCount() const noexcept { return U32(kFileCount); }
  std::uint32_t FolderCount() const noexcept { return U32(kFolderCount); }
  std::uint32_t BlockSize() const noexcept { return U32(kBlockSize); }
  std::uint32_t TotalBlocks() const noexcept { return U32(kTotalBlocks); }
  std::uint32_t FreeBlocks() const noexcept { return U32(kFreeBlocks); }
  std::uint32_t NextAllocation() const noexcept { return U32(kNextAllocation); }
  std::uint32_t NextCatalogId() const noexcept { return U32(kNextCatalogId); }
  std::uint32_t WriteCount() const noexcept { return U32(kWriteCount); }
  std::uint32_t FinderInfoWord(int i) const noexcept { return U32(kFinderInfo + 4u * std::uint32_t(i)); }
  bool IsJournaled() const noexcept { return (Attributes() & kJournaled) != 0; }

  void SetAttributes(std::uint32_t v) noexcept { Put32(kAttributes, v); }
  void SetFreeBlocks(std::uint32_t v) noexcept { Put32(kFreeBlocks, v); }
  void SetNextAllocation(std::uint32_t v) noexcept { Put32(kNextAllocation, v); }
  void SetModifyDate(std::uint32_t v) noexcept { Put32(kModifyDate, v); }
  void SetField32(Offset at, std::uint32_t v) noexcept { Put32(at, v); }

  // The fork record of special file `id`.
  static std::uint32_t ForkOffset(SpecialFileId id);
  ForkData Fork(SpecialFileId id) const;
  void SetFork(SpecialFileId id, const ForkData& fork);

  // The checks a header must pass before anything else is read; each
  // failure throws 0x4000d. In order: signature and version; block size;
  // blocks within the partition; the five fork records.
  void Check(std::uint64_t partitionSectors, std::uint32_t sectorSize) const;
  bool SignatureValid() const noexcept;
  bool BlockSizeValid(std::uint32_t sectorSize) const noexcept;
  bool FitsPartition(std::uint64_t partitionSectors, std::uint32_t sectorSize) const noexcept;
  bool ForkRecordValid(SpecialFileId id) const noexcept;
  // The journal info block must lie inside the partition (0x4000d).
  void CheckJournalInfoBlockLocation(std::uint64_t partitionSectors,
                                     std::uint32_t sectorSize) const;

  // Locked, or left mounted and inconsistent: the mount must be read-only.
  bool IsHardwareLocked() const noexcept { return (Attributes() & kHardwareLock) != 0; }
  bool IsSoftwareLocked() const noexcept { return (Attributes() & kSoftwareLock) != 0; }
  bool WasNotCleanlyUnmounted() const noexcept {
    return (Attributes() & (kUnmounted | kInconsistent)) == kInconsistent;
  }
  bool WantsReadOnly() const noexcept {
    return IsHardwareLocked() || IsSoftwareLocked() || WasNotCleanlyUnmounted();
  }

  // The marks of a read-write mount: unmounted bit cleared unless the boot
  // words of the Finder information are in use, inconsistent bit set, the
  // mounted signature, the local modify date and one more write.
  void MarkMounted(std::uint32_t localNow) noexcept;
  void MarkUnmounted() noexcept;
  void IncrementWriteCount() noexcept { Put32(kWriteCount, WriteCount() + 1); }
  bool FinderInfoBootWordsZero() const noexcept {
    return FinderInfoWord(0) == 0 && FinderInfoWord(1) == 0 && FinderInfoWord(5) == 0;
  }

  // Copies the fields a mount changes from `primary` into this (alternate)
  // header; identity, geometry and this header's own attributes stay.
  void CopyFrom(const VolumeHeader& primary) noexcept;

  // Sectors per allocation block; 0 until the block size was checked.
  std::uint32_t SectorsPerBlock(std::uint32_t sectorSize) const noexcept {
    return sectorSize == 0 ? 0 : BlockSize() / sectorSize;
  }
  // First sector of allocation block `block` (64-bit).
  std::uint64_t BlockToSector(std::uint32_t block, std::uint32_t sectorSize) const noexcept {
    return std::uint64_t(block) * SectorsPerBlock(sectorSize);
  }

 private:
  std::uint16_t U16(std::uint32_t at) const noexcept;
  std::uint32_t U32(std::uint32_t at) const noexcept;
  void Put32(std::uint32_t at, std::uint32_t v) noexcept;

  std::array<std::uint8_t, kSize> image_{};
};

// The local time now as an HFS+ date (the header's modify date is local).
std::uint32_t LocalHFSPlusTimeNow();
// UTC now as an HFS+ date (record dates).
std::uint32_t CurrentHFSPlusTime();

}  // namespace hfsplus
}  // namespace filesystems
