// The older disk-administration model: computers own disks, a disk owns its
// partition trees of holders, and holders share the operating system's
// volumes (volume handlers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/error.h"
#include "diskaccess/fs_params.h"
#include "diskaccess/holder_list.h"
#include "fdisk/simple_disk.h"
#include "foundation/guid.h"

class da_computer;
class holder;
class stddisk;
class vol_handler;
struct VolumeInfoEntry;
namespace Fdisk {
class SnapshotVolume;
}  // namespace Fdisk

// An extent of a volume or holder on a disk.
struct DaExtent {
  std::uint32_t diskKey = 0;
  std::uint32_t diskNumber = 0;
  std::uint64_t firstSector = 0;
  std::uint64_t sectorCount = 0;
};
bool operator==(const DaExtent& a, const DaExtent& b);
bool operator<(const DaExtent& a, const DaExtent& b);

constexpr std::uint8_t kNoLetter = 0x7F;

// The record behind a disk's working and saved partition trees. The
// working tree's holders are the disk's holder list; the saved tree owns
// its own copies (DaCopyTree and its neighbours in holders.h move and copy
// them).
struct PartitionTree {
  PartitionTree() = default;
  PartitionTree(const PartitionTree&) = delete;
  PartitionTree& operator=(const PartitionTree&) = delete;

  bool Valid() const { return table != nullptr || top != nullptr; }
  // The record's fields from `other`; its holders and pointers are not.
  void CopyRecord(const PartitionTree& other);
  // A fresh record; the tree's own holders are destroyed.
  void Clear();

  Common::Error error;
  holder* table = nullptr;
  holder* top = nullptr;
  std::uint32_t extra = 0;
  std::uint32_t scheme_type = 0;
  std::uint8_t boot_record[8] = {};
  std::uint8_t boot_manager = 0;
  std::uint8_t disk_guid[16] = {};
  HolderList holders;
};

// ---------------------------------------------------------------- devices

// A sector device with op-code I/O and the retrying transfer; the base of
// disks and volume handlers.
class smart_op_disk : public Fdisk::SimpleDisk {
 public:
  ~smart_op_disk() override;

  virtual da_computer* GetComputer() const = 0;
  virtual std::uint32_t GetDiskId() const = 0;
  virtual std::int64_t GetLibraryHandle() const { return 0; }
  virtual std::uint32_t GetDriveNumber() const { return 0; }
  virtual std::uint32_t GetUserValue() const { return 0; }
  virtual Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                              std::uint64_t count);
  virtual std::uint64_t GetStartSector() const = 0;
  virtual bool IsOffline() { return false; }
  virtual bool IsVolumeHandler() const { return false; }

  // The whole transfer, then sector by sector when it fails.
  Common::Error SmartIo(std::uint32_t op, std::uint64_t sector, void* buffer,
                        std::uint64_t count);
  // Tells the computer that a range of this device changed.
  void NotifyChanged(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d);

  const std::u16string* GetDevName() const { return dev_name.get(); }
  const std::u16string* GetSecondName() const { return second_name.get(); }

  std::unique_ptr<std::u16string> dev_name;
  std::unique_ptr<std::u16string> second_name;
  std::uint8_t io_disabled = 0;
  std::uint8_t ignore_errors = 0;

 protected:
  smart_op_disk() = default;
};

class stddisk : public smart_op_disk {
 public:
  ~stddisk() override;

  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;
  da_computer* GetComputer() const override { return computer; }
  std::uint32_t GetDiskId() const override { return id; }
  std::uint64_t GetStartSector() const override { return 0; }

  virtual Common::Error CloseDisk() { return Common::Error(); }
  virtual Common::Error MakeInvisible() { return Common::Error(); }
  virtual PartitionTree* GetTree(std::uint32_t index);
  virtual std::uint32_t GetDiskNumber() const;
  virtual bool IsPlainDisk() const { return false; }
  virtual bool IsEasyVolumeDisk() const { return false; }
  virtual bool HasDriveFlag400() const { return false; }
  virtual std::uint32_t GetStateFlags() const { return 0; }
  virtual void SetStateFlags(std::uint32_t) {}
  virtual std::uint32_t GetSchemeType() const { return 0; }
  virtual void SetOptionFlag(std::uint8_t) {}
  virtual bool IsFirstSectorSplit() const { return false; }
  virtual void SetFirstSectorSplit(std::uint8_t) {}
  // Locks the drive for a partition change; the owner text names who holds
  // it when the lock is refused.
  virtual Common::Error LockDisk(char16_t*& owner, bool& owned);
  virtual Common::Error UnlockDisk() { return Common::Error(); }
  virtual Common::Error SetPartitionLetter(std::uint64_t start, std::uint64_t count,
                                           std::uint8_t letter, bool& failed);
  virtual Common::Error InitializeDrive(std::uint32_t style) { return Common::Error(); }
  virtual void AfterScan() {}

  // Per-disk records of the layer's passes; neutral on a bare disk, kept by
  // plain disks.
  virtual void SaveMarks() {}
  virtual void RestoreMarks() {}
  // Takes every holder off the main list: free space is deleted, the rest
  // waits in `dropped_holders` with no disk link until the tree is reset.
  virtual void DropHolders() {}
  virtual void ResetWorkingTree() {}
  virtual void* GetExtension() const { return nullptr; }
  virtual const std::uint8_t* GetBiosBlock() const { return nullptr; }
  virtual std::uint32_t GetReservedWord() const { return 0; }
  virtual std::uint32_t GetReservedCount() const { return 0; }
  virtual std::uint32_t GetReservedValue() const { return 0; }
  virtual bool TestReserved(std::uint32_t, std::uint32_t) const { return false; }
  // The tree's own GUID when it has one, else the top holder's.
  const std::uint8_t* GetDiskGuid(std::uint32_t index);
  virtual std::uint64_t GetChsLimit() const { return 0; }
  virtual std::uint8_t* GetBootRecordArea() { return nullptr; }
  virtual bool GetLetterFlag() const { return false; }
  virtual std::uint32_t GetSignature() const { return 0; }
  virtual std::uint32_t GetTreeExtra(std::uint32_t index);
  virtual std::uint32_t GetLevel() const { return level; }
  virtual bool GetOptionFlag() const { return false; }
  virtual std::uint8_t GetMark() const { return 0; }
  virtual std::uint8_t GetMode() const { return 0; }
  virtual bool IsGeometryOk() const { return true; }
  // kind 0-2 (numbering kinds) by view 0-4; anything else reads 0.
  virtual std::uint8_t GetViewFlag(std::uint32_t kind, std::uint32_t view) const { return 0; }
  virtual bool HasHideableType() const { return false; }
  virtual bool HasBootManager() const { return false; }
  bool CanUseChs() const;
  virtual bool IsChsCapable() const { return false; }
  virtual bool AreSchemeTypesEqual() const { return false; }
  virtual void SetViewFlag(std::uint32_t kind, std::uint32_t view, std::uint8_t value) {}
  virtual void SetHideableType(std::uint8_t) {}
  virtual void SetBootManager(std::uint8_t) {}
  virtual void SetLetterFlag(std::uint8_t) {}
  virtual void SetSignature(std::uint32_t) {}
  virtual void SetLevel(std::uint32_t value) { level = value; }
  virtual void SetSchemeType(std::uint8_t) {}
  virtual void SetMark(std::uint8_t) {}
  virtual void SetMode(std::uint8_t) {}
  virtual Common::Error QueryStatusByte(std::uint8_t& out) {
    out = 0;
    return Common::Error();
  }
  // Gives a partition holder made by this layer the volume the system
  // mounts on it.
  virtual Common::Error AttachNewVolume(holder* h) { return Common::Error(); }
  // Converts the disk to a dynamic disk through the disk model.
  virtual Common::Error MakeDynamic(std::uint32_t a, std::uint32_t b) { return Common::Error(); }

  holder* GetTopHolder(std::uint32_t index);
  holder* GetTableHolder(std::uint32_t index);

  // 512 to 65536 bytes, a power of two; grows the shared sector buffer.
  Common::Error SetSectorSize(std::uint32_t size);
  void SetInterface(std::uint32_t type, std::uint32_t host, std::uint32_t bus,
                    std::uint32_t target);
  // Folds white space: words separated by single spaces, none at the ends.
  void SetModel(const char* text, std::size_t length);
  void ComputeCylinders();
  Common::Error AcquireLock(char16_t*& owner, bool& owned);
  Common::Error LockOnce(char16_t*& owner, bool& owned);
  void UnlockOnce();

  void SetLastSector(std::uint64_t last) { lastSector_ = last; }
  void SetGeometry(const Fdisk::Geometry& g) { geometry_ = g; }
  Fdisk::Geometry& Geometry() { return geometry_; }

  stddisk* next = nullptr;
  stddisk* prev = nullptr;
  // The pseudo-disk's volumes outside partitions (easy-volume holders);
  // declared first so that it outlives the main list's holders.
  HolderList second_list;
  // The holder tree, ordered by start sector, and what its last read found.
  HolderList holder_list;
  // What DropHolders took off the main list and did not delete.
  HolderList dropped_holders;
  ReadContext read_context;
  std::uint32_t signature_seen = 0;  // the MBR's disk signature at the last read
  std::uint8_t table_changed = 0;    // a table was written since the flag was cleared
  std::unique_ptr<std::u16string> serial;
  std::uint8_t lock_held = 0;
  std::uint8_t bios_number = 0;
  std::uint8_t has_bios_number = 0;
  da_computer* computer = nullptr;
  std::uint64_t read_sectors = 0;
  std::uint32_t id = 0;
  std::uint32_t bus = 0, host = 0, target = 0, interface_type = 0;
  std::uint8_t corrupted = 0;
  std::unique_ptr<std::string> model;
  std::uint8_t usable = 0;
  std::uint32_t level = 0;
  std::uint32_t lock_count = 0;
  std::uint32_t speed = 1000;
  std::uint32_t alignment_offset = 0;
  std::uint32_t physical_sector_size = 0;

  // The process-wide disk counter and the shared sector buffer.
  static std::uint32_t DiskCounter();
  static std::uint32_t LargestSectorSize();
  static std::uint8_t* SharedSectorBuffer();
  // Forgets the shared sector buffer (tests; no disk may be alive).
  static void ResetSharedSectorBuffer();

 protected:
  stddisk();
};

class plain_disk : public stddisk {
 public:
  ~plain_disk() override;
  PartitionTree* GetTree(std::uint32_t index) override;
  bool IsPlainDisk() const override { return true; }
  std::uint32_t GetStateFlags() const override { return state_flags; }
  void SetStateFlags(std::uint32_t f) override { state_flags = f; }
  std::uint32_t GetSchemeType() const override { return trees[0].scheme_type; }
  void SetOptionFlag(std::uint8_t f) override { option_flag = f; }
  bool IsFirstSectorSplit() const override { return split_first_sector != 0; }
  void SetFirstSectorSplit(std::uint8_t v) override { split_first_sector = v; }

  void SaveMarks() override { saved_marks[0] = marks[0]; saved_marks[1] = marks[1]; }
  void RestoreMarks() override { marks[0] = saved_marks[0]; marks[1] = saved_marks[1]; }
  void DropHolders() override;
  // Drops the holders, releases them and the read context; the working
  // tree becomes a fresh record.
  void ResetWorkingTree() override;
  const std::uint8_t* GetBiosBlock() const override { return bios_block.get(); }
  std::uint32_t GetReservedWord() const override { return reserved_word; }
  std::uint64_t GetChsLimit() const override { return chs_limit; }
  std::uint8_t* GetBootRecordArea() override { return trees[0].boot_record; }
  bool GetLetterFlag() const override { return letter_flag != 0; }
  std::uint32_t GetSignature() const override { return signature; }
  std::uint32_t GetTreeExtra(std::uint32_t index) override;
  bool GetOptionFlag() const override { return option_flag != 0; }
  std::uint8_t GetMark() const override { return marks[0]; }
  std::uint8_t GetMode() const override { return marks[1]; }
  bool IsGeometryOk() const override { return geometry_ok != 0; }
  std::uint8_t GetViewFlag(std::uint32_t kind, std::uint32_t view) const override {
    return kind < 3 && view < 5 ? view_flags[kind][view] : 0;
  }
  bool HasHideableType() const override { return hideable_flag != 0; }
  bool HasBootManager() const override { return trees[0].boot_manager != 0; }
  bool IsChsCapable() const override { return true; }
  bool AreSchemeTypesEqual() const override {
    return trees[0].scheme_type == trees[1].scheme_type;
  }
  void SetViewFlag(std::uint32_t kind, std::uint32_t view, std::uint8_t value) override {
    if (kind < 3 && view < 5) view_flags[kind][view] = value;
  }
  void SetHideableType(std::uint8_t v) override { hideable_flag = v; }
  void SetBootManager(std::uint8_t v) override { trees[0].boot_manager = v; }
  void SetLetterFlag(std::uint8_t v) override { letter_flag = v; }
  void SetSignature(std::uint32_t v) override { signature = v; }
  void SetSchemeType(std::uint8_t v) override { trees[0].scheme_type = v; }
  void SetMark(std::uint8_t v) override { marks[0] = v; }
  void SetMode(std::uint8_t v) override { marks[1] = v; }

  std::uint8_t geometry_ok = 1;
  std::unique_ptr<std::uint8_t[]> bios_block;  // 33 bytes
  std::uint32_t reserved_word = 0;
  std::uint64_t chs_limit = 0;
  std::uint8_t split_first_sector = 0;
  std::uint8_t view_flags[3][5] = {};  // numbering kind by view
  std::uint8_t hideable_flag = 0;
  std::uint8_t letter_flag = 0;
  std::uint32_t signature = 0;
  std::uint8_t saved_marks[2] = {0, 2};
  std::uint8_t marks[2] = {0, 2};
  PartitionTree trees[2];
  std::uint32_t state_flags = 0;
  std::uint8_t option_flag = 0;
  std::uint8_t modified = 0;  // a partition change waits for the next write

 protected:
  plain_disk() = default;
};

class local_disk : public plain_disk {
 public:
  Common::Error MakeDynamic(std::uint32_t a, std::uint32_t b) override;

 protected:
  local_disk();
};

// The pseudo-disk that carries the volumes outside partitions.
class disk_easy_vol : public stddisk {
 public:
  explicit disk_easy_vol(da_computer* owner);
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override;
  bool IsEasyVolumeDisk() const override { return true; }
  std::uint32_t GetDiskNumber() const override { return driveNumbers[0]; }

  std::uint32_t driveNumbers[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
};

class win_disk_easy_vol : public disk_easy_vol {
 public:
  using disk_easy_vol::disk_easy_vol;
  // Waits (up to 40 tries a second apart) for the system to mount a volume
  // whose GUID and extents are the holder's, and gives it to the holder.
  Common::Error AttachNewVolume(holder* h) override;

  // How a try waits for the next; a test may make it return at once.
  void (*wait_a_second)() = nullptr;
  std::uint32_t attempts = 40;
};

// Disk-state flags.
constexpr std::uint32_t kDiskGone = 0x2;
constexpr std::uint32_t kDiskReread = 0x4;
constexpr std::uint32_t kDiskMustReread = 0x8;

// ----------------------------------------------------------- volumes

// An operating-system volume as a sector device.
class vol_handler : public smart_op_disk {
 public:
  ~vol_handler() override;
  Common::Error Io(std::uint32_t op, std::uint64_t sector, void* buffer,
                   std::uint64_t count) override {
    return SmartIo(op, sector, buffer, count);
  }
  da_computer* GetComputer() const override { return computer; }
  std::uint32_t GetDiskId() const override { return diskId; }
  std::uint64_t GetStartSector() const override { return start; }
  bool IsVolumeHandler() const override { return true; }

  virtual Common::Error VolGetFlags(std::uint32_t& flags);
  virtual Common::Error VolGetLetter(std::uint8_t& letter);
  virtual Common::Error VolGetSysGuid(std::unique_ptr<Common::Guid>& guid);
  virtual Common::Error VolGetLocations(std::vector<DaExtent>& list, std::uint32_t& flag);
  virtual Common::Error VolGetWriteCounter(std::uint64_t& counter);
  virtual std::uint64_t VolQueryWord() const { return 0; }
  // Lets the system mount the volume again after its partition was shown.
  virtual Common::Error VolUnhide() { return Common::Error(); }

  void SetLastSector(std::uint64_t last) { lastSector_ = last; }
  void SetSectorSizeValue(std::uint32_t size) { sectorSize_ = size; }

  // ---- the volume operations and the lock protocol (volumes/vol_handler.cpp)
  // What a subclass does not supply answers a neutral value or fails with
  // an internal error naming the base operation.
  std::uint32_t GetUserValue() const override { return userValue; }
  virtual Common::Error SetUserValue(std::uint32_t value);
  virtual bool VolQueryFlag() const { return false; }
  virtual Common::Error OnGeometryChanged() { return Common::Error(); }
  virtual Common::Error VolDelete();
  virtual Common::Error VolExtend(std::uint64_t newSectorCount);
  virtual Common::Error VolSetSysGuid(const Common::Guid* guid);
  // The library's open-file text (UTF-16, NUL-terminated), empty when none.
  virtual Common::Error VolGetOpenFiles(std::u16string& files);
  // Null when the volume has no path; valid until the next call.
  virtual Common::Error VolGetPath(const char16_t*& path);
  virtual std::uint64_t VolGetSize();
  virtual Common::Error VolLockFast();
  virtual Common::Error VolLockFull();
  virtual Common::Error VolTmpUnlock();
  virtual Common::Error VolSetLetter(std::uint8_t letter, std::uint8_t& statusSeen);
  virtual Common::Error VolUmount();
  virtual Common::Error VolUnlock() { return Common::Error(); }
  virtual Common::Error VolCreateInt(stddisk* disk, std::uint64_t first, std::uint64_t count,
                                     std::uint8_t letter);
  // System Restore for the volume's drive, and snapshots of the volume:
  // nothing of either without a library volume behind the handler.
  virtual bool VolSetSystemRestore(bool enable) { return false; }
  virtual bool VolQuerySystemRestore(bool& enabled) {
    enabled = false;
    return false;
  }
  virtual bool VolCanSnapshot() const { return false; }
  // A new snapshot volume owned by the caller, or null.
  virtual Fdisk::SnapshotVolume* VolCreateSnapshot() { return nullptr; }

  // Takes lock bits 1, 2 or 8 with the host dialogue; see vol_handler.cpp.
  Common::Error SmartLock(std::uint32_t lockMode, std::uint32_t hostContext, bool quiet);
  Common::Error SmartUnlock(std::uint32_t lockMode);
  // Creates the volume over a partition holder, or over a disk range.
  Common::Error VolCreate(holder* h);
  Common::Error VolCreateOnDisk(stddisk* disk, std::uint64_t first, std::uint64_t count,
                                std::uint8_t letter);
  // Size and geometry from the disk (or from the handler without one). A
  // handler of no sectors fails to attach and keeps its size.
  Common::Error AttachToDisk(Fdisk::SimpleDisk* disk, bool ownSectorSize, std::uint64_t count);
  Common::Error AttachAt(stddisk* disk, std::uint64_t first, std::uint64_t count);
  // Stores all three and recomputes the cylinders (0 when the geometry has
  // no sectors per track).
  void SetSizeAndGeometry(std::uint32_t sectorSize, std::uint64_t last,
                          const Fdisk::Geometry& geometry);

  std::uint32_t diskId = 0;
  std::uint8_t noAsk = 0;        // go on without asking after a failed lock
  std::uint8_t created = 0;      // VolCreateInt ran
  std::uint8_t mode2Held = 0;    // lock mode 2 is held
  std::uint32_t userValue = 0;
  std::uint32_t attachCount = 1;
  std::uint32_t restoreState = 2;  // System Restore: 2 = not yet read

  da_computer* computer = nullptr;
  // The lock state: bits 1 and 2 held lock modes, 4 deferred, 8 temporarily
  // unlocked; starts as the construction flags.
  std::uint32_t flags = 0;
  std::uint32_t mode = 0;
  std::uint64_t start = 0;
  std::uint32_t sectorSizeWord = 0;  // the volume information's size word
  std::uint32_t pending = 0;         // work a holder operation left for the volume

 protected:
  explicit vol_handler(std::uint32_t handlerFlags);
};

// ---------------------------------------------------------- computers

// Capability flags of a computer.
constexpr std::uint32_t kCapLibrarySetUp = 0x8;
constexpr std::uint32_t kCapLibraryMode0 = 0x10;
constexpr std::uint32_t kCapDiskOrder = 0x40;
constexpr std::uint32_t kCapUefi = 0x40000;
constexpr std::uint32_t kCapBootCheck = 0x80000;

// Change flags of a computer.
constexpr std::uint32_t kChangeDisks = 0x1;
constexpr std::uint32_t kChangeVolumes = 0x2;

// A change the library reported: a disk range or a volume.
struct ChangeRecord {
  std::uint32_t diskKey = 0;
  std::uint32_t volumeKey = 0;
  void* link = nullptr;
  std::uint64_t start = 0;
  std::uint64_t count = 0;
};

class da_computer {
 public:
  virtual ~da_computer();
  da_computer(const da_computer&) = delete;
  da_computer& operator=(const da_computer&) = delete;

  // Releases the computer's objects, unlinks it and deletes it.
  virtual void Destroy();
  virtual std::shared_ptr<vol_handler> NewVolumeHandler() { return nullptr; }
  virtual bool IsDetached() const { return false; }
  virtual bool AcceptsChanges() const { return true; }
  virtual bool IsNative() const { return false; }
  virtual bool IsSet(std::uint32_t value) const { return value != 0; }
  virtual void SetName(const char16_t* text, std::uint64_t value) {}
  virtual const char16_t* GetName() const { return nullptr; }
  virtual std::uint64_t GetValue() const { return 0; }
  virtual void LettersAssigned() {}
  virtual bool IsEmulated() const { return false; }
  // A dynamic volume made through the disk model's computer.
  virtual Common::Error CreateDynamicVolume(const void* request) { return Common::Error(); }

  virtual bool OnDisksChanged();
  virtual void OnVolumesChanged();
  virtual void OnDiskRangeChanged(std::uint32_t diskKey, std::uint64_t start,
                                  std::uint64_t length);
  virtual void OnDiskChanged(std::uint32_t diskKey);
  virtual void OnVolumeChanged(std::uint32_t volumeKey);

  virtual bool ScanDisks(std::uint32_t flags) { return false; }
  virtual Common::Error Setup(std::uint32_t flags) { return InitLibrary(flags); }
  virtual Common::Error InitLibrary(std::uint32_t flags) { return Common::Error(); }
  virtual bool RefreshVolumes(bool) { return false; }
  virtual void RefreshFdiskVolumes() {}
  virtual Common::Error SbGetDiskCnt(std::uint32_t& count);
  virtual Common::Error OpenDrive(std::uint32_t index, stddisk*& disk);
  virtual Common::Error GetFreeLetters(std::uint32_t& mask);
  virtual Common::Error GetVolumeNumber(const char16_t* name, std::uint32_t& number);
  virtual Common::Error SbGetVolumeCnt(std::uint32_t& count);
  virtual Common::Error OpenVolume(std::uint32_t index, std::shared_ptr<vol_handler>& volume);
  virtual Common::Error NotifyDisksChanged();
  virtual Common::Error NotifyVolumesChanged();
  virtual Common::Error NotifyDiskRangeChanged(std::uint32_t diskKey, std::uint64_t start,
                                               std::uint64_t length);
  virtual Common::Error NotifyDiskChanged(std::uint32_t diskKey);
  virtual Common::Error NotifyVolumeChanged(std::uint32_t volumeKey);
  virtual Common::Error RescanAndNotify(std::uint32_t flags) = 0;
  virtual std::uint32_t GetFdiskComputer() const { return 0; }
  virtual stddisk* NewEasyVolumeDisk();
  virtual Common::Error DoneLibrary() { return Common::Error(); }

  // Disk list.
  void AppendDisk(stddisk* disk);
  // After `position`, or at the front when it is null.
  void InsertDiskAfter(stddisk* position, stddisk* disk);
  void UnlinkDisk(stddisk* disk);
  stddisk* FirstDisk() const { return firstDisk; }
  std::uint32_t DiskCount() const;
  stddisk* FindDiskByNumber(std::uint32_t number) const;

  char tag[4] = {'S', 'T', 'C', 'S'};
  da_computer* nextComputer = nullptr;
  da_computer* prevComputer = nullptr;
  stddisk* firstDisk = nullptr;
  stddisk* lastDisk = nullptr;
  std::vector<stddisk*> removedDisks;
  std::list<ChangeRecord> changes;
  std::uint8_t numberedPartitions = 0;
  stddisk* pseudoDisk = nullptr;
  Common::Error lastError;
  std::uint32_t freeLetters[2] = {};  // saved, working
  std::uint32_t number = 0;
  std::uint8_t statusBit2 = 0;
  std::uint8_t restartPending = 0;
  std::uint32_t modeWord = 7;
  std::uint32_t capabilities = 0;
  std::uint32_t secondModeWord = 0;
  std::uint32_t changeFlags = 0;
  std::uint8_t devicesChanged = 0;

 protected:
  da_computer();
};

class plain_computer : public da_computer {
 public:
  void Destroy() override;
  bool IsNative() const override { return nativeStatus != 0; }
  bool RefreshVolumes(bool) override;
  void RefreshFdiskVolumes() override;
  Common::Error RescanAndNotify(std::uint32_t flags) override;
  std::uint32_t GetFdiskComputer() const override { return fdiskComputer; }
  Common::Error CreateDynamicVolume(const void* request) override;

  void ReleaseVolumes();

  std::uint32_t libraryState = 0;
  std::uint8_t nativeStatus = 1;
  std::uint32_t fdiskComputer = 0;
  std::map<std::uint32_t, std::uint8_t> partitionLetters;

 protected:
  plain_computer() = default;
};

class local_computer : public plain_computer {
 public:
  void Destroy() override;
  Common::Error Setup(std::uint32_t flags) override;
  bool ScanDisks(std::uint32_t flags) override;
  // A null text keeps the name.
  void SetName(const char16_t* text, std::uint64_t v) override {
    if (text != nullptr) name = text;
    value = v;
  }
  const char16_t* GetName() const override { return name.empty() ? nullptr : name.c_str(); }
  std::uint64_t GetValue() const override { return value; }

  std::u16string name;
  std::uint64_t value = 0;

 protected:
  local_computer() = default;
};

// The process-wide computer list and the local computer.
da_computer* DaGetLocalComputer(std::uint32_t flags);
da_computer* DaLocalComputer();
void DaAddComputer(da_computer* computer);
da_computer* DaNextComputer(da_computer* after);
std::uint32_t DaComputerCount();
// Destroys every computer from the end of the list.
void DaDestroyComputers();

// Attaches a disk-model local computer to the computer.
void AttachFdisk(plain_computer& computer);
// Refills the model computer's "OldDiskList" with the present disks.
void FillOldDiskList(plain_computer& computer);

// ------------------------------------------------ change and rescan

std::uint32_t DaRescanComputer(da_computer* computer, std::uint32_t flags);
bool DaDispatchChanges(da_computer* computer, std::uint32_t mask, stddisk* disk);
// Reads the disk's partitions into its working tree when it has none.
void DaReadDiskPartitions(stddisk* disk);
// Reads the partitions; when the working tree is valid and the saved one is
// not, copies the working tree into the saved one.
void DaSyncDiskTrees(stddisk* disk);
void DaRevertChanges();
void DaFinalTreePass();
void DaFirstInitStep(da_computer* computer, std::uint32_t flags);
void DaApplyToHolders(std::uint32_t flags);

// Where holder and disk operations send what the rest of the layer must
// hear of: a changed partition tree, the boot records a deletion may
// disturb, a disk to convert and a dynamic volume to make. The layer's own
// sink dispatches changes and refuses what it cannot do yet; a test may
// install a recording one.
class DaChangeSink {
 public:
  virtual ~DaChangeSink() = default;
  virtual void AnnounceChange(da_computer* computer, bool letters, stddisk* disk,
                              std::uint32_t level) = 0;
  virtual void CaptureBootRecords(holder* h, bool keep) = 0;
  virtual Common::Error ConvertToDynamicDisk(stddisk* disk, std::uint32_t a, std::uint32_t b) = 0;
  virtual Common::Error CreateDynamicVolume(plain_computer* computer, const void* request) = 0;
};
// Installs a sink (null: the layer's own) and returns the one it replaces.
DaChangeSink* DaSetChangeSink(DaChangeSink* sink);
// Dispatches the changes with mask (letters ? 2 : 0) | (level == 1 ? 1 : 0).
void DaAnnounceChange(da_computer* computer, bool letters, stddisk* disk, std::uint32_t level);
void DaCaptureBootRecords(holder* h, bool keep);

// ------------------------------------------ volume information

struct VolumeInfoEntry {
  PartitionParameters params;
  std::uint32_t diskId = 0;
  std::uint8_t letters[9];
  std::uint32_t state = 0;
  std::uint64_t pending_stamp = 0;
  std::uint32_t partition_id = 0;
  holder* user = nullptr;
};

void DaVolumeInformationPass(bool selectByLevel, std::uint32_t partitionId);
bool MapLibraryVolumes(da_computer& computer);
// Entries of the cache (front first).
std::size_t DaVolumeInfoCacheSize();
void PurgeUnusedEntries();
void ClearCache();

// The disk model side of a computer (the bridge).
void DetachFdisk(plain_computer& computer);
// Refreshes the model computer over "OldDiskList"; false when it threw.
bool RefreshModelComputer(plain_computer& computer);
// Drops the model's disks, which refer to the older layer's disks.
void ForgetModelDisks(plain_computer& computer);
