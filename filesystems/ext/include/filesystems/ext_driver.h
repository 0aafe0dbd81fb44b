// The ext driver: a mounted ext2, ext3 or ext4 volume.
//
// The constructor reads the superblock, checks every field it relies on,
// reads the group-descriptor table and decides whether the volume may be
// written. Superblock and descriptors stay in memory for the whole mount and
// go back to disk, primary copies only, at Flush and unmount.
//
// A volume is mounted read-only when an entry filter is in force, when it
// carries a read-only-compatible feature this driver does not maintain
// (metadata checksums, big allocation clusters, directory indexes...), or
// when its journal needs recovery: the journal is never replayed here, and
// its flag stays set so that the next full checker or mount replays it.
//
// Block numbers here are volume blocks; inode indices are inode numbers - 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filesystems/views.h"

namespace filesystems {
namespace extfs {

constexpr std::uint32_t kExtVolumeModuleId = 0x7A130000;
constexpr std::uint32_t kExtInodeModuleId = 0x7A131000;
constexpr std::uint32_t kExtBlockMapModuleId = 0x7A132000;
constexpr std::uint32_t kExtDirectoryModuleId = 0x7A134000;
constexpr std::uint32_t kExtFileModuleId = 0x7A135000;

// The version code of a mount.
enum ExtfsVersion : std::uint32_t { kExt4 = 4, kExt3 = 5, kExt2 = 6 };

// Feature bits.
constexpr std::uint32_t kCompatHasJournal = 0x4;
constexpr std::uint32_t kIncompatFiletype = 0x2;
constexpr std::uint32_t kIncompatRecover = 0x4;
constexpr std::uint32_t kIncompatMetaBg = 0x10;
constexpr std::uint32_t kIncompatExtents = 0x40;
constexpr std::uint32_t kIncompat64Bit = 0x80;
constexpr std::uint32_t kIncompatFlexBg = 0x200;
constexpr std::uint32_t kIncompatSupported = 0x2D6;
constexpr std::uint32_t kRoCompatSparseSuper = 0x1;
constexpr std::uint32_t kRoCompatLargeFile = 0x2;
constexpr std::uint32_t kRoCompatHugeFile = 0x8;
constexpr std::uint32_t kRoCompatGdtCsum = 0x10;
constexpr std::uint32_t kRoCompatDirNlink = 0x20;
constexpr std::uint32_t kRoCompatExtraIsize = 0x40;
constexpr std::uint32_t kRoCompatBigalloc = 0x200;
constexpr std::uint32_t kRoCompatWritable = 0x7B;

// The reflected CRC-16 with polynomial 0xA001 from `crc`, no final inversion.
std::uint16_t Crc16(std::uint16_t crc, const void* data, std::size_t size);

class ExtfsAllocator;
class ExtfsInode;
class InodeCache;

class ExtfsDriver : public FileSystemDriverPosix {
 public:
  static constexpr std::uint32_t kSuperblockSize = 1024;
  static constexpr std::uint32_t kMaxLogBlockSize = 6;

  // Throws 0x4000d for a damaged volume and 0x4000e for one this driver
  // cannot handle; the probe turns both into "not this file system".
  ExtfsDriver(Fdisk::SimpleDisk* device, std::uint64_t offset, std::uint64_t size,
              std::uint32_t cacheKey, const std::uint8_t* filter, std::uint32_t filterBits);
  ~ExtfsDriver() override;

  void Flush() override;
  // Writes the dirty blocks in an order that leaves the volume sound when
  // the device stops taking writes part-way, at worst with blocks or
  // inodes marked in use that nothing uses, link counts too high, or
  // directories no entry reaches: blocks new since the last write-back
  // first (nothing on disk points at them yet), then the bitmaps that mark
  // them in use and the descriptors, then the inodes in their early forms
  // (see InodeStage), then the other blocks (existing directory and map
  // blocks, data written over), then freed inodes and the inodes whose
  // link counts fell, the superblock last. It stops at the first refused
  // write. Any state between operations may be written this way.
  void WriteBackCache() override;
  // A complete write-back now, for changes that must reach the disk before
  // the next one is made (a directory move). A failure is kept for the
  // next Flush to report; false then, and false while write-backs are held.
  bool WriteBackNow() noexcept;
  // Holds write-backs the block cache would start while an inode maps
  // blocks it has not filled or counted in its size yet (a file written, a
  // directory grown, a link's new target): the cache then runs over its
  // limit for a moment instead. One guard per scope.
  class WriteBackHold {
   public:
    explicit WriteBackHold(ExtfsDriver* driver) noexcept : driver_(driver) { ++driver_->holds_; }
    ~WriteBackHold() { --driver_->holds_; }
    WriteBackHold(const WriteBackHold&) = delete;
    WriteBackHold& operator=(const WriteBackHold&) = delete;

   private:
    ExtfsDriver* driver_;
  };
  // A block just allocated: until the next complete write-back nothing on
  // disk refers to it. `NoteFreedBlock` takes a freed one off again.
  void NoteFreshBlock(std::uint64_t block);
  void NoteFreedBlock(std::uint64_t block) noexcept { freshBlocks_.erase(block); }
  void GetVolumeSizes(std::uint64_t& total, std::uint64_t& free,
                      std::uint64_t& available) override;
  void GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) override;
  int CompareIdentifiers(const file_identifier* a, const file_identifier* b) override;
  void NormalizeNameCase(std::u16string&) override {}
  bool CanBackup() override { return true; }
  bool CanRestore() override { return false; }
  void RestoreOriginalDevice() override;
  DirectoryObject* CreateDirectoryObject(std::uint32_t directoryId) override;
  const char* GetFileSystemName() override;

  // Feature and geometry queries.
  std::uint32_t GetCompatFeatures() const noexcept;
  std::uint32_t GetIncompatFeatures() const noexcept;
  std::uint32_t GetRoCompatFeatures() const noexcept;
  bool Is64Bit() const noexcept { return (GetIncompatFeatures() & kIncompat64Bit) != 0; }
  bool HasGroupDescriptorChecksums() const noexcept {
    return (GetRoCompatFeatures() & kRoCompatGdtCsum) != 0;
  }
  std::uint32_t GetDescriptorSize() const noexcept { return descriptorSize_; }
  std::uint32_t GetMaxLinkCount() const noexcept { return version_ == kExt4 ? 65000 : 32000; }
  std::uint32_t GetNewInodeExtraSize() const noexcept;
  ExtfsVersion Version() const noexcept { return version_; }
  bool ReadOnly() const noexcept { return readOnly_; }
  // Why the mount is read-only, for tools: 0 writable, else the reason bits.
  static constexpr std::uint32_t kReadOnlyFilter = 0x1;
  static constexpr std::uint32_t kReadOnlyFeatures = 0x2;
  static constexpr std::uint32_t kReadOnlyJournal = 0x4;
  std::uint32_t ReadOnlyReasons() const noexcept { return readOnlyReasons_; }

  std::uint32_t BlockSize() const noexcept { return blockSize_; }
  std::uint32_t LogBlockSize() const noexcept { return logBlockSize_; }
  std::uint32_t SectorsPerBlock() const noexcept { return sectorsPerBlock_; }
  std::uint64_t BlockCount() const noexcept { return blockCount_; }
  std::uint64_t FreeBlockCount() const noexcept { return freeBlockCount_; }
  std::uint32_t BlocksPerGroup() const noexcept { return blocksPerGroup_; }
  std::uint32_t InodesPerGroup() const noexcept { return inodesPerGroup_; }
  std::uint32_t InodeSize() const noexcept { return inodeSize_; }
  std::uint32_t InodesCount() const noexcept { return inodesCount_; }
  std::uint32_t FreeInodesCount() const noexcept { return freeInodesCount_; }
  std::uint32_t FirstInodeIndex() const noexcept { return firstInodeIndex_; }
  std::uint32_t FirstDataBlock() const noexcept { return firstDataBlock_; }
  std::uint32_t GroupCount() const noexcept { return groupCount_; }
  std::uint32_t DescriptorBlocks() const noexcept { return descriptorBlocks_; }
  std::uint32_t InodeTableBlocks() const noexcept { return inodeTableBlocks_; }
  std::uint32_t PointersPerBlock() const noexcept { return blockSize_ / 4; }
  const std::uint8_t* Superblock() const noexcept { return superblock_; }

  // The block holding the primary superblock; the classic descriptor table
  // starts in the next one.
  std::uint32_t SuperblockBlock() const noexcept;
  // True when group `group` holds a superblock backup.
  bool HasSuperblockBackup(std::uint32_t group) const noexcept;
  // The descriptor checksum of `group` over the descriptor's bytes.
  std::uint16_t GroupDescriptorChecksum(std::uint32_t group, const std::uint8_t* descriptor) const;

  // Descriptor access (0x4000d beyond the group count). The write form marks
  // the group and the superblock for write-back.
  const std::uint8_t* GetGroupDescriptor(std::uint32_t group) const;
  std::uint8_t* GetGroupDescriptorForWrite(std::uint32_t group);
  std::uint64_t GetBlockBitmapBlock(std::uint32_t group) const;
  std::uint64_t GetInodeBitmapBlock(std::uint32_t group) const;
  std::uint64_t GetInodeTableBlock(std::uint32_t group) const;

  // The inode-table block holding inode `index`, and its byte offset there.
  BlockHandle GetInodeBlock(std::uint32_t index, std::uint32_t& offset);
  // One volume block through the block cache; `noRead` for a block about to
  // be overwritten whole.
  BlockHandle GetBlock(std::uint64_t block, bool noRead);
  void ReadBlocksAt(void* buffer, std::uint64_t first, std::uint64_t count);
  // True when the inode index may be opened under the entry filter.
  bool IsInodeFiltered(std::uint32_t index) const noexcept;

  // The inode cache of the mount.
  ExtfsInode* GetInode(std::uint32_t index);
  // A new inode built in memory for an index just allocated (referenced).
  ExtfsInode* CreateInode(std::uint32_t index, std::uint32_t objectType,
                          std::uint32_t inheritedFlags, std::uint32_t mode, std::uint32_t major,
                          std::uint32_t minor);

  // The allocators of a writable mount (0x4000c on a read-only one).
  ExtfsAllocator& BlockAllocator();
  ExtfsAllocator& InodeAllocator();
  // Sets a read-only-compatible feature this driver maintains (LARGE_FILE
  // on any version, HUGE_FILE and DIR_NLINK on ext4); false for others.
  bool EnableRoCompatFeature(std::uint32_t bit);
  // Whole blocks written from `buffer`, and whole blocks zeroed.
  void WriteBlocksAt(const void* buffer, std::uint64_t first, std::uint64_t count);
  void ZeroBlocks(std::uint64_t first, std::uint64_t count);
  InodeCache& Inodes() noexcept { return *inodes_; }

  // Write-back of the descriptors and the superblock (no-ops when clean).
  void WriteGroupDescriptors();
  void WriteSuperblock();

  // Throws 0x4000c on a read-only mount.
  void RequireWritable(std::uint32_t site) const;

  // The one file object of each open file, shared by all its opens; a file
  // object removes itself when the framework deletes it.
  FileObject* OpenFileObject(std::uint32_t inodeIndex);
  void ForgetFileObject(std::uint32_t inodeIndex) noexcept { openFiles_.erase(inodeIndex); }

 private:
  void ReadSuperblock();
  void CheckFeatures();
  void LoadGroupDescriptors();
  void VerifyGroupDescriptors() const;
  std::uint64_t DescriptorBlockOf(std::uint32_t group) const;
  void WriteBack() noexcept;
  // The write-back order of a cached block (see WriteBackCache).
  std::uint32_t WriteBackPhaseOf(std::uint64_t firstSector);
  // Writes the dirty cached blocks that start at one of `sectors`.
  void WriteBackSectors(const std::set<std::uint64_t>& sectors);
  void FindMetadataBlocks();

  const std::uint8_t* filter_;
  std::uint32_t filterBits_;
  bool readOnly_ = false;
  std::uint32_t readOnlyReasons_ = 0;
  std::uint8_t superblock_[kSuperblockSize] = {};
  bool superblockDirty_ = false;
  ExtfsVersion version_ = kExt2;
  std::u16string label_;
  std::uint32_t sectorsPerBlock_ = 0;
  std::uint32_t blockSize_ = 0;
  std::uint32_t logBlockSize_ = 0;
  std::uint64_t blockCount_ = 0;
  std::uint64_t freeBlockCount_ = 0;
  std::uint32_t blocksPerGroup_ = 0;
  std::uint32_t firstInodeIndex_ = 0;
  std::uint32_t inodeSize_ = 0;
  std::uint32_t inodesPerBlock_ = 0;
  std::uint32_t inodesPerGroup_ = 0;
  std::uint32_t inodeTableBlocks_ = 0;
  std::uint32_t firstDataBlock_ = 0;
  std::uint32_t descriptorBlocks_ = 0;
  std::uint32_t inodesCount_ = 0;
  std::uint32_t freeInodesCount_ = 0;
  std::uint32_t groupCount_ = 0;
  std::uint32_t descriptorSize_ = 32;
  std::vector<std::uint8_t> descriptors_;
  std::vector<bool> dirtyGroups_;
  std::unique_ptr<InodeCache> inodes_;
  std::unique_ptr<ExtfsAllocator> blockAllocator_;
  std::unique_ptr<ExtfsAllocator> inodeAllocator_;
  std::map<std::uint32_t, FileObject*> openFiles_;
  std::set<std::uint64_t> freshBlocks_;
  std::uint32_t holds_ = 0;
  // Bitmap and descriptor blocks; inode tables as first block -> end.
  std::set<std::uint64_t> bitmapBlocks_;
  std::set<std::uint64_t> descriptorBlockSet_;
  std::map<std::uint64_t, std::uint64_t> inodeTables_;
};

// A new driver over the volume, or null when it is not a sound ext volume
// this driver can mount.
FileSystemDriver* OpenExtVolume(Fdisk::SimpleDisk* device, std::uint64_t offset,
                                std::uint64_t size, std::uint32_t cacheKey,
                                const std::uint8_t* filter, std::uint32_t filterBits);

}  // namespace extfs
}  // namespace filesystems
