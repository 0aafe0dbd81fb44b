// The HFS+ volume header: where its two copies lie, the checks a header
// must pass before the volume is trusted, and the marks of a mount.
#include "filesystems/hfs_volume_header.h"

#include <cstring>

#include "files/file_error.h"
#include "files/file_time.h"
#include "filesystems/driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsVolumeHeaderModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }
[[noreturn]] void NotSupported(std::uint32_t site) {
  ThrowFileError(site, kModuleId, kFileNotSupported);
}

}  // namespace

// ---- geometry --------------------------------------------------------------

void HeaderGeometry::Check(std::uint64_t partitionSectors, std::uint32_t sectorSize) {
  if (sectorSize < 512 || !Common::IsPowerOfTwo(sectorSize)) NotSupported(1);
  std::uint64_t bytes = 0;
  if (!Common::SectorToByte(partitionSectors, sectorSize, &bytes) || bytes < 1536) Corrupted(2);
}

std::uint64_t HeaderGeometry::ByteOffset(int index, std::uint64_t partitionSectors,
                                         std::uint32_t sectorSize) {
  if (sectorSize == 0) NotSupported(3);
  if (index == 0) return 1024;
  if (partitionSectors == 0) NotSupported(4);
  std::uint64_t bytes = 0;
  if (!Common::SectorToByte(partitionSectors, sectorSize, &bytes) || bytes < 1024) Corrupted(5);
  return bytes - 1024;
}

std::uint64_t HeaderGeometry::Sector(int index, std::uint64_t partitionSectors,
                                     std::uint32_t sectorSize) {
  return ByteOffset(index, partitionSectors, sectorSize) / sectorSize;
}

std::uint32_t HeaderGeometry::OffsetInSector(int index, std::uint64_t partitionSectors,
                                             std::uint32_t sectorSize) {
  return std::uint32_t(ByteOffset(index, partitionSectors, sectorSize) % sectorSize);
}

// ---- the image -------------------------------------------------------------

VolumeHeader::VolumeHeader(const std::uint8_t* bytes) { std::memcpy(image_.data(), bytes, kSize); }

std::uint16_t VolumeHeader::U16(std::uint32_t at) const noexcept {
  return Common::LoadBe16(image_.data() + at);
}
std::uint32_t VolumeHeader::U32(std::uint32_t at) const noexcept {
  return Common::LoadBe32(image_.data() + at);
}
void VolumeHeader::Put32(std::uint32_t at, std::uint32_t v) noexcept {
  Common::StoreBe32(image_.data() + at, v);
}

std::uint32_t VolumeHeader::ForkOffset(SpecialFileId id) {
  switch (id) {
    case kAllocationFileId: return kAllocationFork;
    case kExtentsFileId: return kExtentsFork;
    case kCatalogFileId: return kCatalogFork;
    case kAttributesFileId: return kAttributesFork;
    case kStartupFileId: return kStartupFork;
  }
  NotSupported(10);
}

ForkData VolumeHeader::Fork(SpecialFileId id) const {
  const std::uint8_t* at = image_.data() + ForkOffset(id);
  ForkData fork;
  fork.logicalSize = Common::LoadBe64(at);
  fork.clumpSize = Common::LoadBe32(at + 8);
  fork.totalBlocks = Common::LoadBe32(at + 12);
  for (std::uint32_t i = 0; i < 8; ++i) {
    fork.extents[i].startBlock = Common::LoadBe32(at + 16 + 8 * i);
    fork.extents[i].blockCount = Common::LoadBe32(at + 20 + 8 * i);
  }
  return fork;
}

void VolumeHeader::SetFork(SpecialFileId id, const ForkData& fork) {
  std::uint8_t* at = image_.data() + ForkOffset(id);
  Common::StoreBe64(at, fork.logicalSize);
  Common::StoreBe32(at + 8, fork.clumpSize);
  Common::StoreBe32(at + 12, fork.totalBlocks);
  for (std::uint32_t i = 0; i < 8; ++i) {
    Common::StoreBe32(at + 16 + 8 * i, fork.extents[i].startBlock);
    Common::StoreBe32(at + 20 + 8 * i, fork.extents[i].blockCount);
  }
}

// ---- checks ----------------------------------------------------------------

bool VolumeHeader::SignatureValid() const noexcept {
  return (Signature() == kSignaturePlus && Version() == 4) ||
         (Signature() == kSignatureX && Version() == 5);
}

bool VolumeHeader::BlockSizeValid(std::uint32_t sectorSize) const noexcept {
  return Common::IsPowerOfTwo(BlockSize()) && sectorSize != 0 && BlockSize() >= sectorSize;
}

bool VolumeHeader::FitsPartition(std::uint64_t partitionSectors,
                                 std::uint32_t sectorSize) const noexcept {
  std::uint64_t sectors = 0;
  return Common::CheckedMul<std::uint64_t>(TotalBlocks(), SectorsPerBlock(sectorSize), &sectors) &&
         sectors <= partitionSectors;
}

bool VolumeHeader::ForkRecordValid(SpecialFileId id) const noexcept {
  const ForkData fork = Fork(id);
  if (fork.logicalSize == 0) return id == kAttributesFileId || id == kStartupFileId;
  // The fork's bytes must fit in its blocks, or reads would run past them.
  if (fork.logicalSize > std::uint64_t(fork.totalBlocks) * BlockSize()) return false;
  // Sums and ends are 64-bit: a 32-bit sum wraps, and a wrapped end would
  // let an extent run past the volume into whatever follows the partition.
  std::uint64_t sum = 0;
  for (const ExtentDescriptor& e : fork.extents) {
    if (e.blockCount == 0) return sum == fork.totalBlocks;
    // Block 0 holds the boot blocks and the primary header: never a fork's.
    if (e.startBlock == 0) return false;
    if (std::uint64_t(e.startBlock) + e.blockCount > TotalBlocks()) return false;
    sum += e.blockCount;
  }
  // Eight full descriptors: the rest of the fork may lie in the extents
  // overflow file, except for the extents overflow file itself.
  if (sum > fork.totalBlocks) return false;
  return sum == fork.totalBlocks || id != kExtentsFileId;
}

void VolumeHeader::Check(std::uint64_t partitionSectors, std::uint32_t sectorSize) const {
  if (!SignatureValid()) Corrupted(20);
  if (!BlockSizeValid(sectorSize)) Corrupted(21);
  if (!FitsPartition(partitionSectors, sectorSize)) Corrupted(22);
  for (SpecialFileId id : {kAllocationFileId, kExtentsFileId, kCatalogFileId, kAttributesFileId,
                           kStartupFileId}) {
    if (!ForkRecordValid(id)) Corrupted(23);
  }
}

void VolumeHeader::CheckJournalInfoBlockLocation(std::uint64_t partitionSectors,
                                                 std::uint32_t sectorSize) const {
  std::uint64_t sector = 0;
  if (!Common::CheckedMul<std::uint64_t>(JournalInfoBlock(), SectorsPerBlock(sectorSize), &sector) ||
      sector >= partitionSectors) {
    Corrupted(30);
  }
}

// ---- mount marks -----------------------------------------------------------

void VolumeHeader::MarkMounted(std::uint32_t localNow) noexcept {
  std::uint32_t attributes = Attributes();
  if (FinderInfoBootWordsZero()) attributes &= ~kUnmounted;
  attributes |= kInconsistent;
  SetAttributes(attributes);
  Put32(kLastMountedVersion, kMountedSignature);
  SetModifyDate(localNow);
  IncrementWriteCount();
}

void VolumeHeader::MarkUnmounted() noexcept {
  SetAttributes((Attributes() & ~kInconsistent) | kUnmounted);
}

void VolumeHeader::CopyFrom(const VolumeHeader& primary) noexcept {
  if (&primary == this) return;
  const std::uint8_t* from = primary.image_.data();
  std::uint8_t* to = image_.data();
  for (std::uint32_t at : {kModifyDate, kFileCount, kFolderCount, kFreeBlocks, kNextAllocation,
                           kNextCatalogId, kWriteCount}) {
    std::memcpy(to + at, from + at, 4);
  }
  std::memcpy(to + kEncodingsBitmap, from + kEncodingsBitmap, 8);
  std::memcpy(to + kFinderInfo, from + kFinderInfo, 32);
  std::memcpy(to + kAllocationFork, from + kAllocationFork, 5 * kForkDataSize);
}

std::uint32_t LocalHFSPlusTimeNow() {
  return ToHFSPlusTime(CurrentTimeMs() - TimeZoneBiasMs());
}

std::uint32_t CurrentHFSPlusTime() { return ToHFSPlusTime(CurrentTimeMs()); }

}  // namespace hfsplus
}  // namespace filesystems
