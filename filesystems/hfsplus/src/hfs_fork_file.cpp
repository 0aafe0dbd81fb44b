// Special files: fork bytes through the metadata I/O, and the growth of
// the tree files.
#include "filesystems/hfs_fork_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsExtentsModuleId;
constexpr std::size_t kForkRecordExtents = 8;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

}  // namespace

SpecialFile::SpecialFile(Volume& volume, SpecialFileId id)
    : volume_(volume), id_(id), extents_(volume.Primary().TotalBlocks()) {
  if (id == kStartupFileId) Fail(100, kFileCorrupted);
  extents_.AppendFork(volume.Primary().Fork(id));
}

std::uint64_t SpecialFile::Size() const { return volume_.Primary().Fork(id_).logicalSize; }

bool SpecialFile::Complete() const {
  return extents_.TotalBlocks() == volume_.Primary().Fork(id_).totalBlocks;
}

bool SpecialFile::HasOverflowExtents() const {
  ExtentList eight(volume_.Primary().TotalBlocks());
  eight.AppendFork(volume_.Primary().Fork(id_));
  return eight.TotalBlocks() < volume_.Primary().Fork(id_).totalBlocks;
}

void SpecialFile::CompleteExtents(OverflowExtentsSource& source) {
  if (Complete()) return;
  // The extents overflow file keeps all of its own extents in the header.
  if (id_ == kExtentsFileId) Fail(101, kFileCorrupted);
  ExtentList more(volume_.Primary().TotalBlocks());
  source.CollectExtents(id_, 0, extents_.TotalBlocks(), more);
  extents_.AppendList(more);
  if (!Complete()) Fail(102, kFileCorrupted);
}

std::uint8_t SpecialFile::CleanBit() const noexcept {
  switch (id_) {
    case kAllocationFileId: return kCleanAllocation;
    case kExtentsFileId: return kCleanExtents;
    case kCatalogFileId: return kCleanCatalog;
    case kAttributesFileId: return kCleanAttributes;
    default: return 0;
  }
}

void SpecialFile::MarkChanged() {
  modified_ = true;
  volume_.SetDirty(CleanBit());
  volume_.MarkPrimaryModified();
}

void SpecialFile::Flush() {
  modified_ = false;
  volume_.SetClean(CleanBit());
}

void SpecialFile::Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* out) {
  if (!Complete()) Fail(110, kFileCorrupted);
  if (!Common::RangeInside(offset, count, Size())) Fail(111, kFileCorrupted);
  const std::uint32_t sectorSize = volume_.SectorSize();
  const std::uint32_t blockSize = volume_.Primary().BlockSize();
  std::vector<std::uint8_t> sector(sectorSize);
  while (count) {
    const std::uint64_t aligned = offset - offset % sectorSize;
    const SectorArea run = MapForkOffset(extents_, Size(), aligned, blockSize, sectorSize);
    const std::uint32_t inSector = std::uint32_t(offset % sectorSize);
    // Whole sectors straight into the caller's buffer, the rest through one.
    if (inSector == 0 && count >= sectorSize) {
      const std::uint64_t n = std::min<std::uint64_t>(run.Length(), count / sectorSize);
      volume_.Io().ReadSectors(run.first, n, out);
      out += n * sectorSize;
      offset += n * sectorSize;
      count -= std::uint32_t(n * sectorSize);
      continue;
    }
    volume_.Io().ReadSectors(run.first, 1, sector.data());
    const std::uint32_t take = std::min(count, sectorSize - inSector);
    std::memcpy(out, sector.data() + inSector, take);
    out += take;
    offset += take;
    count -= take;
  }
}

void SpecialFile::Write(std::uint64_t offset, std::uint32_t count, const std::uint8_t* in) {
  if (volume_.ReadOnly()) Fail(120, kFileReadOnly);
  if (!Complete()) Fail(121, kFileCorrupted);
  if (!Common::RangeInside(offset, count, Size())) Fail(122, kFileCorrupted);
  const std::uint32_t sectorSize = volume_.SectorSize();
  const std::uint32_t blockSize = volume_.Primary().BlockSize();
  std::vector<std::uint8_t> sector(sectorSize);
  while (count) {
    const std::uint64_t aligned = offset - offset % sectorSize;
    const SectorArea run = MapForkOffset(extents_, Size(), aligned, blockSize, sectorSize);
    const std::uint32_t inSector = std::uint32_t(offset % sectorSize);
    const std::uint32_t take = std::min(count, sectorSize - inSector);
    if (take != sectorSize) volume_.Io().ReadSectors(run.first, 1, sector.data());
    std::memcpy(sector.data() + inSector, in, take);
    volume_.Io().WriteSectors(run.first, 1, sector.data());
    in += take;
    offset += take;
    count -= take;
  }
  MarkChanged();
}

void SpecialFile::StoreForkRecord(const ExtentList& list, std::uint64_t logicalSize) {
  ForkData fork = volume_.Primary().Fork(id_);
  fork.logicalSize = logicalSize;
  fork.totalBlocks = list.TotalBlocks();
  for (std::size_t i = 0; i < kForkRecordExtents; ++i) {
    fork.extents[i] = i < list.Count() ? list[i] : ExtentDescriptor{};
  }
  volume_.Primary().SetFork(id_, fork);
}

bool SpecialFile::Grow(std::uint32_t nodeSize) {
  if (volume_.ReadOnly()) Fail(130, kFileReadOnly);
  if (id_ == kAllocationFileId) Fail(131, kFileNotSupported);
  if (!Complete()) Fail(132, kFileCorrupted);
  const std::uint32_t blockSize = volume_.Primary().BlockSize();
  if (nodeSize == 0) Fail(133, kFileNotSupported);
  const std::uint32_t nodeBlocks = std::max<std::uint32_t>(1, nodeSize / blockSize);
  const std::uint32_t clump = volume_.Primary().Fork(id_).clumpSize;
  // Without an extents overflow tree to take more, a special file keeps its
  // extents in its fork record.
  if (extents_.Count() > kForkRecordExtents) Fail(134, kFileNotSupported);
  AllocationFile alloc(volume_);
  ExtentList grown = extents_;
  if (alloc.GrowTreeFile(clump, nodeBlocks, kForkRecordExtents, grown)) {
    const std::uint64_t size = std::uint64_t(grown.TotalBlocks()) * blockSize;
    extents_ = grown;
    StoreForkRecord(extents_, size);
    MarkChanged();
    return true;
  }
  ExtentList fresh = alloc.ReallocateTreeFile(clump, nodeBlocks, kForkRecordExtents, extents_);
  if (fresh.Count() == 0) return false;
  // Copy the whole file, block by block, before anything points at the new
  // place; a failed copy gives the new blocks back and leaves the file.
  try {
    const std::uint32_t sectorSize = volume_.SectorSize();
    const std::uint32_t spb = blockSize / sectorSize;
    std::vector<std::uint8_t> block(blockSize);
    for (std::uint32_t b = 0; b < extents_.TotalBlocks(); ++b) {
      const BlockArea from = extents_.MapBlock(b);
      const BlockArea to = fresh.MapBlock(b);
      volume_.Io().ReadSectors(std::uint64_t(from.first) * spb, spb, block.data());
      volume_.Io().WriteSectors(std::uint64_t(to.first) * spb, spb, block.data());
    }
    volume_.Io().Flush();
  } catch (...) {
    alloc.Release(fresh);
    throw;
  }
  const ExtentList old = extents_;
  extents_ = fresh;
  StoreForkRecord(extents_, std::uint64_t(extents_.TotalBlocks()) * blockSize);
  alloc.Release(old);
  MarkChanged();
  return true;
}

}  // namespace hfsplus
}  // namespace filesystems
