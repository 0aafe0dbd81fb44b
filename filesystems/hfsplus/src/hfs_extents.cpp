// Fork extent lists and their mapping to volume blocks and sectors.
#include "filesystems/hfs_extents.h"

#include <algorithm>
#include <cstring>

#include "files/file_error.h"
#include "filesystems/driver.h"
#include "foundation/byteorder.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsExtentsModuleId;

[[noreturn]] void Corrupted(std::uint32_t site) { ThrowFileError(site, kModuleId, kFileCorrupted); }

}  // namespace

const ExtentDescriptor& ExtentList::operator[](std::size_t i) const {
  if (i >= extents_.size()) Corrupted(1);
  return extents_[i];
}

void ExtentList::Add(std::uint32_t start, std::uint32_t count) {
  // Block 0 never starts an extent, an extent never runs past the volume,
  // and the total never wraps: sums and ends are taken in 64 bits.
  if (start == 0 || count == 0) Corrupted(2);
  if (std::uint64_t(start) + count > volumeBlocks_) Corrupted(3);
  if (std::uint64_t(total_) + count > 0xFFFFFFFFu) Corrupted(4);
  extents_.push_back({start, count});
  total_ += count;
}

void ExtentList::AppendDescriptors(const std::uint8_t* disk, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t start = Common::LoadBe32(disk + 8 * i);
    const std::uint32_t count = Common::LoadBe32(disk + 8 * i + 4);
    if (start == 0 && count == 0) return;
    Add(start, count);
  }
}

void ExtentList::AppendFork(const ForkData& fork) {
  for (const ExtentDescriptor& e : fork.extents) {
    if (e.startBlock == 0 && e.blockCount == 0) return;
    Add(e.startBlock, e.blockCount);
  }
}

void ExtentList::AppendRange(const BlockArea& area) {
  if (area.Empty()) Corrupted(5);
  Add(area.first, area.Length());
}

void ExtentList::AppendList(const ExtentList& other) {
  for (const ExtentDescriptor& e : other.extents_) Add(e.startBlock, e.blockCount);
}

BlockArea ExtentList::MapBlock(std::uint32_t b) const {
  std::uint64_t before = 0;
  for (const ExtentDescriptor& e : extents_) {
    if (b < before + e.blockCount) {
      const std::uint32_t skip = std::uint32_t(b - before);
      return BlockArea(e.startBlock + skip, e.startBlock + e.blockCount - 1);
    }
    before += e.blockCount;
  }
  Corrupted(10);
}

std::uint32_t ExtentList::SumBlocks(std::size_t n) const {
  if (n >= extents_.size()) Corrupted(11);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += extents_[i].blockCount;
  return sum;
}

void ExtentList::GetRecord(std::size_t r, std::uint8_t* out64) const {
  if (r >= (extents_.size() + 7) / 8) Corrupted(12);
  std::memset(out64, 0, 64);
  for (std::size_t i = 0; i < 8 && 8 * r + i < extents_.size(); ++i) {
    Common::StoreBe32(out64 + 8 * i, extents_[8 * r + i].startBlock);
    Common::StoreBe32(out64 + 8 * i + 4, extents_[8 * r + i].blockCount);
  }
}

void ExtentList::Coalesce() {
  for (std::size_t i = extents_.size(); i-- > 1;) {
    ExtentDescriptor& prev = extents_[i - 1];
    const ExtentDescriptor& cur = extents_[i];
    if (std::uint64_t(prev.startBlock) + prev.blockCount == cur.startBlock) {
      prev.blockCount += cur.blockCount;
      extents_.erase(extents_.begin() + std::ptrdiff_t(i));
    }
  }
}

void ExtentList::Truncate(std::uint32_t n, ExtentList& released) {
  if (n == total_) return;
  if (n > total_) Corrupted(20);
  while (total_ > n) {
    ExtentDescriptor& last = extents_.back();
    const std::uint32_t keep = total_ - last.blockCount >= n ? 0 : n - (total_ - last.blockCount);
    const std::uint32_t cut = last.blockCount - keep;
    released.Add(last.startBlock + keep, cut);
    total_ -= cut;
    if (keep == 0) extents_.pop_back();
    else last.blockCount = keep;
  }
  released.SortAndMerge();
}

void ExtentList::SortAndMerge() {
  std::sort(extents_.begin(), extents_.end(),
            [](const ExtentDescriptor& a, const ExtentDescriptor& b) { return a.startBlock < b.startBlock; });
  std::vector<ExtentDescriptor> merged;
  for (const ExtentDescriptor& e : extents_) {
    if (!merged.empty() &&
        std::uint64_t(merged.back().startBlock) + merged.back().blockCount >= e.startBlock) {
      const std::uint64_t end = std::max<std::uint64_t>(
          std::uint64_t(merged.back().startBlock) + merged.back().blockCount,
          std::uint64_t(e.startBlock) + e.blockCount);
      merged.back().blockCount = std::uint32_t(end - merged.back().startBlock);
    } else {
      merged.push_back(e);
    }
  }
  extents_ = merged;
  std::uint64_t total = 0;
  for (const ExtentDescriptor& e : extents_) total += e.blockCount;
  total_ = std::uint32_t(total);
}

SectorArea MapForkOffset(const ExtentList& extents, std::uint64_t logicalSize,
                         std::uint64_t offset, std::uint32_t blockSize, std::uint32_t sectorSize) {
  if (blockSize == 0 || sectorSize == 0 || blockSize % sectorSize != 0) Corrupted(30);
  if (offset >= logicalSize || offset % sectorSize != 0) Corrupted(31);
  const std::uint64_t block = offset / blockSize;
  if (block > 0xFFFFFFFFu) Corrupted(32);
  const BlockArea blocks = extents.MapBlock(std::uint32_t(block));
  const std::uint64_t spb = blockSize / sectorSize;
  const std::uint64_t first = std::uint64_t(blocks.first) * spb + (offset % blockSize) / sectorSize;
  const std::uint64_t last = (std::uint64_t(blocks.last) + 1) * spb - 1;
  return SectorArea(first, last);
}

}  // namespace hfsplus
}  // namespace filesystems
