// The B-tree engine shared by the catalog, extents overflow and attributes
// files of an HFS+ volume.
//
// The engine sees its tree file as an array of nodes served by a
// NodeSource (read node n, write node n, grow by clumps), so that the
// special files serve it from the volume and the tests from memory. Node
// bytes live in a small NodeCache; a node in use is pinned there and a
// dirty node is written back before its buffer is reused. The node map
// (header map record and the chain of map nodes) is held in memory and
// written back by Flush().
//
// Records are kept in key order by a KeyOrder supplied per tree. Inserting
// splits a full node into as many nodes as its records need, every new
// node gets its index record one level up, and a full root grows a new
// root above it. Deleting the last record of a node frees the node and
// removes its index record, found in the parent by the child's node
// number; a root index node left with one child hands the root to it.
// Nothing is merged or redistributed otherwise.
//
// Every length, offset, link and node number read from disk is checked
// before use (0x4000d), and every walk is bounded by the tree's node count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filesystems/hfs_btree_node.h"
#include "filesystems/hfs_names.h"

namespace filesystems {
namespace hfsplus {

constexpr std::uint32_t kHfsBTreeModuleId = 0x7A16C000;
constexpr std::uint32_t kHfsNodeCacheModuleId = 0x7A16D000;

// The tree file as an array of nodes of one size.
class NodeSource {
 public:
  virtual ~NodeSource() = default;
  virtual std::uint16_t NodeSize() const = 0;
  // Nodes the file holds now.
  virtual std::uint32_t NodeCount() const = 0;
  virtual void ReadNode(std::uint32_t n, std::uint8_t* bytes) = 0;
  virtual void WriteNode(std::uint32_t n, const std::uint8_t* bytes) = 0;
  // Grows the file by whole clumps until it holds at least `minimum` nodes
  // and returns the new count; 0x40004 when the volume has no room.
  virtual std::uint32_t Grow(std::uint32_t minimum) = 0;
};

// The order of one tree's keys. Keys are given with their length field
// and the bytes available after their start; a key whose fields do not fit
// is refused with 0x4000d.
class KeyOrder {
 public:
  virtual ~KeyOrder() = default;
  virtual int Compare(const std::uint8_t* a, std::size_t aBytes, const std::uint8_t* b,
                      std::size_t bBytes) const = 0;
};

// Catalog keys: key length, parent id (u32), name length, name units;
// parent id first, then the name in the catalog's order.
class CatalogKeyOrder : public KeyOrder {
 public:
  explicit CatalogKeyOrder(NameOrder names) noexcept : names_(names) {}
  int Compare(const std::uint8_t* a, std::size_t aBytes, const std::uint8_t* b,
              std::size_t bBytes) const override;

 private:
  NameOrder names_;
};

// Extents keys: key length 10, fork type (u8), pad, file id, start block;
// file id, then fork type, then start block.
class ExtentsKeyOrder : public KeyOrder {
 public:
  int Compare(const std::uint8_t* a, std::size_t aBytes, const std::uint8_t* b,
              std::size_t bBytes) const override;
};

// Attributes keys: key length, pad, file id, start block, name length,
// name; file id, then the name unit by unit, then start block.
class AttributesKeyOrder : public KeyOrder {
 public:
  int Compare(const std::uint8_t* a, std::size_t aBytes, const std::uint8_t* b,
              std::size_t bBytes) const override;
};

class NodeCache;

// A pinned node of the cache: its buffer stays valid and is not reused
// while the reference lives.
class NodeRef {
 public:
  NodeRef() noexcept = default;
  NodeRef(NodeCache* cache, std::size_t slot) noexcept;
  NodeRef(const NodeRef& other) noexcept;
  NodeRef& operator=(const NodeRef& other) noexcept;
  ~NodeRef();

  explicit operator bool() const noexcept { return cache_ != nullptr; }
  std::uint32_t Number() const noexcept;
  NodeView View() const noexcept;
  std::uint8_t* Data() const noexcept;
  void SetDirty() const noexcept;

 private:
  void Release() noexcept;

  NodeCache* cache_ = nullptr;
  std::size_t slot_ = 0;
};

// A handful of node buffers lent to the nodes in use. A miss takes the
// least recently used unpinned buffer, writing it back first when it is
// dirty; when every buffer is pinned another is added.
class NodeCache {
 public:
  NodeCache(NodeSource& source, std::size_t slots);
  ~NodeCache();
  NodeCache(const NodeCache&) = delete;
  NodeCache& operator=(const NodeCache&) = delete;

  // Node n, read when not cached.
  NodeRef Get(std::uint32_t n);
  // Node n with undefined bytes, for a node about to be initialised.
  NodeRef Fresh(std::uint32_t n);
  // Writes every dirty node and clears the marks.
  void WriteBack();
  bool IsCached(std::uint32_t n) const noexcept;
  std::size_t SlotCount() const noexcept { return slots_.size(); }

 private:
  friend class NodeRef;
  struct Slot;

  std::size_t Take(std::uint32_t n);

  NodeSource& source_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::uint64_t clock_ = 0;
};

// Position of a record: node number and record index.
struct RecordPosition {
  std::uint32_t node = 0xFFFFFFFF;
  std::uint16_t index = 0xFFFF;
  bool IsNull() const noexcept { return node == 0xFFFFFFFF; }
};

class BTree {
 public:
  // `order` must outlive the tree. Open() reads the header and the map.
  BTree(NodeSource& source, const KeyOrder& order, std::size_t cacheSlots = 8);
  ~BTree();
  BTree(const BTree&) = delete;
  BTree& operator=(const BTree&) = delete;

  // Reads and checks the header node and the node map.
  void Open();

  // Inserts a leaf record; 0x40013 when the key exists; 0x4000d for a key
  // longer than the header allows or a record that cannot fit a node;
  // 0x40004 when the file cannot grow.
  void Insert(const std::uint8_t* key, std::size_t keyBytes, const std::uint8_t* data,
              std::size_t dataBytes);
  // Deletes the leaf record of `key`; 0x40011 when there is none.
  void Remove(const std::uint8_t* key, std::size_t keyBytes);
  // The data of the leaf record of `key`; false when there is none.
  bool Find(const std::uint8_t* key, std::size_t keyBytes, std::vector<std::uint8_t>* data);
  // Position of the first leaf record whose key is not less than `key`;
  // null when every key is less (or the tree is empty).
  RecordPosition Search(const std::uint8_t* key, std::size_t keyBytes);
  // The position after `p` in key order (the next leaf's first record past
  // the end of a node); null after the last record. 0x4000d for a null or
  // out-of-range position.
  RecordPosition Next(RecordPosition p);
  // Key and data of the leaf record at `p`.
  void ReadRecord(RecordPosition p, std::vector<std::uint8_t>* key,
                  std::vector<std::uint8_t>* data);
  // Gives the leaf record of `key` new data: in place when its size stays
  // the same, else by deleting and inserting it. 0x40011 when there is none.
  void Replace(const std::uint8_t* key, std::size_t keyBytes, const std::uint8_t* data,
               std::size_t dataBytes);
  // Every leaf record in key order: key (with its length field), its size,
  // data and its size. Stops when the callback answers false.
  void ForEachLeafRecord(const std::function<bool(const std::uint8_t*, std::size_t,
                                                  const std::uint8_t*, std::size_t)>& visit);

  // Writes the node map into its records, then every dirty node.
  void Flush();

  // Checks the whole tree: key order inside and across nodes, sibling links
  // both ways, heights and kinds, index keys against their children, the
  // header's depth, root, leaf count, first and last leaf, total and free
  // nodes, and map bits against the nodes reachable from the header.
  // Returns an empty string when all hold, else the first fault found.
  std::string Check();

  std::uint16_t NodeSize() const noexcept { return nodeSize_; }
  std::uint16_t Depth() const;
  std::uint32_t Root() const;
  std::uint32_t LeafRecords() const;
  std::uint32_t FirstLeaf() const;
  std::uint32_t LastLeaf() const;
  std::uint32_t TotalNodes() const;
  std::uint32_t FreeNodes() const;
  std::size_t MapNodeCount() const noexcept { return mapPieces_.size() - 1; }
  bool IsNodeUsed(std::uint32_t n) const noexcept;
  NodeCache& Cache() noexcept { return *cache_; }

 private:
  struct Path;
  struct MapPiece {
    std::uint32_t node;
    std::size_t offset;  // of the map record inside the node
    std::size_t length;
  };

  std::uint8_t* HeaderRecord() const noexcept;
  void SetHeader16(std::size_t field, std::uint16_t v);
  void SetHeader32(std::size_t field, std::uint32_t v);
  std::uint32_t Header32(std::size_t field) const;

  NodeRef LoadNode(std::uint32_t n, std::int8_t kind, std::uint8_t height);
  // Key of record i of a validated node and the bytes it may use.
  const std::uint8_t* RecordKey(const NodeView& v, std::size_t i, std::size_t* keyBytes) const;
  std::uint32_t ChildOf(const NodeView& v, std::size_t i) const;
  std::size_t KeyArea(std::size_t keyBytes) const noexcept;
  int CompareKeyTo(const NodeView& v, std::size_t i, const std::uint8_t* key,
                   std::size_t keyBytes) const;
  std::vector<std::uint8_t> IndexRecordFor(const NodeView& child, std::uint32_t number) const;

  // 0x4000e for a key that is malformed or longer than the header allows,
  // 0x4000d for a record that could not be placed in a node.
  void CheckInsertable(const std::uint8_t* key, std::size_t keyBytes, std::size_t dataBytes) const;
  Path Descend(std::uint32_t level, const std::uint8_t* key, std::size_t keyBytes);
  std::size_t LowerBound(const NodeView& v, const std::uint8_t* key, std::size_t keyBytes) const;
  void InsertAtLevel(std::uint32_t level, const std::uint8_t* key, std::size_t keyBytes,
                     const std::vector<std::uint8_t>& record);
  void Place(Path& path, std::size_t i, const std::vector<std::uint8_t>& record);
  std::size_t FindChildRecord(const NodeView& parent, std::size_t hint, std::uint32_t child) const;
  void UpdateParentKey(Path& path);
  void RemoveNodeFromTree(Path& path);
  void CollapseRoot();

  std::uint32_t AllocateNode(std::int8_t kind, std::uint8_t height);
  void FreeNode(std::uint32_t n);
  // Grows the file by at least `nodes` nodes (rounded up to clumps by the
  // source), adding map nodes when the map no longer covers the file.
  void GrowFile(std::uint32_t nodes);
  // Grows the file until it has enough free nodes for the worst case of
  // one insertion, so that a full volume refuses the operation before any
  // node changes.
  void ReserveNodes();
  void SetNodeUsed(std::uint32_t n, bool used);
  std::uint32_t FindFreeNode() const;

  NodeSource& source_;
  const KeyOrder& order_;
  std::unique_ptr<NodeCache> cache_;
  NodeRef header_;
  std::uint16_t nodeSize_ = 0;
  std::uint16_t maxKeyLength_ = 0;
  bool variableIndexKeys_ = true;
  std::vector<std::uint8_t> map_;
  std::vector<MapPiece> mapPieces_;
  bool mapDirty_ = false;
};

}  // namespace hfsplus
}  // namespace filesystems
