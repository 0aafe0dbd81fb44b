// Mounting an HFS+ volume below the B-trees: headers, journal, bitmap,
// read-only decision and the header write-back of a clean unmount.
#include "filesystems/hfs_volume.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "files/file_error.h"
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

Volume::Volume(FileSystemDriver* driver, const std::uint8_t* bitmapBytes,
               std::uint32_t bitmapByteCount)
    : driver_(driver) {
  const std::uint32_t sectorSize = driver->SectorSize();
  if (sectorSize == 0) NotSupported(100);
  HeaderGeometry::Check(driver->PartitionSize(), sectorSize);
  io_ = std::make_unique<MetadataIo>(driver, bitmapByteCount != 0);

  // The primary as the volume holds it decides whether there is a journal.
  VolumeHeader raw;
  ReadHeader(0, raw);
  if (!raw.SignatureValid()) Corrupted(101);
  if (!raw.BlockSizeValid(sectorSize)) Corrupted(102);
  if (raw.IsJournaled()) {
    raw.CheckJournalInfoBlockLocation(driver->PartitionSize(), sectorSize);
    // A locked or damaged volume must not get its journal initialised.
    if (raw.WantsReadOnly()) io_->SetReadOnly();
    io_->OpenJournal(raw);
  }

  for (int index = 0; index < 2; ++index) {
    ReadHeader(index, headers_[index]);
    headers_[index].Check(driver->PartitionSize(), sectorSize);
    if (headers_[index].WantsReadOnly()) io_->SetReadOnly();
  }
  if (!ReadOnly()) headers_[0].MarkMounted(LocalHFSPlusTimeNow());
  LoadAllocation(bitmapBytes, bitmapByteCount);
}

Volume::~Volume() = default;

void Volume::ReadHeader(int index, VolumeHeader& out) {
  const std::uint32_t sectorSize = SectorSize();
  const std::uint64_t partition = driver_->PartitionSize();
  const std::uint64_t sector = HeaderGeometry::Sector(index, partition, sectorSize);
  const std::uint32_t inSector = HeaderGeometry::OffsetInSector(index, partition, sectorSize);
  const std::uint32_t count = HeaderGeometry::SectorCount(sectorSize);
  std::vector<std::uint8_t> bytes(std::size_t(count) * sectorSize);
  io_->ReadSectors(sector, count, bytes.data());
  if (!Common::RangeInside(inSector, VolumeHeader::kSize, bytes.size())) Corrupted(110);
  out = VolumeHeader(bytes.data() + inSector);
}

void Volume::WriteHeader(int index, const VolumeHeader& header) {
  const std::uint32_t sectorSize = SectorSize();
  const std::uint64_t partition = driver_->PartitionSize();
  const std::uint64_t sector = HeaderGeometry::Sector(index, partition, sectorSize);
  const std::uint32_t inSector = HeaderGeometry::OffsetInSector(index, partition, sectorSize);
  const std::uint32_t count = HeaderGeometry::SectorCount(sectorSize);
  std::vector<std::uint8_t> bytes(std::size_t(count) * sectorSize);
  io_->ReadSectors(sector, count, bytes.data());
  std::memcpy(bytes.data() + inSector, header.Image(), VolumeHeader::kSize);
  io_->WriteSectors(sector, count, bytes.data());
}

std::uint64_t Volume::ForkSector(const ForkData& fork, std::uint64_t offset) const {
  const VolumeHeader& vh = headers_[0];
  const std::uint32_t blockSize = vh.BlockSize();
  const std::uint64_t forkBlock = offset / blockSize;
  std::uint64_t base = 0;
  for (const ExtentDescriptor& e : fork.extents) {
    if (e.blockCount == 0) break;
    if (forkBlock < base + e.blockCount) {
      const std::uint64_t block = e.startBlock + (forkBlock - base);
      return block * vh.SectorsPerBlock(SectorSize()) + (offset % blockSize) / SectorSize();
    }
    base += e.blockCount;
  }
  // Past the eight extents: the rest lies in the extents overflow file.
  NotSupported(120);
}

void Volume::ReadFork(SpecialFileId id, std::uint64_t offset, std::uint8_t* out,
                      std::uint32_t count) {
  const ForkData fork = headers_[0].Fork(id);
  if (!Common::RangeInside(offset, count, fork.logicalSize)) Corrupted(121);
  const std::uint32_t sectorSize = SectorSize();
  std::vector<std::uint8_t> sector(sectorSize);
  while (count) {
    const std::uint32_t inSector = std::uint32_t(offset % sectorSize);
    const std::uint32_t take = std::min(count, sectorSize - inSector);
    io_->ReadSectors(ForkSector(fork, offset), 1, sector.data());
    std::memcpy(out, sector.data() + inSector, take);
    out += take;
    offset += take;
    count -= take;
  }
}

void Volume::LoadAllocation(const std::uint8_t* bytes, std::uint32_t byteCount) {
  const std::uint32_t total = headers_[0].TotalBlocks();
  if (total == 0) Corrupted(130);
  const std::uint32_t need = std::uint32_t((std::uint64_t(total) + 7) / 8);
  if (bytes && byteCount != 0) {
    bitmap_ = std::make_unique<Bitmap>(bytes, byteCount, total);
    return;
  }
  // The allocation file must hold a bit for every block.
  if (headers_[0].Fork(kAllocationFileId).logicalSize < need) Corrupted(131);
  CheckDiskSizedAllocation(need);
  bitmapOnDisk_.resize(need);
  ReadFork(kAllocationFileId, 0, bitmapOnDisk_.data(), need);
  bitmap_ = std::make_unique<Bitmap>(bitmapOnDisk_.data(), need, total);
}

void Volume::FlushAllocation() {
  if (ReadOnly() || bitmapOnDisk_.empty()) return;
  const std::vector<std::uint8_t>& now = bitmap_->Bytes();
  const ForkData fork = headers_[0].Fork(kAllocationFileId);
  const std::uint32_t sectorSize = SectorSize();
  std::vector<std::uint8_t> sector(sectorSize);
  bool changed = false;
  for (std::size_t at = 0; at < now.size(); at += sectorSize) {
    const std::size_t n = std::min<std::size_t>(sectorSize, now.size() - at);
    if (std::memcmp(now.data() + at, bitmapOnDisk_.data() + at, n) == 0) continue;
    const std::uint64_t s = ForkSector(fork, at);
    io_->ReadSectors(s, 1, sector.data());
    std::memcpy(sector.data(), now.data() + at, n);
    io_->WriteSectors(s, 1, sector.data());
    std::memcpy(bitmapOnDisk_.data() + at, now.data() + at, n);
    changed = true;
  }
  if (changed || headers_[0].FreeBlocks() != bitmap_->Free()) {
    headers_[0].SetFreeBlocks(bitmap_->Free());
    const std::uint32_t firstFree = bitmap_->GetFirstFree();
    // A full volume starts the next search at block 0: the checker faults
    // a next allocation at or past the volume's end.
    headers_[0].SetNextAllocation(firstFree == Bitmap::kNone ? 0 : firstFree);
    headers_[0].SetModifyDate(LocalHFSPlusTimeNow());
    MarkPrimaryModified();
  }
  io_->Flush();
  SetClean(kCleanAllocation);
}

void Volume::FlushPrimary() {
  if (ReadOnly() || !modified_[0]) return;
  WriteHeader(0, headers_[0]);
  io_->Flush();
  modified_[0] = false;
  primaryWritten_ = true;
}

void Volume::Unmount() {
  if (ReadOnly()) return;
  FlushAllocation();
  if (primaryWritten_) modified_[0] = true;
  headers_[1].CopyFrom(headers_[0]);
  if (modified_[0]) modified_[1] = true;
  if ((clean_ & kCleanAll) == kCleanAll) headers_[0].MarkUnmounted();
  if (modified_[1]) {
    WriteHeader(1, headers_[1]);
    io_->Flush();
    modified_[1] = false;
  }
  FlushPrimary();
}

}  // namespace hfsplus
}  // namespace filesystems
