// NTFS indexes: the B-tree behind every directory ($I30) and the other
// named indexes of the volume.
//
// An index is a resident root value ($INDEX_ROOT), fixed-size INDX blocks
// in a non-resident $INDEX_ALLOCATION and a $BITMAP of the blocks in use,
// all carrying the index's name. Every node (the root's entries or one
// block's) is a node header followed by 8-byte aligned entries and ends
// with an end entry; an entry with the child flag carries, in its last 8
// bytes, the VCN of the node holding the keys that sort before it, and the
// end entry's child holds the keys after every key of its node.
//
// The engine reads every node before use and checks it whole: the node
// header, every entry's length and key length and the key itself, the
// child flags against the node's, the INDX magic, the update sequence and
// the block's own VCN, and that no descent enters a node already on its
// path. Damage is 0x4000d, never a read outside a buffer or a loop.
//
// The bytes themselves come from an IndexStore: the mounted volume's
// attributes, or a test's own storage.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "filesystems/ntfs_bitmap.h"

namespace filesystems {
namespace ntfs {

class UpCaseTable;

constexpr std::uint32_t kNtfsIndexModuleId = 0x7A137000;

constexpr std::uint32_t kIndexBlockMagic = 0x58444E49;  // "INDX"
// The root's place in a cursor: no block has this VCN.
constexpr std::uint64_t kRootVcn = ~std::uint64_t(0);

namespace index_entry {
constexpr std::uint32_t kLength = 8;
constexpr std::uint32_t kKeyLength = 10;
constexpr std::uint32_t kFlags = 12;
constexpr std::uint32_t kKey = 16;
constexpr std::uint16_t kHasChild = 0x1;
constexpr std::uint16_t kEnd = 0x2;
}  // namespace index_entry

// How the keys of one kind of index sort and what a sound key looks like.
class IndexKeyOrder {
 public:
  virtual ~IndexKeyOrder() = default;
  // The collation rule the root must carry.
  virtual std::uint32_t CollationRule() const noexcept = 0;
  // -1, 0 or 1 for keys a and b (both checked with ValidKey).
  virtual int Compare(const std::uint8_t* a, std::uint32_t aLength, const std::uint8_t* b,
                      std::uint32_t bLength) const noexcept = 0;
  virtual bool ValidKey(const std::uint8_t* key, std::uint32_t length) const noexcept = 0;
};

// Directory indexes: $FILE_NAME values compared by name through $UpCase.
class FileNameKeyOrder : public IndexKeyOrder {
 public:
  explicit FileNameKeyOrder(const UpCaseTable& upcase) : upcase_(upcase) {}
  std::uint32_t CollationRule() const noexcept override { return 1; }
  int Compare(const std::uint8_t* a, std::uint32_t aLength, const std::uint8_t* b,
              std::uint32_t bLength) const noexcept override;
  // At least the 66-byte head, and the name the length byte gives inside.
  bool ValidKey(const std::uint8_t* key, std::uint32_t length) const noexcept override;

 private:
  const UpCaseTable& upcase_;
};

// Where one index's bytes live. Reads that come up short and writes that
// fail throw; the engine checks everything it is given.
class IndexStore {
 public:
  virtual ~IndexStore() = default;
  // The $INDEX_ROOT value.
  virtual std::vector<std::uint8_t> ReadRoot() = 0;
  // Replaces the root value; false when its record has no room for a
  // value of this size (nothing changed then).
  virtual bool WriteRoot(const std::vector<std::uint8_t>& value) = 0;
  // True when $INDEX_ALLOCATION and $BITMAP exist; 0x4000d when only one
  // of them does.
  virtual bool HasAllocation() = 0;
  // Makes both (empty); 0x40004 when the record has no room.
  virtual void CreateAllocation() = 0;
  virtual std::uint64_t AllocationSize() = 0;
  // Grows $INDEX_ALLOCATION to `size` bytes (zeros); false when it cannot.
  virtual bool GrowAllocation(std::uint64_t size) = 0;
  // Whole reads and writes inside AllocationSize(); short ones throw.
  virtual void ReadAllocation(std::uint64_t offset, std::uint8_t* buffer, std::uint32_t length) = 0;
  virtual void WriteAllocation(std::uint64_t offset, const std::uint8_t* data,
                               std::uint32_t length) = 0;
  // The $BITMAP value (valid while the allocation exists).
  virtual BitmapStorage& BlockBitmap() = 0;
  // Whether $INDEX_ALLOCATION and $BITMAP may grow; when not, blocks are
  // only taken inside the present allocation.
  virtual bool CanGrow() { return true; }
  // Cuts $INDEX_ALLOCATION to `size` bytes, giving its clusters back, and
  // $BITMAP to `bitmapBytes` (only ever smaller); a store whose allocation
  // cannot grow keeps it whole.
  virtual void ShrinkAllocation(std::uint64_t size, std::uint64_t bitmapBytes) {
    (void)size;
    (void)bitmapBytes;
  }
};

// The geometry of a root built from nothing.
struct IndexShape {
  std::uint32_t indexedType = 0;  // 0x30 for $I30
  std::uint32_t blockSize = 4096;
  std::uint8_t blocksToVcn = 1;  // VCN of block n = n x this
};

class Index {
 public:
  struct Position {
    std::uint64_t vcn = kRootVcn;
    std::uint32_t entry = 0;  // offset from the node header
    bool operator==(const Position& o) const noexcept { return vcn == o.vcn && entry == o.entry; }
  };
  // A place in the index and the entries descended through to reach it.
  // Valid until the index next changes.
  struct Cursor {
    bool valid = false;
    Position at;
    std::vector<Position> path;
    // Blocks entered so far: a walk enters each block once, so more than
    // the allocation holds means two entries lead to one block.
    std::uint64_t descents = 0;
    // The key reported last: each next one must sort after it.
    std::vector<std::uint8_t> lastKey;
  };

  // Reads and checks the root: at least 48 bytes, the order's collation
  // rule, a block size that is a whole number of 512-byte strides up to
  // 64 KiB (never 0), a non-zero blocks-to-VCN factor dividing it.
  Index(IndexStore& store, const IndexKeyOrder& order);
  // Writes an empty root of `shape` and opens it.
  static std::unique_ptr<Index> Create(IndexStore& store, const IndexKeyOrder& order,
                                       const IndexShape& shape);
  ~Index();
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  // Exact search; the cursor stands on the entry when found, else where
  // the search stopped.
  bool Find(const std::uint8_t* key, std::uint32_t keyLength, Cursor& cursor);
  // The next entry in key order (the first for an invalid cursor); false
  // at the end, with the cursor invalid. End entries are never reported.
  bool Next(Cursor& cursor);

  // Inserts a whole entry (its length, key length and key set, the child
  // flag clear); 0x40013 when its key is present, 0x40004 when the blocks
  // it may need cannot be had (nothing is changed then). The cursor
  // returned stands on the new entry.
  Cursor Insert(const std::uint8_t* entry, std::uint32_t length);
  // Deletes the entry under the cursor; the cursor is invalid afterwards.
  void Remove(Cursor& cursor);
  // Copies an entry of the same length over the one under the cursor.
  void ReplaceInPlace(const Cursor& cursor, const std::uint8_t* entry, std::uint32_t length);

  // The entry under a valid cursor: its bytes and fields.
  const std::uint8_t* EntryAt(const Cursor& cursor);
  std::uint32_t EntryLength(const std::uint8_t* entry) const noexcept;
  std::uint32_t KeyLength(const std::uint8_t* entry) const noexcept;
  const std::uint8_t* Key(const std::uint8_t* entry) const noexcept { return entry + 16; }

  std::uint32_t BlockSize() const noexcept { return blockSize_; }
  std::uint32_t BlocksToVcn() const noexcept { return factor_; }
  // VCNs of every block reachable from the root (for checks).
  std::set<std::uint64_t> ReachableBlocks();

 private:
  struct Node;
  Node NodeAt(std::uint64_t vcn);
  std::uint8_t* BlockBuffer(std::uint64_t vcn);
  void CheckNode(const std::uint8_t* header, std::uint32_t available, bool root) const;
  void LoadRoot();
  void Descend(Cursor& cursor, std::uint64_t child);
  void DescendLeftmost(Cursor& cursor);
  std::uint64_t ChildOf(const std::uint8_t* entry) const noexcept;
  void SetChild(std::uint8_t* entry, std::uint64_t vcn) noexcept;

  // Changes: nodes are edited in memory, marked, and written once at the
  // end of the operation.
  void InsertAt(Position at, std::vector<Position> path, std::vector<std::uint8_t> entry);
  void InsertIntoNode(const Position& at, const std::vector<std::uint8_t>& entry);
  void TakeOut(const Position& at);
  void PushDownRoot();
  std::vector<std::uint8_t> Split(const Position& at, std::vector<Position>& path,
                                  const std::vector<std::uint8_t>& pending, Position& placed);
  std::uint64_t AllocateBlock();
  void FreeBlock(std::uint64_t vcn);
  void MakeEmptyRoot();
  void EnsureAllocation();
  void RequireFreeBlocks(std::uint32_t count);
  // Gives back the blocks past the last one in use, and the bitmap bytes
  // that only described them.
  void TrimAllocation();
  void WriteChanges();
  void WriteBlock(std::uint64_t vcn);
  std::uint32_t RootDepthBound();

  IndexStore& store_;
  const IndexKeyOrder& order_;
  std::vector<std::uint8_t> root_;
  std::uint32_t blockSize_ = 0;
  std::uint32_t factor_ = 0;
  std::map<std::uint64_t, std::vector<std::uint8_t>> blocks_;
  std::unique_ptr<Bitmap> bitmap_;
  std::set<std::uint64_t> dirty_;
  bool rootDirty_ = false;
};

}  // namespace ntfs
}  // namespace filesystems
