// The three B-tree files of a volume (extents overflow, catalog,
// attributes) as the engine sees them: a special file's fork served as an
// array of nodes, grown by the file's clump, with the tree opened over it.
// Node 0 is checked before the tree is opened; every node read and written
// passes the metadata I/O, so reads see the journal and the first write
// replays it.
//
// The extents overflow file is also where the other forks find the
// extents beyond the eight of their fork record.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "filesystems/hfs_btree.h"
#include "filesystems/hfs_extents.h"
#include "filesystems/hfs_fork_file.h"

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsTreeFileModuleId = 0x7A146000;

// Node 0 of a tree file as it must look before the engine opens it: no
// sibling links, a header node of height 0 with three records and a node
// size of 512 to 32,768 bytes, a power of two. Returns the node size;
// 0x4000d otherwise. `bytes` holds the first 512 bytes of the node.
std::uint16_t CheckHeaderNode(const std::uint8_t* bytes);
// The key-compare type of a header node's header record (HFSX catalogs).
std::uint8_t HeaderNodeCompareType(const std::uint8_t* bytes);

class TreeFile : public NodeSource {
 public:
  // Opens the tree of `file` with `order`; node 0 must pass CheckHeaderNode.
  TreeFile(SpecialFile& file, std::unique_ptr<KeyOrder> order);
  ~TreeFile() override;

  BTree& Tree() noexcept { return *tree_; }
  SpecialFile& File() noexcept { return file_; }
  bool ReadOnly() const;

  // Writes the tree's changed nodes and map, then lets the file count as
  // clean again.
  void Flush();

  std::uint16_t NodeSize() const override { return nodeSize_; }
  std::uint32_t NodeCount() const override;
  void ReadNode(std::uint32_t n, std::uint8_t* bytes) override;
  void WriteNode(std::uint32_t n, const std::uint8_t* bytes) override;
  std::uint32_t Grow(std::uint32_t minimum) override;

 protected:
  // 0x4000c on a read-only mount: every change asks this first.
  void RequireWritable(std::uint32_t site) const;

 private:
  SpecialFile& file_;
  std::unique_ptr<KeyOrder> order_;
  std::uint16_t nodeSize_ = 0;
  std::unique_ptr<BTree> tree_;
};

// Overflow records: key (length 10, fork type, pad, file id, start block)
// and eight extent descriptors of the fork from that start block on.
class ExtentsOverflowFile : public TreeFile, public OverflowExtentsSource {
 public:
  static constexpr std::size_t kKeyBytes = 12;
  static constexpr std::size_t kRecordBytes = 64;
  static std::vector<std::uint8_t> MakeKey(std::uint32_t fileId, std::uint8_t forkType,
                                           std::uint32_t startBlock);

  explicit ExtentsOverflowFile(SpecialFile& file);

  // The fork's records from `fromBlock` on, appended in order. Each record
  // must start where the list so far ends (0x4000d otherwise). Nothing for
  // the extents file itself.
  void CollectExtents(std::uint32_t fileId, std::uint8_t forkType, std::uint32_t fromBlock,
                      ExtentList& out) override;
  // Position of the fork's first record; null when it has none.
  RecordPosition FindFirstRecord(std::uint32_t fileId, std::uint8_t forkType);
  // Deletes every record of the fork; the records of other forks stay.
  void RemoveRecords(std::uint32_t fileId, std::uint8_t forkType);
  // One data-fork record (64 bytes of descriptors) at `startBlock`; the
  // extents file's own id is refused (0x4000e).
  void AddRecord(std::uint32_t fileId, std::uint32_t startBlock, const std::uint8_t* record);
  // The data fork's records rewritten from a whole extent list: groups 1
  // and up of eight descriptors, each at the block its group starts.
  void StoreOverflowExtents(std::uint32_t fileId, const ExtentList& list);
};

}  // namespace hfsplus
}  // namespace filesystems
