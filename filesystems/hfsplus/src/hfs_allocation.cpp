// Allocation and release of volume blocks for forks and tree files.
#include "filesystems/hfs_allocation.h"

#include <algorithm>

#include "files/file_error.h"
#include "filesystems/driver.h"

namespace filesystems {
namespace hfsplus {
namespace {

constexpr std::uint32_t kModuleId = kHfsAllocationModuleId;

[[noreturn]] void Fail(std::uint32_t site, std::uint32_t code) {
  ThrowFileError(site, kModuleId, code);
}

bool IsSpecialFileId(std::uint32_t id) { return id == 3 || id == 4 || id == 6 || id == 8; }

}  // namespace

void AllocationFile::CheckWritable() const {
  if (volume_.ReadOnly()) Fail(1, kFileReadOnly);
}

std::vector<BlockArea> AllocationFile::Candidates(const ExtentList& fork) const {
  const std::uint32_t total = volume_.Allocation().BitCount();
  std::vector<BlockArea> out;
  if (fork.Count() == 0) {
    out.push_back(BlockArea(0, total - 1));
    return out;
  }
  const ExtentDescriptor& last = fork[fork.Count() - 1];
  const ExtentDescriptor& first = fork[0];
  const std::uint64_t end = std::uint64_t(last.startBlock) + last.blockCount;
  if (last.startBlock == 0 || last.blockCount == 0 || end > total) Fail(2, kFileCorrupted);
  if (first.startBlock == 0 || first.blockCount == 0) Fail(3, kFileCorrupted);
  if (end < total) out.push_back(BlockArea(std::uint32_t(end), total - 1));
  if (first.startBlock > 1) out.push_back(BlockArea(0, first.startBlock - 1));
  return out;
}

bool AllocationFile::Search(std::uint32_t wanted, const std::vector<BlockArea>& candidates,
                            std::uint32_t granularity, std::size_t maxExtents,
                            std::size_t extentsBefore, ExtentList& found) {
  Bitmap& bitmap = volume_.Allocation();
  ExtentList taken(bitmap.BitCount());
  for (BlockArea candidate : candidates) {
    while (wanted != 0 && !candidate.Empty()) {
      BlockArea area = bitmap.FindFreeArea(wanted, candidate);
      if (area.Empty()) break;
      // The area for unit 0 alone cannot be named; block 0 is never free
      // on a volume anyway.
      if (area.Length() > wanted) area.Truncate(wanted);
      const std::uint32_t whole = area.Length() - area.Length() % granularity;
      // The candidate moves past what was found, used or not.
      const std::uint32_t after = area.last;
      if (whole != 0) {
        area.Truncate(whole);
        bitmap.MarkRange(area, true);
        taken.AppendRange(area);
        wanted -= whole;
      }
      if (after >= candidate.last) break;
      candidate.first = after + 1;
    }
    if (wanted == 0) break;
  }
  ExtentList merged = taken;
  merged.Coalesce();
  if (wanted != 0 || extentsBefore + merged.Count() > maxExtents) {
    Release(taken);
    return false;
  }
  found.AppendList(taken);
  return true;
}

bool AllocationFile::AllocateBlocks(std::uint32_t fileId, std::uint32_t n, ExtentList& fork) {
  CheckWritable();
  if (IsSpecialFileId(fileId)) Fail(10, kFileNotSupported);
  if (n == 0 || n > FreeBlocks()) return false;
  ExtentList found(volume_.Allocation().BitCount());
  if (!Search(n, Candidates(fork), 1, ~std::size_t(0), 0, found)) return false;
  fork.AppendList(found);
  fork.Coalesce();
  volume_.SetDirty(kCleanAllocation);
  return true;
}

ExtentList AllocationFile::ReallocateFork(std::uint32_t fileId, std::uint32_t n,
                                          const ExtentList& fork) {
  CheckWritable();
  if (IsSpecialFileId(fileId)) Fail(20, kFileNotSupported);
  ExtentList result(volume_.Allocation().BitCount());
  const std::uint64_t wanted = std::uint64_t(fork.TotalBlocks()) + n;
  if (wanted == 0 || wanted > FreeBlocks()) return result;
  if (Search(std::uint32_t(wanted), Candidates(ExtentList()), 1, ~std::size_t(0), 0, result)) {
    result.Coalesce();
    volume_.SetDirty(kCleanAllocation);
  }
  return result;
}

std::uint32_t AllocationFile::TreeGrowth(std::uint32_t clumpBytes, std::uint32_t nodeBlocks) const {
  const std::uint32_t blockSize = volume_.Primary().BlockSize();
  const std::uint64_t clumpBlocks = (std::uint64_t(clumpBytes) + blockSize - 1) / blockSize;
  const std::uint64_t nodes = std::max<std::uint64_t>(1, (clumpBlocks + nodeBlocks - 1) / nodeBlocks);
  const std::uint64_t blocks = nodes * nodeBlocks;
  if (blocks > volume_.Allocation().BitCount()) Fail(30, kFileDiskFull);
  return std::uint32_t(blocks);
}

bool AllocationFile::GrowTreeFile(std::uint32_t clumpBytes, std::uint32_t nodeBlocks,
                                  std::size_t maxExtents, ExtentList& tree) {
  CheckWritable();
  if (nodeBlocks == 0) Fail(31, kFileNotSupported);
  const std::uint32_t wanted = TreeGrowth(clumpBytes, nodeBlocks);
  if (wanted > FreeBlocks()) Fail(32, kFileDiskFull);
  if (tree.Count() >= maxExtents) return false;
  ExtentList merged = tree;
  ExtentList found(volume_.Allocation().BitCount());
  // The tree's own last extent may simply grow: count it as one with what
  // is found right after it.
  if (!Search(wanted, Candidates(tree), nodeBlocks, maxExtents + (tree.Count() ? 1 : 0),
              tree.Count(), found)) {
    return false;
  }
  merged.AppendList(found);
  merged.Coalesce();
  if (merged.Count() > maxExtents) {
    Release(found);
    return false;
  }
  tree = merged;
  volume_.SetDirty(kCleanAllocation);
  return true;
}

ExtentList AllocationFile::ReallocateTreeFile(std::uint32_t clumpBytes, std::uint32_t nodeBlocks,
                                              std::size_t maxExtents, const ExtentList& tree) {
  CheckWritable();
  if (nodeBlocks == 0) Fail(40, kFileNotSupported);
  ExtentList result(volume_.Allocation().BitCount());
  const std::uint64_t wanted = std::uint64_t(tree.TotalBlocks()) + TreeGrowth(clumpBytes, nodeBlocks);
  if (wanted > FreeBlocks()) Fail(41, kFileDiskFull);
  if (Search(std::uint32_t(wanted), Candidates(ExtentList()), nodeBlocks, maxExtents, 0, result)) {
    result.Coalesce();
    volume_.SetDirty(kCleanAllocation);
  }
  return result;
}

void AllocationFile::Release(const ExtentList& list) {
  if (list.Count() == 0) return;
  CheckWritable();
  Bitmap& bitmap = volume_.Allocation();
  for (const ExtentDescriptor& e : list.Descriptors()) {
    bitmap.MarkRange(BlockArea::FromCount(e.startBlock, e.blockCount), false);
  }
  volume_.SetDirty(kCleanAllocation);
}

}  // namespace hfsplus
}  // namespace filesystems
