// Fork extents: the in-memory list of a fork's extent descriptors (the
// eight of its fork record followed by those of the extents overflow file)
// and the mapping of fork blocks and byte offsets to the volume.
#pragma once

#include <cstdint>
#include <vector>

#include "filesystems/hfs_format.h"
#include "filesystems/hfs_volume_header.h"

namespace filesystems {
namespace hfsplus {

class ExtentList {
 public:
  ExtentList() = default;
  // Every descriptor must lie inside a volume of `volumeBlocks` blocks:
  // a start of 0, or an end past the volume (64-bit), is refused (0x4000d).
  explicit ExtentList(std::uint32_t volumeBlocks) : volumeBlocks_(volumeBlocks) {}

  std::size_t Count() const noexcept { return extents_.size(); }
  std::uint32_t TotalBlocks() const noexcept { return total_; }
  const ExtentDescriptor& operator[](std::size_t i) const;
  const std::vector<ExtentDescriptor>& Descriptors() const noexcept { return extents_; }
  void Clear() noexcept {
    extents_.clear();
    total_ = 0;
  }

  // Up to `n` on-disk descriptors (8 bytes each, big-endian), stopping at
  // the first empty one. A descriptor with exactly one of start and count
  // zero is invalid (0x4000d).
  void AppendDescriptors(const std::uint8_t* disk, std::size_t n);
  void AppendFork(const ForkData& fork);
  // {first, length}; the empty range is refused (0x4000d).
  void AppendRange(const BlockArea& area);
  void AppendList(const ExtentList& other);

  // The volume blocks from fork block `b` to the end of its extent
  // (b beyond the total: 0x4000d).
  BlockArea MapBlock(std::uint32_t b) const;
  // Blocks of the first n descriptors (n not below the count: 0x4000d).
  std::uint32_t SumBlocks(std::size_t n) const;
  // Group r of eight descriptors as a 64-byte on-disk record, zero-filled
  // past the last (r not below ceil(count / 8): 0x4000d).
  void GetRecord(std::size_t r, std::uint8_t* out64) const;
  // Merges neighbours that are contiguous on the volume.
  void Coalesce();
  // Shortens the list to n blocks, appending what is cut off to `released`
  // (sorted and merged). n above the total: 0x4000d.
  void Truncate(std::uint32_t n, ExtentList& released);
  // Orders by start block and merges ranges that touch.
  void SortAndMerge();

 private:
  void Add(std::uint32_t start, std::uint32_t count);

  std::vector<ExtentDescriptor> extents_;
  std::uint32_t total_ = 0;
  std::uint32_t volumeBlocks_ = 0xFFFFFFFFu;
};

// Sectors of a fork's bytes: the sector range from byte `offset` (a
// multiple of the sector size, below `logicalSize`) to the end of its
// extent (0x4000d otherwise).
SectorArea MapForkOffset(const ExtentList& extents, std::uint64_t logicalSize,
                         std::uint64_t offset, std::uint32_t blockSize, std::uint32_t sectorSize);

}  // namespace hfsplus
}  // namespace filesystems
