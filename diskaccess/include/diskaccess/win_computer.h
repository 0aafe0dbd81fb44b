// The local computer over the snapshot library: its set-up, drives, volumes
// and change notices, the drive disk `disk_w` and the library volume handler
// `win_vol_handler`.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/error.h"
#include "diskaccess/da_state.h"
#include "diskaccess/objects.h"
#include "sblib/sblib.h"

// Attaches the library status to `error` as its cause ("CRC error" too for a
// data error) and returns it.
Common::Error SbStatusToError(Common::Error error, std::uint32_t status);
// True for a status that tells to pass over a volume without an error.
bool IsSkippableStatus(std::uint32_t status);

// Binds every delayed import of the library at once; returns the HRESULT. A
// structured exception while binding is thrown as its code (a positive code
// as 0x80070000 | its low 16 bits). The portable build links the library
// directly and answers 0.
std::int32_t LoadLibraryImports(const char* libraryName);
using DaImportLoader = std::int32_t (*)(const char* libraryName);
// Replaces the loader (tests); null puts back the platform's.
void DaSetImportLoader(DaImportLoader loader);

// The name of whoever holds a drive lock, read with `query` (the library's
// sbGetLockDriveOwner): a NUL-terminated text to free with std::free, or null.
using DaLockOwnerQuery = SbStatus(SBCALL*)(SbHandle, char16_t*, std::uint32_t*);
char16_t* DaReadLockOwner(SbHandle handle, DaLockOwnerQuery query);

// Process-wide values of the library set-up.
std::uint32_t DaLibraryVersion();
bool DaLibraryGlobalFlags();

// The change callback registered with the library.
std::uint32_t SBCALL OnSnapshotLibraryEvent(const SbNotification* record);

// The library flags for the init flags.
std::uint32_t DaLibraryFlags(std::uint32_t initFlags);
// The capability flags derived from the library's mode and status words, the
// init flags and the operating system (only the bits this derivation owns).
std::uint32_t DaCapabilityFlags(std::uint32_t modeWord, std::uint32_t initFlags,
                                const DaOsVersion& os);
// Bits of the capability flags DaCapabilityFlags decides.
constexpr std::uint32_t kDerivedCapabilities = 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20 | 0x80 |
                                               0x100 | 0x200 | 0x400 | 0x800 | 0x1000 |
                                               0x2000 | 0x8000 | 0x10000;

// The interface address, model, device names and hardware serial number of a
// drive record (the serial only from library version 141 on).
void DaSetDriveIdentity(stddisk& disk, const SbDriveInfo& info, std::uint32_t libraryVersion);

class disk_w : public local_disk {
 public:
  // The caller deletes the object when `error` is not null.
  disk_w(SbHandle handle, std::uint32_t driveNumber, bool libraryMode0, Common::Error& error);
  ~disk_w() override;

  std::int64_t GetLibraryHandle() const override {
    return static_cast<std::int32_t>(handle);
  }
  std::uint32_t GetDriveNumber() const override { return drive_number; }
  Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override;
  bool IsOffline() override;
  Common::Error CloseDisk() override;
  Common::Error MakeInvisible() override;
  std::uint32_t GetDiskNumber() const override { return drive_number; }
  bool HasDriveFlag400() const override { return (info.flags & SB_DRIVE_FLAG_400) != 0; }
  Common::Error LockDisk(char16_t*& owner, bool& owned) override;
  Common::Error UnlockDisk() override;
  Common::Error SetPartitionLetter(std::uint64_t start, std::uint64_t count,
                                   std::uint8_t letter, bool& failed) override;
  Common::Error InitializeDrive(std::uint32_t style) override;

  SbHandle handle = 0;
  std::uint32_t drive_number = 0;
  SbDriveInfo info;

 private:
  Common::Error Invalidate();
};

class win_vol_handler : public vol_handler {
 public:
  // An open volume; handle 0 makes the empty handler of a volume to create.
  win_vol_handler(SbHandle handle, std::uint32_t number);
  ~win_vol_handler() override;

  std::int64_t GetLibraryHandle() const override {
    return static_cast<std::int32_t>(volumeHandle);
  }
  std::uint32_t GetDriveNumber() const override { return volumeNumber; }
  Common::Error OpInt(std::uint32_t op, std::uint64_t sector, void* buffer,
                      std::uint64_t count) override;
  Common::Error VolGetFlags(std::uint32_t& flags) override;
  Common::Error VolGetLetter(std::uint8_t& letter) override;
  Common::Error VolGetSysGuid(std::unique_ptr<Common::Guid>& guid) override;
  Common::Error VolGetLocations(std::vector<DaExtent>& list, std::uint32_t& flag) override;
  Common::Error VolGetWriteCounter(std::uint64_t& counter) override;
  Common::Error VolDelete() override;
  Common::Error VolExtend(std::uint64_t newSectorCount) override;
  Common::Error VolGetOpenFiles(std::u16string& files) override;
  Common::Error VolGetPath(const char16_t*& path) override;
  std::uint64_t VolGetSize() override;
  Common::Error VolLockFast() override;
  Common::Error VolLockFull() override;
  Common::Error VolTmpUnlock() override;
  Common::Error VolSetLetter(std::uint8_t letter, std::uint8_t& statusSeen) override;
  Common::Error VolUmount() override;
  Common::Error VolUnhide() override;
  Common::Error VolUnlock() override;
  Common::Error VolCreateInt(stddisk* disk, std::uint64_t first, std::uint64_t count,
                             std::uint8_t letter) override;
  // System Restore and snapshots (snapshots/win_vol_handler_snapshots.cpp).
  bool VolSetSystemRestore(bool enable) override;
  bool VolQuerySystemRestore(bool& enabled) override;
  bool VolCanSnapshot() const override;
  Fdisk::SnapshotVolume* VolCreateSnapshot() override;

  std::uint32_t volumeNumber;
  SbHandle volumeHandle;
  char16_t pathBuffer[256] = {};
};

class WindowsComputer : public virtual local_computer {
 public:
  std::shared_ptr<vol_handler> NewVolumeHandler() override;
  stddisk* NewEasyVolumeDisk() override;
};

class LocalComputerWithWindowsImpl : public virtual local_computer {
 public:
  Common::Error InitLibrary(std::uint32_t flags) override;
  Common::Error DoneLibrary() override;
  Common::Error SbGetDiskCnt(std::uint32_t& count) override;
  Common::Error OpenDrive(std::uint32_t index, stddisk*& disk) override;
  Common::Error GetFreeLetters(std::uint32_t& mask) override;
  Common::Error GetVolumeNumber(const char16_t* name, std::uint32_t& number) override;
  Common::Error SbGetVolumeCnt(std::uint32_t& count) override;
  Common::Error OpenVolume(std::uint32_t index, std::shared_ptr<vol_handler>& volume) override;
  Common::Error NotifyDisksChanged() override;
  Common::Error NotifyVolumesChanged() override;
  Common::Error NotifyDiskRangeChanged(std::uint32_t diskKey, std::uint64_t start,
                                       std::uint64_t length) override;
  Common::Error NotifyDiskChanged(std::uint32_t diskKey) override;
  Common::Error NotifyVolumeChanged(std::uint32_t volumeKey) override;

 private:
  Common::Error Notify(SbNotification& record, std::uint32_t site, std::uint32_t code,
                       std::uint32_t message);
};

namespace FdiskHelper {
// Joins two classes that share one virtual base into one concrete class.
template <class A, class B>
class ClassUnion2 : public A, public B {
 public:
  ClassUnion2() = default;
};
}  // namespace FdiskHelper

using DaLocalComputerClass = FdiskHelper::ClassUnion2<WindowsComputer, LocalComputerWithWindowsImpl>;
