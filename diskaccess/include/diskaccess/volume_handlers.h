// Volume handlers beyond the base class: the placeholder over a protective
// partition, the handler whose I/O goes to another disk object, the lock
// helpers shared by all volumes, and the volume layer as the holder tree
// asks for it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/error.h"
#include "diskaccess/holders.h"
#include "diskaccess/objects.h"
#include "fdisk/layout_record.h"

namespace Da {

namespace Module {
constexpr std::uint32_t kVolumeHandler = 0x9C41A000;
}  // namespace Module

// Codes of the volume handlers' errors.
namespace VolCode {
// The base class's "not supported" answers.
constexpr std::uint32_t kBaseCreateInt = 0x100023;
constexpr std::uint32_t kBaseDelete = 0x100026;
constexpr std::uint32_t kBaseExtend = 0x100027;
constexpr std::uint32_t kBaseGetFlags = 0x100083;
constexpr std::uint32_t kBaseGetLetter = 0x100084;
constexpr std::uint32_t kBaseWriteCounter = 0x100028;
constexpr std::uint32_t kBaseLockFast = 0x100029;
constexpr std::uint32_t kBaseLockFull = 0x10002A;
constexpr std::uint32_t kBaseTmpUnlock = 0x10002B;
constexpr std::uint32_t kBaseUmount = 0x10002C;
constexpr std::uint32_t kCreateNoHolder = 0x10006C;
// The lock protocol.
constexpr std::uint32_t kSmartLockInternal = 0x10003A;
constexpr std::uint32_t kSmartLock = 0x10003B;
constexpr std::uint32_t kSmartLockDismount = 0x10003C;
constexpr std::uint32_t kTmpUnlockMixed = 0x10003D;
constexpr std::uint32_t kTmpUnlockLocked = 0x10003E;
// The library volume handler.
constexpr std::uint32_t kCreateNoDisk = 0x100024;
constexpr std::uint32_t kCreate = 0x100025;
constexpr std::uint32_t kCreateClose = 0x100040;
constexpr std::uint32_t kDelete = 0x10002D;
constexpr std::uint32_t kExtend = 0x10002E;
constexpr std::uint32_t kDevNameNotCreated = 0x1000CB;
constexpr std::uint32_t kDevName = 0x1000CC;
constexpr std::uint32_t kDevNameMemory = 0x1000CD;
constexpr std::uint32_t kOpenFilesNotCreated = 0x100036;
constexpr std::uint32_t kOpenFiles1 = 0x100037;
constexpr std::uint32_t kOpenFiles2 = 0x100038;
constexpr std::uint32_t kPathNotCreated = 0x1000C9;
constexpr std::uint32_t kPath = 0x1000CA;
constexpr std::uint32_t kLockFast = 0x100030;
constexpr std::uint32_t kLockSystem = 0x10003F;
constexpr std::uint32_t kLockFull = 0x100031;
constexpr std::uint32_t kTmpUnlock = 0x100032;
constexpr std::uint32_t kSetLetter = 0x100041;
constexpr std::uint32_t kUmount = 0x100033;
constexpr std::uint32_t kUnhide = 0x100034;
constexpr std::uint32_t kUnlock = 0x100035;
// I/O through a handler that has no disk object behind it.
constexpr std::uint32_t kDetachedIo = 0x1000D5;
// A volume of no sectors: nothing to attach or create.
constexpr std::uint32_t kEmptyVolume = 0x1000D6;
}  // namespace VolCode

// Their catalog entries.
namespace VolMsg {
constexpr std::uint32_t kBaseCreateInt = 987;
constexpr std::uint32_t kBaseDelete = 988;
constexpr std::uint32_t kBaseExtend = 989;
constexpr std::uint32_t kBaseGetFlags = 990;
constexpr std::uint32_t kBaseGetLetter = 991;
constexpr std::uint32_t kBaseWriteCounter = 992;
constexpr std::uint32_t kBaseLockFast = 993;
constexpr std::uint32_t kBaseLockFull = 994;
constexpr std::uint32_t kBaseTmpUnlock = 995;
constexpr std::uint32_t kBaseUmount = 996;
constexpr std::uint32_t kCreateNoHolder = 986;
constexpr std::uint32_t kSmartLockInternal = 1095;
constexpr std::uint32_t kSmartLock = 1096;
constexpr std::uint32_t kTmpUnlockMixed = 1097;
constexpr std::uint32_t kTmpUnlockLocked = 1098;
constexpr std::uint32_t kSmartLockDismount = 1099;
constexpr std::uint32_t kCreateClose = 1122;
constexpr std::uint32_t kCreateNoDisk = 1123;
constexpr std::uint32_t kCreate = 1124;
constexpr std::uint32_t kDelete = 1125;
constexpr std::uint32_t kExtend = 1126;
constexpr std::uint32_t kDevNameNotCreated = 1127;
constexpr std::uint32_t kDevName = 1129;
constexpr std::uint32_t kDevNameMemory = 1128;
constexpr std::uint32_t kOpenFilesNotCreated = 1141;
constexpr std::uint32_t kOpenFiles1 = 1142;
constexpr std::uint32_t kOpenFiles2 = 1143;
constexpr std::uint32_t kPath = 1144;
constexpr std::uint32_t kPathNotCreated = 1145;
constexpr std::uint32_t kLockFast = 1153;
constexpr std::uint32_t kLockFull = 1154;
constexpr std::uint32_t kLockSystem = 1155;
constexpr std::uint32_t kTmpUnlock = 1156;
constexpr std::uint32_t kSetLetter = 1161;
constexpr std::uint32_t kUmount = 1162;
constexpr std::uint32_t kUnhide = 1163;
constexpr std::uint32_t kUnlock = 1164;
constexpr std::uint32_t kDetachedIo = 2140;
constexpr std::uint32_t kEmptyVolume = 2141;
}  // namespace VolMsg

// The most sectors one library transfer is given; longer transfers are
// split, since the library takes a 32-bit count.
constexpr std::uint32_t kMaxSectorsPerTransfer = 0x10000;

}  // namespace Da

// Lock-state bits of a volume handler.
constexpr std::uint32_t kVolLockFull = 0x1;
constexpr std::uint32_t kVolLockFast = 0x2;
constexpr std::uint32_t kVolLockDeferred = 0x4;
constexpr std::uint32_t kVolTmpUnlocked = 0x8;

// Holds bit 1 or 2 and not 4 (a deferred lock is no real lock).
bool IsLockStateLocked(std::uint32_t state);
bool IsVolumeLocked(const vol_handler* v);
// Deferred locks outstanding in the process.
std::uint32_t DaDeferredLockCount();
void DaResetDeferredLocks();

// Inclusive sector ranges [first, first + count - 1] that share a sector.
bool RangesOverlap(std::uint64_t firstA, std::uint64_t countA, std::uint64_t firstB,
                   std::uint64_t countB);
bool HolderOverlapsRange(const holder* h, std::uint32_t diskId, std::uint64_t first,
                         std::uint64_t count);
bool HoldersOverlap(const holder* a, const holder* b);
std::uint32_t HolderDiskId(const holder* h);

// ------------------------------------------- volume and disk locks

// Whether a holder of the disk's saved tree has a locked volume.
bool DiskHasLockedVolume(stddisk* disk);
// Whether a disk of the computer with a BIOS number has, in its saved
// tree, a locked volume that is a partition or lies on `disk`.
bool ComputerHasLockedVolume(stddisk* disk);
// Gives back the boot disk's lock when no locked volume of the computer
// needs it, and the disk's when none of its own does.
void ReleaseIdleDiskLocks(stddisk* disk);
// Locks the disk, asking the host (the partition-work hook) while it is
// refused: 1 gives up, 2 goes on without the lock, 3 goes on and stops
// asking for good, anything else tries again. A fast lock (mode 2) never
// needs the disk's lock.
bool LockDiskWithHost(stddisk* disk, std::uint32_t mode);
// Locks the holder's volume in `mode`, the boot disk and the holder's disk
// first for a real lock; true without a volume. The disk locks no locked
// volume needs are given back either way.
bool LockHolderVolume(holder* h, std::uint32_t mode, bool quiet);
void UnlockHolderVolume(holder* h, std::uint32_t mode);
// LockHolderVolume on the disk's top holder, quietly; true without one.
bool DaLockTopVolume(stddisk* disk, std::uint32_t mode);
// Asks about refused disk locks again (tests).
void DaResetDiskLockAnswers();

// The placeholder volume over a dynamic-disk container or GPT protective
// partition: the base answers, but reported as open.
class ProtectiveVolHandler : public vol_handler {
 public:
  ProtectiveVolHandler() : vol_handler(0) {}
  std::int64_t GetLibraryHandle() const override { return 1; }
};

// A volume whose sector I/O goes to another disk object (a disk of the
// layer, or a disk built over a multi-extent volume's extents), at the
// handler's start sector. Made detached; VolCreateInt attaches it, VolDelete
// and destruction detach it. I/O while detached fails.
class HookedVolHandler : public vol_handler {
 public:
  HookedVolHandler();
  ~HookedVolHandler() override;

  std::int64_t GetLibraryHandle() const override;
  std::uint32_t GetDriveNumber() const override { return GetUserValue(); }
  Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override;
  bool VolQueryFlag() const override { return true; }
  Common::Error VolDelete() override;
  Common::Error VolGetFlags(std::uint32_t& out) override;
  Common::Error VolSetSysGuid(const Common::Guid* guid) override;
  Common::Error VolGetSysGuid(std::unique_ptr<Common::Guid>& guid) override;
  Common::Error VolGetLetter(std::uint8_t& letter) override;
  Common::Error VolGetWriteCounter(std::uint64_t& counter) override;
  Common::Error VolLockFast() override { return Common::Error(); }
  Common::Error VolLockFull() override { return Common::Error(); }
  Common::Error VolUmount() override { return Common::Error(); }
  Common::Error VolSetLetter(std::uint8_t letter, std::uint8_t& statusSeen) override {
    return Common::Error();
  }
  // Attaches the handler to `disk`; the range is recorded by VolCreateOnDisk.
  Common::Error VolCreateInt(stddisk* disk, std::uint64_t first, std::uint64_t count,
                             std::uint8_t letter) override;
  // The same for any sector device (a disk built over a volume's extents).
  Common::Error AttachTarget(Fdisk::SimpleDisk* disk, std::uint64_t first, std::uint64_t count);
  // A composite device from the layout record, over the disks `resolver`
  // finds; the handler then reads the whole volume from sector 0 and owns
  // the device.
  Common::Error VolCreateComposite(const Fdisk::DM::LayoutRecord& record,
                                   Fdisk::DM::LayoutDiskResolver& resolver);
  // The GUID as sixteen bytes; null forgets it.
  Common::Error VolSetSysGuid(const std::uint8_t* guid);

  bool IsAttached() const;
  // The device the handler passes I/O to (null when detached).
  Fdisk::SimpleDisk* Target() const;

 private:
  mutable std::mutex lock_;
  Fdisk::SimpleDisk* target_ = nullptr;
  std::uint64_t writeCount_ = 0;
  Common::Guid sysGuid_{};
  bool hasSysGuid_ = false;
  std::unique_ptr<Fdisk::DM::DMStdDisk> composite_;
};

// The volume layer as the holder tree asks for it: handlers from the
// disk's computer, ids and letters told to them, volumes created and
// released through them.
class VolumeLayerSeam : public HolderVolumeSeam {
 public:
  std::shared_ptr<vol_handler> OfferHandler(holder& h) override;
  void TellId(vol_handler& v, std::int32_t id) override;
  Common::Error Mount(holder& h) override;
  Common::Error GiveLetter(holder& h, std::uint8_t letter) override;
  Common::Error CreateMount(holder& h, const std::uint32_t flags[4]) override;
  void ReleaseVolume(holder& h) override;
};
// The one instance, for DaSetHolderVolumes.
VolumeLayerSeam& DaVolumeLayerSeam();
