// Ext inodes, the inode cache and the two block-map strategies.
//
// An inode is addressed by its index, the inode number minus 1 (the root
// directory, inode 2, has index 1). The cache shares one in-memory inode per
// index among every object of a mount and keeps at most 32 idle ones.
//
// Block maps: the classic table of 12 direct pointers and a single, double
// and triple indirect pointer, or an extent tree whose root is the inode's
// 60-byte map area. Both answer lookups with runs, so that callers move many
// blocks per request; an uninitialised extent reads as a hole.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filesystems/ext_driver.h"

namespace filesystems {
namespace extfs {

// Times: a signed 32-bit seconds field plus, where present, an extra field
// holding two epoch bits (bits 0-1, added to the seconds as bits 32-33) and
// the nanoseconds (bits 2-31). Milliseconds since 1970, signed.
std::int64_t ExtfsTimeToMs(std::uint32_t seconds, std::uint32_t extra);
void MsToExtfsTime(std::int64_t ms, std::uint32_t& seconds, std::uint32_t& extra);

// The framework's object types: 0 file, 1 character device, 2 block
// device, 3 FIFO, 4 socket, 5 symbolic link, 128 directory.
constexpr std::uint32_t kTypeFile = 0, kTypeCharDevice = 1, kTypeBlockDevice = 2,
                        kTypeFifo = 3, kTypeSocket = 4, kTypeSymlink = 5, kTypeDirectory = 128;
// 0x4000d for a type value no inode may have.
std::uint32_t ModeToObjectType(std::uint16_t mode);
// The mode's type bits of an object type (0x4000e for others), and the
// permissions a new object of that type gets.
std::uint16_t ObjectTypeToMode(std::uint32_t type);
std::uint16_t DefaultModeForType(std::uint32_t type);

constexpr std::uint64_t kNotMapped = ~std::uint64_t(0);
constexpr std::uint32_t kInodeFlagHugeFile = 0x40000;
constexpr std::uint32_t kInodeFlagExtents = 0x80000;
constexpr std::uint32_t kMapAreaOffset = 0x28;
constexpr std::uint32_t kMapAreaSize = 60;

// The index and node blocks a walk last used, one per level, kept between
// lookups of one inode so that sequential access does not re-read them.
class BlockMapState {
 public:
  BlockMapState(ExtfsDriver* driver, std::uint32_t levels);
  // The block at `level`, fetched unless it is the one held there.
  const std::uint8_t* Fetch(std::uint32_t level, std::uint64_t block);
  // Drops every held block (before a change frees or re-links nodes).
  void Clear() noexcept;

 private:
  ExtfsDriver* driver_;
  std::vector<BlockHandle> held_;
  std::vector<std::uint64_t> heldBlock_;
};

// One run of a lookup: the first volume block (kNotMapped for a hole) and
// how many file blocks from the asked one it covers.
struct MappedRun {
  std::uint64_t block = kNotMapped;
  std::uint64_t length = 1;
  bool uninitialised = false;
};

class InodeLocationProcessor {
 public:
  explicit InodeLocationProcessor(ExtfsDriver* driver) : driver_(driver) {}
  virtual ~InodeLocationProcessor();
  virtual std::uint64_t GetCapacity() const = 0;
  virtual std::uint32_t GetLevelCount() const = 0;
  virtual std::uint64_t GetFirstBlock(const std::uint8_t* area) = 0;
  // 0x40005 for a file block at or beyond the capacity.
  virtual MappedRun Lookup(const std::uint8_t* area, std::uint64_t fileBlock,
                           BlockMapState& state) = 0;
  // An empty map.
  virtual void InitializeRoot(std::uint8_t* area) = 0;
  // The volume block of `fileBlock`, mapping a new one where there is none
  // (or where an uninitialised extent holds it: that block becomes
  // initialised in place). `allocated` grows by the blocks taken, index
  // blocks included; `fresh` says the data block holds nothing of the file
  // yet and must be zeroed or written whole.
  virtual std::uint64_t MapForWrite(std::uint8_t* area, std::uint64_t fileBlock,
                                    std::uint64_t& allocated, bool& fresh,
                                    BlockMapState& state) = 0;
  // Frees every block mapped at or beyond `fileBlock` (blocks mapped past
  // the end of the file included) and the index blocks left with nothing
  // to map; the number of blocks freed.
  virtual std::uint64_t FreeFrom(std::uint8_t* area, std::uint64_t fileBlock,
                                 BlockMapState& state) = 0;

 protected:
  ExtfsDriver* driver_;
};

class LegacyLocationProcessor : public InodeLocationProcessor {
 public:
  using InodeLocationProcessor::InodeLocationProcessor;
  std::uint64_t GetCapacity() const override;
  std::uint32_t GetLevelCount() const override { return 3; }
  std::uint64_t GetFirstBlock(const std::uint8_t* area) override;
  MappedRun Lookup(const std::uint8_t* area, std::uint64_t fileBlock,
                   BlockMapState& state) override;
  void InitializeRoot(std::uint8_t* area) override;
  std::uint64_t MapForWrite(std::uint8_t* area, std::uint64_t fileBlock, std::uint64_t& allocated,
                            bool& fresh, BlockMapState& state) override;
  std::uint64_t FreeFrom(std::uint8_t* area, std::uint64_t fileBlock,
                         BlockMapState& state) override;

 private:
  std::uint64_t FreeTree(std::uint32_t block, std::uint32_t levels, std::uint64_t base,
                         std::uint64_t from, std::vector<std::uint64_t>& freed);
};

class ExtentsLocationProcessor : public InodeLocationProcessor {
 public:
  static constexpr std::uint16_t kMagic = 0xF30A;
  static constexpr std::uint32_t kMaxDepth = 15;
  using InodeLocationProcessor::InodeLocationProcessor;
  std::uint64_t GetCapacity() const override { return std::uint64_t(1) << 32; }
  std::uint32_t GetLevelCount() const override { return 16; }
  std::uint64_t GetFirstBlock(const std::uint8_t* area) override;
  MappedRun Lookup(const std::uint8_t* area, std::uint64_t fileBlock,
                   BlockMapState& state) override;
  void InitializeRoot(std::uint8_t* area) override;
  std::uint64_t MapForWrite(std::uint8_t* area, std::uint64_t fileBlock, std::uint64_t& allocated,
                            bool& fresh, BlockMapState& state) override;
  std::uint64_t FreeFrom(std::uint8_t* area, std::uint64_t fileBlock,
                         BlockMapState& state) override;
  // 0x4000d unless the node is sound: magic, entries within the capacity,
  // the capacity within `room` bytes, an index node not empty.
  static void CheckNode(const std::uint8_t* node, std::uint32_t room);
};

class InodeCache;

// The steps of a write-back at which inodes go to their tables, in order
// (see ExtfsDriver::WriteBackCache). Until the directory blocks are written
// an inode goes out in its early form: its link count no lower than the
// names the disk may show at any point of the write-back, and a directory
// that was on disk before without the blocks it grew by, whose entries may
// name inodes of later steps. The current form follows the directory blocks.
enum class InodeStage {
  kExisting,  // early forms of inodes that were live on disk, without growth
  kNew,       // early forms of inodes new since the last write-back
  kGrown,     // early forms of directories with the blocks they grew by
  kFreed,     // freed inodes, once no entry on disk names them
  kCurrent,   // the rest, link counts lowered, once "..", entries are gone
};

class ExtfsInode : public ReferenceCount, public LRUList<ExtfsInode> {
 public:
  // `fromDisk`: the bytes are the disk's; else the inode is new and the
  // disk holds it free.
  ExtfsInode(InodeCache* cache, ExtfsDriver* driver, std::uint32_t index,
             std::vector<std::uint8_t> bytes, bool fromDisk);
  ~ExtfsInode() override;

  // Drops one use; the inode stays cached.
  void Release() noexcept;

  std::uint32_t Index() const noexcept { return index_; }
  const std::uint8_t* Bytes() const noexcept { return bytes_.data(); }
  std::uint16_t GetMode() const noexcept;
  std::uint32_t GetObjectType() const;
  bool IsDirectory() const noexcept { return (GetMode() & 0xF000) == 0x4000; }
  std::uint64_t GetSize() const noexcept;
  std::uint32_t GetFlags() const noexcept;
  std::uint32_t GetUid() const noexcept;
  std::uint32_t GetGid() const noexcept;
  std::uint32_t GetDeviceMajor() const noexcept;
  std::uint32_t GetDeviceMinor() const noexcept;
  std::uint64_t GetFileAclBlock() const noexcept;
  // The in-inode attribute area (null and 0 when there is none).
  const std::uint8_t* GetInlineAttributeArea(std::uint32_t& size) const noexcept;
  // 0xFFFF for a directory counted as "too many" (DIR_NLINK).
  std::uint32_t GetLinkCount() const;
  std::int64_t GetModificationTime() const noexcept;
  std::int64_t GetChangeTime() const noexcept;
  std::int64_t GetAccessTime() const noexcept;
  // 0 when the inode has no creation time.
  std::int64_t GetCreationTime() const noexcept;
  // Data blocks in volume blocks (i_blocks with its unit rules).
  std::uint64_t GetBlockCount() const;
  std::uint64_t GetAllocatedSize() const;
  bool HasDataBlocks() const;
  // The volume sector where the data start (0 without data blocks).
  std::uint64_t GetDataPosition();
  // The run holding file block `fileBlock`.
  MappedRun MapBlock(std::uint64_t fileBlock);
  std::uint64_t Capacity() const { return processor_->GetCapacity(); }
  // The target of a symbolic link; null for other types.
  const std::string* GetSymlinkTarget();

  // Changes; each marks the inode for write-back.
  void MarkDirty() noexcept { dirty_ = true; }
  bool IsDirty() const noexcept { return dirty_; }
  // The bytes the inode's table slot should hold at `stage` of a
  // write-back; false to leave the slot as it is.
  bool VersionFor(InodeStage stage, std::vector<std::uint8_t>& out) const;
  // A write-back wrote the current bytes: they are the disk's now.
  void NoteWrittenBack();
  // True when the disk holds this inode live, as last read or written.
  bool OnDisk() const noexcept;
  // Freed: no links left and a deletion time.
  bool IsDead() const noexcept;
  // A second name is about to be stored while the first may still be on
  // disk (a rename): the early form counts it, the link count does not.
  void NoteNameAdded() noexcept {
    ++linksAdded_;
    dirty_ = true;
  }
  std::uint32_t GetRawLinkCount() const noexcept;
  void SetModificationTime(std::int64_t ms);
  void SetChangeTime(std::int64_t ms);
  void SetAccessTime(std::int64_t ms);
  void SetCreationTime(std::int64_t ms);
  void SetMode(std::uint32_t mode);
  void SetOwner(std::uint32_t uid, std::uint32_t gid);
  void ClearFlags(std::uint32_t mask);
  void SetSize(std::uint64_t size);
  void SetBlockCount(std::uint64_t blocks);
  // The volume block of `fileBlock`, allocated when missing; `fresh` says
  // it holds nothing of the file yet.
  std::uint64_t MapBlockForWrite(std::uint64_t fileBlock, bool& fresh);
  // Maps up to `count` file blocks from `first` that are holes (or
  // uninitialised), stopping where the run stops being contiguous on the
  // volume or the volume is full; the run's start and length (0 when
  // nothing could be allocated). A block mapped past the run reads as
  // zeros.
  void AllocateRun(std::uint64_t first, std::uint64_t count, std::uint64_t& start,
                   std::uint64_t& length);
  // Frees every block mapped at or past `fileBlock`.
  void ReleaseFrom(std::uint64_t fileBlock);
  void AddLink();
  void DropLink();
  // Removes one name; the last frees the inode and its blocks.
  void RemoveName();
  // Frees an inode that has no name (left links at 0): its blocks, its
  // deletion time, its bit.
  void Discard();
  // Truncates or extends (extending zeroes what was past the old end).
  void Resize(std::uint64_t size);
  void SetSymlinkTarget(const std::string& target);
  void InitializeMap();
  std::uint8_t* MutableBytes() noexcept {
    dirty_ = true;
    return bytes_.data();
  }

 private:
  void SetTime(std::uint32_t secondsOffset, std::uint32_t extraOffset, std::int64_t ms);
  void Stamp(bool modified, bool changed, bool accessed);
  // The size in bytes of the extra part in use, 0 when it is not sound.
  std::uint32_t ExtraSize() const noexcept;
  std::int64_t TimeAt(std::uint32_t secondsOffset, std::uint32_t extraOffset) const noexcept;

  InodeCache* cache_;
  ExtfsDriver* driver_;
  std::uint32_t index_;
  std::vector<std::uint8_t> bytes_;
  std::string symlink_;
  bool symlinkRead_ = false;
  bool dirty_ = false;
  // The inode as the disk holds it, and the links and blocks added since
  // the last complete write-back.
  std::vector<std::uint8_t> diskBytes_;
  std::uint32_t linksAdded_ = 0;
  std::uint64_t blocksAdded_ = 0;
  InodeLocationProcessor* processor_ = nullptr;
  std::unique_ptr<BlockMapState> state_;
};

class InodeCache {
 public:
  static constexpr std::uint32_t kIdleLimit = 32;
  // Changed inodes stay until a write-back; past this many, one runs.
  static constexpr std::uint32_t kChangedLimit = 1024;
  explicit InodeCache(ExtfsDriver* driver);
  ~InodeCache();

  // A referenced inode; 0x4000d beyond the inodes count, 0x40007 for a free
  // inode.
  ExtfsInode* GetInode(std::uint32_t index);
  // A new referenced inode, built in memory for an index just allocated.
  ExtfsInode* CreateInode(std::uint32_t index, std::uint32_t objectType,
                          std::uint32_t inheritedFlags, std::uint32_t mode, std::uint32_t major,
                          std::uint32_t minor);
  // Deletes an unused inode with no links left once it is written back.
  void Forget(ExtfsInode* inode) noexcept;
  // Copies the form of `stage` of every changed inode into its table
  // block; adds the first sectors of the blocks that changed.
  void StageVersions(InodeStage stage, std::set<std::uint64_t>& sectors);
  // Every stage reached the disk: the current forms are the disk's.
  void NoteWrittenBack();
  std::uint32_t Count() const noexcept { return std::uint32_t(inodes_.size()); }
  InodeLocationProcessor* ProcessorFor(std::uint32_t flags);

 private:
  void Evict();
  ExtfsDriver* driver_;
  LRUList<ExtfsInode> recency_;
  std::map<std::uint32_t, ExtfsInode*> inodes_;
  std::unique_ptr<LegacyLocationProcessor> legacy_;
  std::unique_ptr<ExtentsLocationProcessor> extents_;
};

// Holds one use of an inode for a scope.
class InodeRef {
 public:
  InodeRef() = default;
  explicit InodeRef(ExtfsInode* inode) noexcept : inode_(inode) {}
  InodeRef(const InodeRef&) = delete;
  InodeRef& operator=(const InodeRef&) = delete;
  InodeRef(InodeRef&& other) noexcept : inode_(other.inode_) { other.inode_ = nullptr; }
  InodeRef& operator=(InodeRef&& other) noexcept {
    if (this != &other) {
      reset();
      inode_ = other.inode_;
      other.inode_ = nullptr;
    }
    return *this;
  }
  ~InodeRef() { reset(); }
  void reset() noexcept {
    if (inode_) inode_->Release();
    inode_ = nullptr;
  }
  ExtfsInode* get() const noexcept { return inode_; }
  ExtfsInode* operator->() const noexcept { return inode_; }
  explicit operator bool() const noexcept { return inode_ != nullptr; }

 private:
  ExtfsInode* inode_ = nullptr;
};

}  // namespace extfs
}  // namespace filesystems
