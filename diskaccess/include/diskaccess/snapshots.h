// Snapshot volumes: a volume shown read-only as it was when its snapshot
// started, while the real volume goes on changing.
//
// - Fdisk::SnapshotVolume: the interface; real_snapshot_volume copies a
//   volume handler's disk view and answers the snapshot operations with
//   neutral values or "not supported"; win_snapshot_volume reads either the
//   library's snapshot (sbRead, with the data the library hands over kept in
//   the temporary storage) or the live volume under an exclusive lock.
// - SnapshotGroup: the volumes snapshotted together; owns the library's
//   snapshot handle, the transfer buffer and the reader thread that takes
//   over the old data of sectors about to be overwritten.
// - SnapshotStorage: the one temporary file of the process in which that
//   data is kept (created new, unbuffered, deleted on close).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/error.h"
#include "diskaccess/objects.h"
#include "fdisk/simple_disk.h"
#include "foundation/sync.h"

class win_vol_handler;
class win_snapshot_volume;

namespace Da {

namespace Module {
constexpr std::uint32_t kSnapshotBase = 0x872A1035;  // real_snapshot_volume
}  // namespace Module

namespace SnapCode {
constexpr std::uint32_t kSetHandleUnsupported = 0x102002;
constexpr std::uint32_t kBlockDevice = 0x102003;
constexpr std::uint32_t kLockSequence = 0x102004;
constexpr std::uint32_t kMemorySequence = 0x102005;
constexpr std::uint32_t kHandleSequence = 0x102006;
constexpr std::uint32_t kLockAndCreate = 0x102007;
constexpr std::uint32_t kBitmapSequence = 0x102008;
constexpr std::uint32_t kReadOnly = 0x102009;
constexpr std::uint32_t kOptimizeExt = 0x10200A;
constexpr std::uint32_t kVssParameters = 0x10200B;
constexpr std::uint32_t kChangedBlocks = 0x10200C;
constexpr std::uint32_t kStart = 0x10C442;
constexpr std::uint32_t kUnlockSnapshot = 0x10C443;
constexpr std::uint32_t kUnlockVolume = 0x10C444;
constexpr std::uint32_t kParams = 0x10C445;
constexpr std::uint32_t kIncompatible = 0x10C446;
constexpr std::uint32_t kCreate = 0x10C447;
constexpr std::uint32_t kAddVolume = 0x10C448;
constexpr std::uint32_t kLock = 0x10C449;
constexpr std::uint32_t kReadState = 0x10C44A;
constexpr std::uint32_t kReadStateInconsistent = 0x10C44B;
constexpr std::uint32_t kAllocate = 0x10C44C;
constexpr std::uint32_t kBlockLimit = 0x10C44D;
constexpr std::uint32_t kSetBitmap = 0x10C44E;
constexpr std::uint32_t kVolumeStat = 0x10C44F;
constexpr std::uint32_t kOpenFilesMemory = 0x10C450;
constexpr std::uint32_t kOpenFiles = 0x10C451;
constexpr std::uint32_t kTempDirectory = 0x10C452;
constexpr std::uint32_t kTempName = 0x10C453;
constexpr std::uint32_t kTempCreate = 0x10C454;
constexpr std::uint32_t kTempWrite = 0x10C456;
constexpr std::uint32_t kTempWriteShort = 0x10C457;
constexpr std::uint32_t kTempRead = 0x10C458;
constexpr std::uint32_t kTempReadShort = 0x10C459;
constexpr std::uint32_t kRead = 0x10C45A;
constexpr std::uint32_t kTempInfo = 0x10C465;
constexpr std::uint32_t kTempUnused = 0x10C466;
}  // namespace SnapCode

// ------------------------------------------------ the platform underneath

// The library's wake-up event (the word sbGetParams hands out).
bool SnapshotEventWait(std::uint32_t event);
bool SnapshotEventSet(std::uint32_t event);
bool SnapshotEventReset(std::uint32_t event);

// What the temporary storage asks of the system. Results that are not
// bool are 0 on success and otherwise the system's error number.
class SnapshotFileSystem {
 public:
  virtual ~SnapshotFileSystem();
  // The temporary folder into `path`; the answer is its length in UTF-16
  // units (0 on failure, with `error` set; 260 or more when it does not fit).
  virtual std::uint32_t TempPath(std::u16string& path, std::uint32_t& error) = 0;
  virtual void MakeDirectory(const std::u16string& directory) = 0;
  // A new, empty file with a unique name beginning "qvl" in `directory`.
  virtual std::uint32_t TempFileName(const std::u16string& directory, std::u16string& name) = 0;
  // Bytes per sector of the volume that holds `directory`.
  virtual bool SectorSize(const std::u16string& directory, std::uint32_t& bytes) = 0;
  // Opens `path` unbuffered for reading and writing, shared with nobody and
  // deleted when closed: the file must not exist yet, unless `ours` says it
  // was made by TempFileName a moment ago.
  virtual std::uint32_t Open(const std::u16string& path, bool ours, void*& file) = 0;
  // One transfer at a byte offset; `done` says how much moved.
  virtual std::uint32_t WriteAt(void* file, const void* data, std::uint32_t bytes,
                                std::uint64_t offset, std::uint32_t& done) = 0;
  virtual std::uint32_t ReadAt(void* file, void* data, std::uint32_t bytes,
                               std::uint64_t offset, std::uint32_t& done) = 0;
  virtual std::uint32_t FileId(void* file, std::uint64_t& id) = 0;
  virtual bool SetSize(void* file, std::uint64_t bytes) = 0;
  virtual void Close(void* file) = 0;
};

// The system's (Windows files, or POSIX files natively).
SnapshotFileSystem& PlatformSnapshotFileSystem();
// Tests put their own in place; null puts the platform's back.
void SetSnapshotFileSystem(SnapshotFileSystem* files);
SnapshotFileSystem& CurrentSnapshotFileSystem();

}  // namespace Da

// ---------------------------------------------------- temporary storage

class SnapshotStorage {
 public:
  // The process's storage, its use count raised; a new one when none.
  static SnapshotStorage* GetShared();
  // Lowers the use count; the last user destroys it (closing the file,
  // which the system then deletes).
  static void Release(SnapshotStorage* storage);
  // The current one, if any (for tests).
  static SnapshotStorage* Current();

  // For a member about to be snapshotted: fixes the path on first use and,
  // when the storage lies on the member's volume, creates the file now
  // (with a size limit) and gives its id, or hands the storage's lock to
  // the caller (`heldLock` set) until its snapshot exists.
  Common::Error CheckPlacement(std::uint32_t volumeNumber, std::uint64_t& fileId,
                               Common::CriticalSection*& heldLock);
  Common::Error CreateFile();  // under the lock
  Common::Error Append(const void* data, std::uint32_t bytes, std::uint64_t& position);
  Common::Error ReadAt(void* buffer, std::uint32_t bytes, std::uint64_t position);
  void ExtendToLimit();

  // What the tests look at.
  bool HasFile() const { return file_ != nullptr; }
  const std::u16string& Path() const { return path_; }
  std::uint32_t SectorSize() const { return sectorSize_; }
  std::uint64_t SizeLimit() const { return sizeLimit_; }
  std::uint64_t Written() const { return written_; }
  std::uint32_t Staged() const { return staged_; }
  std::uint64_t CacheOffset() const { return cacheOffset_; }
  std::uint32_t CacheLength() const { return cacheLength_; }
  std::uint32_t StorageVolume() const { return storageVolume_; }

 private:
  SnapshotStorage() = default;
  ~SnapshotStorage();
  bool MakeBuffers();
  Common::Error WriteFileAt(const void* data, std::uint32_t bytes, std::uint64_t offset);
  Common::Error ReadFileAt(void* data, std::uint32_t bytes, std::uint64_t offset);

  Da::SnapshotFileSystem* fs_ = nullptr;  // the one the storage was made with
  std::uint32_t useCount_ = 1;
  std::u16string path_;
  std::uint64_t sizeLimit_ = 0;
  std::uint32_t storageVolume_ = 0;
  bool directory_ = false;
  void* file_ = nullptr;
  std::uint32_t sectorSize_ = 512;
  std::uint32_t capacity_ = 0;  // M
  std::unique_ptr<std::uint8_t[]> allocation_;
  std::uint8_t* staging_ = nullptr;
  std::uint8_t* cache_ = nullptr;
  std::uint64_t written_ = 0;
  std::uint64_t cacheOffset_ = 0;
  std::uint32_t staged_ = 0;
  std::uint32_t cacheLength_ = 0;
  Common::CriticalSection lock_;
};

// ------------------------------------------------------------ the volumes

namespace Fdisk {

class SnapshotVolume : public SimpleDisk {
 public:
  virtual Common::Error LockSnapshot(std::uint32_t mode) = 0;
  virtual Common::Error SetBitmap(std::uint32_t blockOrigin, std::uint32_t blockSectors,
                                  std::uint64_t blockCount, const void* bitmap) = 0;
  virtual Common::Error GetReadState(SnapshotVolume*& volume, std::uint64_t& sector) = 0;
  virtual Common::Error GetVolumeWriteCounter(std::uint64_t& counter) = 0;
  virtual bool ReadsLiveVolume() const = 0;
  virtual bool IsPlainLibrarySnapshot() const = 0;
  virtual std::uint32_t GetBlockSectors() const = 0;
  virtual std::int32_t SnapshotQueryNumber() const = 0;
  virtual Common::Error AllocateMemory(void*& block, std::uint32_t size) = 0;
  virtual Common::Error GetOpenFileIds(std::unique_ptr<std::uint64_t[]>& ids,
                                       std::uint32_t& count) = 0;
  virtual std::uint64_t GetStorageFileId() const = 0;
  virtual const void* GetGroupKey() const = 0;
  virtual bool JoinSnapshotGroup(SnapshotVolume* other) = 0;
  virtual Common::Error SetSnapshotHandle(std::uint32_t handle) = 0;
  virtual std::uint32_t GetLibrarySnapshotHandle() const = 0;
  struct VssEntry {
    std::uint8_t first[16];
    std::uint8_t second[16];
    std::uint32_t word;
    std::u16string name;
  };
  virtual Common::Error SetVssParameters(const VssEntry* entries, std::uint32_t count) = 0;
  virtual Common::Error CreateBlockDevice(void* a, void* b) = 0;
  virtual bool SnapshotQueryFlag() const = 0;
  virtual Common::Error OptimizeForExt(void* a) = 0;
  virtual std::uint64_t SnapshotQueryValue() const = 0;
  virtual Common::Error EnableChangedBlockTracking(void* a, void* b, void* c) = 0;

 protected:
  SnapshotVolume(std::uint32_t sectorSize, std::uint64_t lastSector, const Geometry& geometry)
      : SimpleDisk(sectorSize, lastSector, geometry) {}
};

}  // namespace Fdisk

class real_snapshot_volume : public Fdisk::SnapshotVolume {
 public:
  explicit real_snapshot_volume(const vol_handler& handler);

  std::uint32_t Hint(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                     std::uint32_t) override {
    return 0;
  }
  std::uint64_t GetStorageFileId() const override { return 0; }
  const void* GetGroupKey() const override { return this; }
  bool JoinSnapshotGroup(SnapshotVolume*) override { return false; }
  Common::Error SetSnapshotHandle(std::uint32_t handle) override;
  std::uint32_t GetLibrarySnapshotHandle() const override { return 0; }
  Common::Error SetVssParameters(const VssEntry* entries, std::uint32_t count) override;
  Common::Error CreateBlockDevice(void* a, void* b) override;
  bool SnapshotQueryFlag() const override { return false; }
  Common::Error OptimizeForExt(void* a) override;
  std::uint64_t SnapshotQueryValue() const override { return 0; }
  Common::Error EnableChangedBlockTracking(void* a, void* b, void* c) override;

  std::uint64_t startSector;
  std::uint32_t diskId;
  std::uint32_t userValue;
};

// State flags of a win_snapshot_volume.
namespace SnapState {
constexpr std::uint32_t kModeBits = 0x38C;        // 0x4, 0x8, 0x80, 0x100, 0x200
// The mode bits whose library flags make the library keep the old data
// itself: such a snapshot was started when it was created.
constexpr std::uint32_t kStartedAtCreation = 0x388;
constexpr std::uint32_t kNoDirectReads = 0x40;
constexpr std::uint32_t kZeroFillErrors = 0x08000000;
constexpr std::uint32_t kLibrary = 0x10000000;
constexpr std::uint32_t kHoldsVolumeLock = 0x20000000;
constexpr std::uint32_t kLive = 0x40000000;
constexpr std::uint32_t kBitmapSet = 0x80000000;
}  // namespace SnapState

class SnapshotGroup {
 public:
  // State bits.
  static constexpr std::uint32_t kOpen = 0x1;
  static constexpr std::uint32_t kLocked = 0x2;
  static constexpr std::uint32_t kStop = 0x4;
  static constexpr std::uint32_t kHostTold = 0x8;
  static constexpr std::uint32_t kStarted = 0x10;
  static constexpr std::uint32_t kReading = 0x20;
  // The reader thread failed: what the library handed over after that is
  // lost, so no read of the snapshot may succeed any more.
  static constexpr std::uint32_t kFailed = 0x40;

  explicit SnapshotGroup(win_snapshot_volume* first);
  ~SnapshotGroup();

  void AddMember(win_snapshot_volume* volume);
  // The member leaves; the last one tears the group down. True when it did.
  bool Leave(win_snapshot_volume* volume);

  Common::Error CreateSnapshotGroup(std::uint32_t mode);
  Common::Error BitmapsDone();
  Common::Error GetReadState(Fdisk::SnapshotVolume*& volume, std::uint64_t& sector);
  Common::Error SetSnapshotHandle(std::uint32_t handle);
  Common::Error AllocateMemory(void*& block, std::uint32_t size);
  void NotifyHostSnapshotEnd();
  void TellHostSnapshotBegins();

  std::uint32_t State() const { return state_; }
  std::uint32_t LibraryHandle() const { return handle_; }
  std::uint32_t MemberCount() const { return memberCount_; }
  std::uint32_t TransferSize() const { return transferSize_; }
  std::uint8_t* TransferBuffer() const { return transfer_; }
  SnapshotStorage* Storage() const { return storage_; }
  Common::CriticalSection& Lock() { return lock_; }
  bool ReaderRunning() const { return reader_.joinable(); }

 private:
  void ReaderThread();
  void Teardown();
  win_snapshot_volume* FirstMember() const;
  std::uint32_t HostUser() const;
  Common::Error CreateWithFlags(win_snapshot_volume* lead, std::uint32_t flags,
                                Common::CriticalSection*& heldLock, bool& retry);

  std::uint32_t memberCount_ = 1;
  std::uint32_t state_ = 0;
  std::uint32_t createMode_ = 0;
  std::uint32_t handle_ = 0;
  Common::CriticalSection lock_;
  std::uint32_t bitmapCounter_ = 0;
  std::unique_ptr<std::uint8_t[]> memory_;
  std::map<std::uint32_t, win_snapshot_volume*> members_;
  std::uint8_t* transfer_ = nullptr;
  std::uint32_t event_ = 0;
  SnapshotStorage* storage_ = nullptr;
  std::unique_ptr<std::uint8_t[]> transferAllocation_;
  std::uint32_t transferSize_ = 0x10000;
  std::thread reader_;
};

class win_snapshot_volume : public real_snapshot_volume {
 public:
  win_snapshot_volume(win_vol_handler& handler, std::uint32_t kind);
  ~win_snapshot_volume() override;

  Common::Error Io(std::uint32_t op, std::uint64_t first, void* buffer,
                   std::uint64_t count) override;
  Common::Error LockSnapshot(std::uint32_t mode) override;
  Common::Error SetBitmap(std::uint32_t blockOrigin, std::uint32_t blockSectors,
                          std::uint64_t blockCount, const void* bitmap) override;
  Common::Error GetReadState(SnapshotVolume*& volume, std::uint64_t& sector) override;
  Common::Error GetVolumeWriteCounter(std::uint64_t& counter) override;
  bool ReadsLiveVolume() const override { return (state & SnapState::kLive) != 0; }
  bool IsPlainLibrarySnapshot() const override {
    return (state & 0x10000388u) == SnapState::kLibrary;
  }
  std::uint32_t GetBlockSectors() const override { return blockSectors; }
  std::int32_t SnapshotQueryNumber() const override { return -1; }
  Common::Error AllocateMemory(void*& block, std::uint32_t size) override;
  Common::Error GetOpenFileIds(std::unique_ptr<std::uint64_t[]>& ids,
                               std::uint32_t& count) override;
  std::uint64_t GetStorageFileId() const override { return storageFileId; }
  const void* GetGroupKey() const override;
  bool JoinSnapshotGroup(SnapshotVolume* other) override;
  Common::Error SetSnapshotHandle(std::uint32_t handle) override;
  std::uint32_t GetLibrarySnapshotHandle() const override;
  Common::Error SetVssParameters(const VssEntry* entries, std::uint32_t count) override;

  // The saved data of the library snapshot (under the group's lock).
  Common::Error ReadSaved(std::uint64_t first, void* buffer, std::uint64_t count,
                          std::uint64_t& done, bool& saved);
  Common::Error StoreRead(std::uint64_t first, const void* data, std::uint64_t sectors);

  // The group, made with this volume as its only member when missing.
  std::shared_ptr<SnapshotGroup> EnsureGroup();

  std::uint32_t volumeNumber;
  std::uint32_t volumeHandle;
  std::uint32_t state;
  std::uint32_t blockOrigin = 0;
  std::uint32_t blockSectors = 1;
  std::uint64_t storageFileId = 0;
  std::vector<VssEntry> vss;
  std::shared_ptr<SnapshotGroup> group;
  struct Saved {
    std::uint64_t count;
    std::uint64_t position;
  };
  std::map<std::uint64_t, Saved> saved;

 private:
  Common::Error ReportReadError(std::uint64_t first, const Common::Error& error,
                                std::uint32_t& answer);
};
