// The abstract driver of one mounted volume and the objects every
// file-system driver hands out: files, directories, directory iterators,
// backup serialisers and restore consumers; the shared block cache with its
// handles; the directory-object and path caches; the process-wide mount
// registry, global lock and map of block-cache accounts.
//
// A driver reads and writes its volume through a volume device (an
// `Fdisk::SimpleDisk`), addressed in sectors. Every position here is a
// sector number relative to the partition unless called a byte offset; the
// driver adds its partition offset before a request reaches the device.
//
// Lock order: a driver's object lock, then the global lock, then a
// block-cache account's lock, then a driver's cache lock. All are re-entrant.
//
// Failures are thrown as `Common::Error`. Destructors and handle releases
// never throw: a write-back that fails while a handle goes out of scope keeps
// the block dirty and leaves the failure for the next `Flush`.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <new>
#include <string>

#include "common/error.h"
#include "fdisk/simple_disk.h"
#include "files/dir.h"
#include "files/file_object.h"
#include "foundation/sync.h"

namespace filesystems {

// Module ids of this library's source files.
constexpr std::uint32_t kDriverModuleId = 0x7A101000;
constexpr std::uint32_t kBlockCacheModuleId = 0x7A102000;
constexpr std::uint32_t kDirectoryCacheModuleId = 0x7A103000;
constexpr std::uint32_t kReferencesModuleId = 0x7A104000;
constexpr std::uint32_t kBackupModuleId = 0x7A105000;
constexpr std::uint32_t kFactoryModuleId = 0x7A106000;

// Builds and throws a file error (facility 4) with its catalog text, with
// `cause` attached when it holds an error.
[[noreturn]] void ThrowFileError(std::uint32_t site, std::uint32_t moduleId, std::uint32_t code,
                                 const Common::Error& cause = Common::Error());
Common::Error MakeFsError(std::uint32_t site, std::uint32_t moduleId, std::uint32_t code,
                          const Common::Error& cause = Common::Error());

// The cap on any single allocation whose size comes from data on disk
// (counts, lengths, table sizes). A larger request is a damaged volume, not
// a reason to exhaust the heap: `CheckDiskSizedAllocation` throws 0x4000d.
constexpr std::uint64_t kMaxDiskSizedAllocation = 64u * 1024u * 1024u;
std::size_t CheckDiskSizedAllocation(std::uint64_t bytes);

// Turns an exhausted heap into `Common::Error` 0x40006 for the current scope
// and puts the previous new-handler back on exit.
class NewHandlerGuard {
 public:
  NewHandlerGuard() noexcept;
  ~NewHandlerGuard();
  NewHandlerGuard(const NewHandlerGuard&) = delete;
  NewHandlerGuard& operator=(const NewHandlerGuard&) = delete;

 private:
  std::new_handler previous_;
};

// A use count changed only with locked increments and decrements.
class ReferenceCount {
 public:
  virtual ~ReferenceCount();
  std::int32_t AddUse() noexcept { return uses_.fetch_add(1, std::memory_order_acq_rel) + 1; }
  std::int32_t DropUse() noexcept { return uses_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  std::int32_t Uses() const noexcept { return uses_.load(std::memory_order_acquire); }

 protected:
  ReferenceCount() = default;

 private:
  std::atomic<std::int32_t> uses_{0};
};

// An intrusive doubly linked list node; the owner keeps a sentinel whose
// links point at itself when the list is empty.
template <class T>
struct LRUList {
  LRUList* next = this;
  LRUList* previous = this;

  bool Linked() const noexcept { return next != this; }
  void Unlink() noexcept {
    previous->next = next;
    next->previous = previous;
    next = previous = this;
  }
  // Inserts `node` before this one (at the back when this is the sentinel).
  void InsertBefore(LRUList* node) noexcept {
    node->next = this;
    node->previous = previous;
    previous->next = node;
    previous = node;
  }
};

// Optional operations of a volume device beyond sector I/O. A device that
// offers them derives from this as well as from `Fdisk::SimpleDisk`; the
// driver finds them with a dynamic cast and does without them otherwise.
class VolumeDeviceServices {
 public:
  virtual ~VolumeDeviceServices();
  // The error a substitute device holds back, null when none.
  virtual Common::Error PendingError();
  // A data position as the base device sees it.
  virtual std::uint64_t TranslateDataPosition(std::uint64_t position);
  // This area of the disk changed (tell the owner of the disk's model).
  virtual void NotifyChangedArea(std::uint64_t firstSector, std::uint64_t sectorCount);
  // Unlock the volume; base: not supported.
  virtual Common::Error Unlock();
};

// Helpers for drivers' volume answers.
// The label into a caller's buffer of `capacity` units, cut to fit and
// always terminated (nothing is written when capacity is 0).
void CopyVolumeLabel(const std::u16string& label, char16_t* buffer, std::uint32_t capacity);
// Identifiers that carry a name, ordered by UTF-16 code units; one without
// a name sorts first.
int CompareIdentifierNames(const file_identifier* a, const file_identifier* b);

class FileSystemDriver;

// One mounted volume as other components see it.
class FileSystemMountHandler : public ReferenceCount {
 public:
  // Option bits.
  static constexpr std::uint32_t kUnlockAtDestruction = 0x1;
  static constexpr std::uint32_t kDeleteDeviceAtDestruction = 0x2;
  static constexpr std::uint32_t kNotifyChangedArea = 0x4;
  static constexpr std::uint32_t kTranslateDataPosition = 0x10;

  ~FileSystemMountHandler() override;
  virtual void Flush();
  // New framework directory objects (the directory views implement them).
  virtual rio_dir* OpenRootDirectory() = 0;
  virtual rio_dir* OpenDirectory(const char16_t* path) = 0;

  // Drops one use; the last one deletes the handler (see the mount registry).
  void Release() noexcept;

  std::uint32_t mountKey = 0;
  std::uint32_t options = 0;
};

// The mount registry: mount key to handler. Registering sets the key.
void RegisterMount(std::uint32_t key, FileSystemMountHandler* handler);
FileSystemMountHandler* FindMount(std::uint32_t key);
// Flushes every registered handler in key order and drops the entries
// (what process exit does); handlers are not deleted.
void FlushMountRegistry() noexcept;

// The global lock around the mount registry and the map of accounts.
Common::CriticalSection& GlobalLock();

// "GFST": the file-system name as 16-bit units, terminator included.
struct gfst_request : control_request {
  gfst_request() noexcept : control_request{kControlGFST} {}
  char16_t name[16] = {};
};
// "GSYP" of a mounted volume: its mount key.
struct gsyp_mount_request : control_request {
  gsyp_mount_request() noexcept : control_request{kControlGSYP} {}
  std::uint32_t mountKey = 0;
};
// "GPHL": the volume position where an entry's data start. `iterator` is an
// iterator made by the volume's directory views.
struct gphl_request : control_request {
  gphl_request() noexcept : control_request{kControlGPHL} {}
  i_dir::iterator* iterator = nullptr;
  std::uint64_t position = 0;
};

// A handle on the data of a cached block; the block's header lies just
// before the data. Copying adds a use, destruction drops one.
class BlockHandle {
 public:
  struct Header;

  BlockHandle() noexcept = default;
  BlockHandle(const BlockHandle& other) noexcept { Assign(other); }
  BlockHandle& operator=(const BlockHandle& other) noexcept {
    Assign(other);
    return *this;
  }
  ~BlockHandle() { Release(); }

  void Release() noexcept;
  void Assign(const BlockHandle& other) noexcept;
  // Call before changing the data: the mount's first write probes the device
  // (0x4000c when it refuses). Then change the bytes and call MarkDirty.
  void PrepareWrite();
  void MarkDirty() noexcept;
  // Re-keys the block at another first sector and marks it dirty.
  void Relocate(std::uint64_t newFirstSector);

  std::uint8_t* Data() const noexcept { return data_; }
  explicit operator bool() const noexcept { return data_ != nullptr; }
  std::uint64_t FirstSector() const noexcept;
  std::uint32_t SectorCount() const noexcept;
  bool IsDirty() const noexcept;

 private:
  friend class FileSystemDriver;
  explicit BlockHandle(std::uint8_t* data) noexcept : data_(data) {}
  Header* header() const noexcept;
  std::uint8_t* data_ = nullptr;
};

// The driver of one partition.
class FileSystemDriver : public FileSystemMountHandler {
 public:
  class FileSystemCache;
  class FileObject;
  class DirectoryObject;
  class IteratorObject;
  class BackupObject;
  class RestoreObject;

  // The block-cache limit of one account.
  static constexpr std::uint32_t kCacheLimit = 4u * 1024u * 1024u;
  // Path-cache and directory-cache limits.
  static constexpr std::size_t kPathCacheLimit = 256;
  static constexpr std::uint32_t kDirectoryObjectLimit = 8;

  FileSystemDriver(Fdisk::SimpleDisk* device, std::uint64_t partitionOffset,
                   std::uint64_t partitionSize, std::uint32_t cacheKey);
  ~FileSystemDriver() override;

  // 1-14, in slot order.
  void Flush() override;
  virtual void GetVolumeSizes(std::uint64_t& total, std::uint64_t& free,
                              std::uint64_t& available) = 0;
  virtual void GetVolumeLabel(char16_t* buffer, std::uint32_t capacity) = 0;
  virtual int CompareIdentifiers(const file_identifier* a, const file_identifier* b) = 0;
  virtual void NormalizeNameCase(std::u16string& path);
  virtual void Control(control_request* request);
  virtual bool CanBackup();
  virtual bool CanRestore();
  virtual void RestoreOriginalDevice();
  virtual DirectoryObject* CreateDirectoryObject(std::uint32_t directoryId) = 0;
  virtual const char* GetFileSystemName() = 0;
  virtual void WriteBackCache();

  // Block cache.
  BlockHandle GetBlocks(std::uint64_t firstSector, std::uint64_t count, bool skipRead);
  void DiscardBlock(std::uint64_t firstSector);
  void ReadBlocks(void* buffer, std::uint64_t firstSector, std::uint64_t count);
  void WriteBlocks(const void* buffer, std::uint64_t firstSector, std::uint64_t count);
  void ReadBlocksUnaligned(void* buffer, std::uint64_t firstSector, std::uint64_t count,
                           std::uint64_t unitSectors, std::uint64_t unitBase);
  void WriteBackCacheLocked();

  // Directory-object cache and path operations ('/' separated, leading '/').
  DirectoryObject* GetDirectoryObject(std::uint32_t directoryId);
  void DeleteDirectoryObjects() noexcept;
  DirectoryObject* OpenDirectoryByPath(const std::u16string& path);
  void Rename(const std::u16string& source, const std::u16string& target);
  void CreateHardLink(const std::u16string& newPath, const std::u16string& existingPath);
  void CreateSymlink(const std::u16string& linkPath, const std::u16string& target);
  void RemoveDirectory(const std::u16string& path);
  void ClearPathCache() noexcept { pathCache_.clear(); }

  Common::CriticalSection& ObjectLock() noexcept { return objectLock_; }
  std::uint32_t SectorSize() const noexcept { return sectorSize_; }
  std::uint64_t PartitionSize() const noexcept { return partitionSize_; }
  std::uint64_t PartitionOffset() const noexcept { return partitionOffset_; }
  bool Written() const noexcept { return written_; }
  Fdisk::SimpleDisk* Device() const noexcept { return device_; }
  FileSystemCache* CacheAccount() const noexcept { return account_; }
  std::uint32_t DirectoryObjectCount() const noexcept { return directoryObjectCount_; }
  std::size_t PathCacheSize() const noexcept { return pathCache_.size(); }
  bool PathCached(const std::u16string& key) const { return pathCache_.count(key) != 0; }
  std::size_t CachedBlockCount() const;

  // Written-files list upkeep (the file references do this).
  void AddWrittenFile(FileObject* file) noexcept;
  void RemoveWrittenFile(FileObject* file) noexcept;

  // Installs a substitute device that serves I/O until the first write of the
  // mount (or destruction); the driver then owns it.
  void InstallSubstituteDevice(Fdisk::SimpleDisk* substitute) noexcept;

 protected:
  // Writes one run of a block straight to the device; helper for
  // write-backs of drivers that override WriteBackCache.
  Common::Error DeviceIo(std::uint32_t op, std::uint64_t sector, void* buffer,
                         std::uint64_t count);
  // For derived WriteBackCache overrides: every dirty block in order.
  template <class F>
  void ForEachBlock(F f);
  // Writes one dirty block; on success clears its mark. Returns the failure.
  Common::Error WriteBackBlock(BlockHandle::Header* block);
  // Remembers a write-back failure that no caller could be told about; the
  // next Flush reports it.
  void RememberWriteBackFailure(const Common::Error& error) noexcept;
  // What a derived write-back needs to know of a cached block, and the way
  // to take its dirty mark off before writing it somewhere of its own.
  static std::uint64_t BlockFirstSector(const BlockHandle::Header* block) noexcept;
  static std::uint32_t BlockSectorCount(const BlockHandle::Header* block) noexcept;
  static bool BlockIsDirty(const BlockHandle::Header* block) noexcept;
  static void SetBlockDirty(BlockHandle::Header* block, bool dirty) noexcept;
  static std::uint8_t* BlockData(BlockHandle::Header* block) noexcept;

 private:
  friend class BlockHandle;
  friend class DirectoryObject;
  friend class FileSystemCache;

  void ReleaseBlock(BlockHandle::Header* block) noexcept;
  void EvictBlock(BlockHandle::Header* block) noexcept;
  void FreeBlock(BlockHandle::Header* block) noexcept;
  void ProbeWrite(BlockHandle::Header* block);
  void EvictForNewBlock();
  BlockHandle::Header* FindCovering(std::uint64_t sector, std::uint64_t& nextStart);
  void RemoveFreshBlock(BlockHandle::Header* block) noexcept;
  void DetachBlock(BlockHandle::Header* block) noexcept;
  bool DropShortBlock(std::uint64_t firstSector, std::uint64_t wanted);
  void UnlinkPathCacheEntries(std::uint32_t directoryId);
  std::uint32_t ResolveChild(DirectoryObject* parent, const std::u16string& name);

  std::uint64_t partitionSize_;
  std::uint32_t sectorSize_ = 0;
  std::map<std::uint64_t, BlockHandle::Header*> blocks_;
  Fdisk::SimpleDisk* device_;
  Fdisk::SimpleDisk* baseDevice_;
  std::uint64_t partitionOffset_;
  bool written_ = false;
  std::map<std::uint32_t, DirectoryObject*> directories_;
  std::map<std::u16string, std::uint32_t> pathCache_;
  Common::CriticalSection objectLock_;
  Common::CriticalSection cacheLock_;
  std::uint32_t directoryObjectCount_ = 0;
  LRUList<DirectoryObject> directoryLru_;
  bool writeBackRunning_ = false;
  LRUList<FileObject> writtenFiles_;
  FileSystemCache* account_ = nullptr;
  Common::Error pendingWriteFailure_;
};

// The block-cache account shared by every driver built with one cache key.
class FileSystemDriver::FileSystemCache : public ReferenceCount {
 public:
  explicit FileSystemCache(std::uint32_t key) : key_(key) {}
  ~FileSystemCache() override;

  // Drops one driver's use; the last one deletes the account.
  void Release() noexcept;

  std::uint32_t Key() const noexcept { return key_; }
  // The accounted bytes of every cached block of every driver of the key.
  std::uint64_t Total();
  Common::CriticalSection& Lock() noexcept { return lock_; }

  // Finds (with `create`, makes) the account of a key and adds one use.
  static FileSystemCache* Acquire(std::uint32_t key);
  // The live account of a key, or null (for tests and tools).
  static FileSystemCache* Find(std::uint32_t key);

 private:
  friend class FileSystemDriver;
  friend class BlockHandle;
  std::uint32_t key_;
  std::uint64_t total_ = 0;
  LRUList<BlockHandle::Header> lru_;
  Common::CriticalSection lock_;
};

// The accounted size of a cached block: (count + 1) x sector size + 39.
constexpr std::uint64_t BlockAccountedSize(std::uint64_t sectorCount, std::uint32_t sectorSize) {
  return (sectorCount + 1) * sectorSize + 39;
}

// One open file of the volume, shared by every framework file opened on it.
class FileSystemDriver::FileObject : public LRUList<FileObject> {
 public:
  virtual ~FileObject();
  virtual std::uint64_t GetSize() = 0;
  virtual std::uint64_t GetVolumeOffset(std::uint64_t offset) = 0;
  virtual void Read(void* buffer, std::uint64_t offset, std::uint32_t length,
                    std::uint32_t& done) = 0;
  virtual void Write(const void* buffer, std::uint64_t offset, std::uint32_t length,
                     std::uint32_t& done) = 0;
  virtual void SetSize(std::uint64_t size) = 0;
  virtual void SetTimes(std::uint64_t modification, std::uint64_t creation,
                        std::uint64_t access) = 0;
  virtual void Flush() = 0;
  virtual void Control(control_request* request);
  virtual std::uint64_t GetAllocationMap(std::uint64_t offset, std::uint64_t length);
  virtual BackupObject* CreateBackupObject(std::uint32_t option);
  virtual RestoreObject* CreateRestoreObject(std::uint32_t option);

  std::uint32_t openCount = 0;
  std::uint32_t writerCount = 0;
  std::uint32_t exclusiveCount = 0;
};

// One directory of the volume, owned by the driver's directory-id set.
class FileSystemDriver::DirectoryObject : public ReferenceCount,
                                          public LRUList<DirectoryObject> {
 public:
  DirectoryObject(FileSystemDriver* driver, std::uint32_t directoryId);
  ~DirectoryObject() override;

  virtual IteratorObject* OpenIteratorAt(const file_identifier* id) = 0;
  virtual IteratorObject* OpenIteratorFor(const std::u16string& name) = 0;
  virtual IteratorObject* OpenIterator() = 0;
  // 0x40007 when the name is missing or not a directory.
  virtual std::uint32_t GetChildDirectoryId(const std::u16string& name) = 0;
  virtual FileObject* OpenFileByIdentifier(const file_identifier* id) = 0;
  virtual FileObject* OpenFileAt(IteratorObject* at) = 0;
  virtual FileObject* OpenFile(const std::u16string& name) = 0;
  virtual FileObject* CreateFile(const std::u16string& name) = 0;
  virtual void DeleteFile(const std::u16string& name) = 0;
  virtual void RemoveDirectory(const std::u16string& name) = 0;
  virtual void CreateDirectory(const std::u16string& name) = 0;
  virtual void MoveEntry(const std::u16string& name, DirectoryObject* target,
                         const std::u16string& targetName) = 0;
  virtual void CreateHardLink(const std::u16string& name, DirectoryObject* existingDirectory,
                              const std::u16string& existingName) = 0;
  virtual void CreateSymlink(const std::u16string& name, const std::u16string& target) = 0;
  virtual void SetSecurityData(const std::u16string& name, const void* data, std::uint32_t size);
  virtual void SetAttributes(const std::u16string& name, std::uint32_t attributes) = 0;
  virtual void SetMode(const std::u16string& name, std::uint32_t mode);
  virtual void SetOwner(const std::u16string& name, std::uint32_t owner, std::uint32_t group);
  virtual void SetTimes(const std::u16string& name, std::uint64_t modification,
                        std::uint64_t creation, std::uint64_t access);
  virtual void CreateNode(const std::u16string& name, std::uint32_t type, std::uint32_t mode,
                          std::uint32_t major, std::uint32_t minor);
  virtual void SetShortName(const std::u16string& name, const std::u16string& shortName);
  virtual BackupObject* CreateBackupObject(IteratorObject* at, std::uint32_t option);
  virtual RestoreObject* CreateRestoreObject(std::uint32_t option);

  FileSystemDriver* Driver() const noexcept { return driver_; }
  std::uint32_t Id() const noexcept { return id_; }

 private:
  FileSystemDriver* driver_;
  std::uint32_t id_;
};

// The driver's iterator behind an iterator of a directory view, or null
// when it stands on no entry or was not made by a view.
FileSystemDriver::IteratorObject* IteratorObjectOf(i_dir::iterator* iterator) noexcept;

// Ends one temporary use of a directory object (no lock needed).
inline void ReleaseDirectoryUse(FileSystemDriver::DirectoryObject* directory) noexcept {
  if (directory) directory->DropUse();
}

// A cursor over the entries of one directory, standing on an entry.
class FileSystemDriver::IteratorObject {
 public:
  virtual ~IteratorObject();
  virtual bool Next() = 0;
  virtual file_identifier* GetIdentifier() = 0;
  virtual const char16_t* GetName() = 0;
  virtual std::uint64_t GetSize() = 0;
  virtual std::uint64_t GetAllocatedSize() = 0;
  virtual std::uint32_t GetObjectType() = 0;
  virtual std::uint64_t GetModificationTime() = 0;
  virtual std::uint64_t GetChangeTime();
  virtual std::uint64_t GetCreationTime() = 0;
  virtual std::uint64_t GetAccessTime() = 0;
  virtual bool IsHidden() = 0;
  virtual std::uint64_t GetEntryId() = 0;
  virtual std::uint64_t GetDataPosition() = 0;
  virtual const char16_t* GetShortName();
  virtual std::uint32_t GetAttributes();
  virtual std::uint32_t GetMode();
  virtual std::uint32_t GetSecurityData(const void** data);
  virtual std::uint32_t GetLinkCount();
  virtual std::uint32_t GetOwnerId();
  virtual std::uint32_t GetGroupId();
  virtual std::uint32_t GetDeviceMajor();
  virtual std::uint32_t GetDeviceMinor();
  virtual const char16_t* GetSymlinkTarget();
};

// Produces one entry's backup stream chunk by chunk (see backup.h).
class FileSystemDriver::BackupObject {
 public:
  virtual ~BackupObject();
  // Fills `buffer` (of `wantedSize` bytes) with the next chunk of the
  // current item and returns its byte count; advances `itemKind` when an
  // item ends (0: nothing further).
  virtual std::uint32_t ProduceChunk(void* buffer, std::uint32_t capacity) = 0;

  std::uint32_t itemKind = 0;
  std::uint32_t wantedSize = 0x10000;
  std::uint32_t alignment = 1;
};

// Consumes one entry's backup stream chunk by chunk (see backup.h).
class FileSystemDriver::RestoreObject {
 public:
  virtual ~RestoreObject();
  // One chunk of an item of `kind`; `size` 0 ends the item.
  virtual void ConsumeChunk(std::uint32_t kind, const void* data, std::uint32_t size) = 0;
};

template <class F>
void FileSystemDriver::ForEachBlock(F f) {
  for (auto& entry : blocks_) f(entry.second);
}

}  // namespace filesystems
