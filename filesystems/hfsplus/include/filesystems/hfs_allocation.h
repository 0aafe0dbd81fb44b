// Block allocation and release of one mounted volume, over its allocation
// bitmap: the search policy (after a fork's last extent, then before its
// first), appending to forks, new extent lists for reallocated forks and
// tree files, and release.
//
// A reallocation never frees the old extents itself: the caller copies the
// data into the new list and only then releases the old one (Release); a
// failed copy gives the new areas back (Release of the new list) and leaves
// the fork where it was, its blocks still marked used.
#pragma once

#include <cstdint>

#include "filesystems/hfs_extents.h"
#include "filesystems/hfs_volume.h"

namespace filesystems {
namespace hfsplus {

class AllocationFile {
 public:
  explicit AllocationFile(Volume& volume) : volume_(volume) {}

  std::uint32_t FreeBlocks() const noexcept { return volume_.Allocation().Free(); }

  // Appends n blocks to a fork's list (coalesced); false, with the bitmap as
  // before, when they cannot all be found. Special-file ids: 0x4000e.
  bool AllocateBlocks(std::uint32_t fileId, std::uint32_t n, ExtentList& fork);
  // A fresh list of the fork's size plus n blocks, anywhere on the volume;
  // empty when not enough is free. The old list stays allocated.
  ExtentList ReallocateFork(std::uint32_t fileId, std::uint32_t n, const ExtentList& fork);

  // A tree file grows by `clumpBytes` rounded up to whole nodes of
  // `nodeBlocks` blocks, and by at least one node; areas are whole nodes.
  // With `maxExtents` (the extents overflow file keeps all its extents in
  // the header: 8) the grown list may not exceed it. A full volume: 0x40004.
  // False when the blocks exist but not in a shape the file can take.
  bool GrowTreeFile(std::uint32_t clumpBytes, std::uint32_t nodeBlocks, std::size_t maxExtents,
                    ExtentList& tree);
  // A fresh list for the whole grown tree file; empty when impossible.
  ExtentList ReallocateTreeFile(std::uint32_t clumpBytes, std::uint32_t nodeBlocks,
                                std::size_t maxExtents, const ExtentList& tree);

  // Marks the list's blocks free.
  void Release(const ExtentList& list);

  // The candidate areas of a search for a fork: after its last extent to
  // the volume's end, then from block 0 to before its first; a fork without
  // extents: the whole volume.
  std::vector<BlockArea> Candidates(const ExtentList& fork) const;

 private:
  // Takes up to `wanted` blocks from the candidates in whole multiples of
  // `granularity`, marking them used and appending them to `found`. True
  // when all were found; otherwise everything taken is given back.
  bool Search(std::uint32_t wanted, const std::vector<BlockArea>& candidates,
              std::uint32_t granularity, std::size_t maxExtents, std::size_t extentsBefore,
              ExtentList& found);
  std::uint32_t TreeGrowth(std::uint32_t clumpBytes, std::uint32_t nodeBlocks) const;
  void CheckWritable() const;

  Volume& volume_;
};

}  // namespace hfsplus
}  // namespace filesystems
