// A special file of the volume (extents overflow, catalog, allocation,
// attributes): the bytes of the fork its volume-header fork record
// describes, read and written through the metadata I/O (so that reads see
// the journal and the first write replays it), and, for the tree files,
// grown by a clump of whole nodes. This is what the B-tree engine reads
// and writes its nodes through.
#pragma once

#include <cstdint>

#include "filesystems/hfs_allocation.h"
#include "filesystems/hfs_extents.h"
#include "filesystems/hfs_volume.h"

namespace filesystems {
namespace hfsplus {

// Where a fork's extents beyond the eight of its fork record come from:
// the extents overflow file, once its tree is open.
class OverflowExtentsSource {
 public:
  virtual ~OverflowExtentsSource() = default;
  // Appends the extents of fork (fileId, forkType: 0 data, 0xFF resource)
  // from fork block `fromBlock` on, in order.
  virtual void CollectExtents(std::uint32_t fileId, std::uint8_t forkType,
                              std::uint32_t fromBlock, ExtentList& out) = 0;
};

class SpecialFile {
 public:
  // The fork record of `id` in the primary header. Its eight extents are
  // loaded at once; a fork with more is incomplete until CompleteExtents.
  SpecialFile(Volume& volume, SpecialFileId id);

  SpecialFileId Id() const noexcept { return id_; }
  Volume& GetVolume() noexcept { return volume_; }
  bool ReadOnlyMount() const noexcept { return volume_.ReadOnly(); }
  std::uint64_t Size() const;
  const ExtentList& Extents() const noexcept { return extents_; }
  // The extents list covers the fork record's block count.
  bool Complete() const;
  bool HasOverflowExtents() const;
  void CompleteExtents(OverflowExtentsSource& source);

  // Bytes of the fork; the range must lie inside its logical size (0x4000d).
  // Incomplete extent lists: 0x4000d.
  void Read(std::uint64_t offset, std::uint32_t count, std::uint8_t* out);
  // A read-only mount: 0x4000c. The file and the volume header are marked
  // changed.
  void Write(std::uint64_t offset, std::uint32_t count, const std::uint8_t* in);

  // Grows a tree file by its clump (the fork record's clump size) rounded
  // up to whole nodes of `nodeSize` bytes, by at least one node: in place
  // when the blocks can join its extents (at most eight of them: the rest
  // would need the extents overflow file), else by moving the whole file
  // into a fresh list, the old blocks given back only after the copy. The
  // fork record and the header follow. A full volume: 0x40004. False when
  // the volume has the blocks but not in a shape the file can take.
  bool Grow(std::uint32_t nodeSize);

  // The file changed since its last flush (its clean bit is clear).
  bool Modified() const noexcept { return modified_; }
  // Clean again: the header's fork record already holds the extents.
  void Flush();

 private:
  void MarkChanged();
  void StoreForkRecord(const ExtentList& list, std::uint64_t logicalSize);
  std::uint8_t CleanBit() const noexcept;

  Volume& volume_;
  SpecialFileId id_;
  ExtentList extents_;
  bool modified_ = false;
};

}  // namespace hfsplus
}  // namespace filesystems
