// Model disks for tests.
#include "disktest/test_disk.h"

#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"

namespace DiskTest {
namespace {
constexpr std::uint32_t kModuleId = 0x41F1;
// Win32's ERROR_LOCK_VIOLATION and ERROR_NOT_LOCKED.
constexpr std::uint32_t kWin32LockViolation = 33;
constexpr std::uint32_t kWin32NotLocked = 158;

Common::Error LockFailure(std::uint32_t site, std::uint32_t win32) {
  Common::Error e((kModuleId << 16) | site, kModuleId, Fdisk::kErrInvalidIo);
  Common::AttachWin32Cause(e, win32);
  return e;
}
}  // namespace

TestDisk::TestDisk(std::unique_ptr<Fdisk::SimpleDisk> device) : device_(std::move(device)) {
  SetPropertiesFromDevice();
}

TestDisk::TestDisk(std::unique_ptr<Fdisk::SimpleDisk> device, std::uint32_t id)
    : Fdisk::Disk(id), device_(std::move(device)) {
  SetPropertiesFromDevice();
}

void TestDisk::SetPropertiesFromDevice() {
  namespace K = Fdisk::NamedVars::Keys;
  const Fdisk::Geometry& g = device_->GetGeometry();
  GetProperties().Set(K::SectorSize, unsigned(device_->GetSectorSize()));
  GetProperties().Set(K::AdvancedLocus,
                      Fdisk::AdvancedLocus(g.sectorsPerTrack, g.highestHead,
                                           device_->GetSectorCount() + 1));
}

TestDisk::~TestDisk() {
  if (onDestroy_) onDestroy_();
}

void TestDisk::Accept(Fdisk::LocationVisitor&) {}

Common::Error TestDisk::LockError() { return LockFailure(1, kWin32LockViolation); }

Common::Error TestDisk::Lock() {
  ++lockCalls_;
  if (failLocks_ > 0) {
    --failLocks_;
    return lockFailure_;
  }
  if (locked_) return LockError();
  locked_ = true;
  return Common::NoError;
}

Common::Error TestDisk::Unlock() {
  ++unlockCalls_;
  if (failUnlocks_ > 0) {
    --failUnlocks_;
    return unlockFailure_;
  }
  if (!locked_) return LockFailure(2, kWin32NotLocked);
  locked_ = false;
  return Common::NoError;
}

Common::Error TestDisk::Invalidate() {
  ++invalidateCalls_;
  return Common::NoError;
}

void TestDisk::FailLocks(int count, const Common::Error& error) {
  failLocks_ = count;
  lockFailure_ = error ? error : LockError();
}

void TestDisk::FailUnlocks(int count, const Common::Error& error) {
  failUnlocks_ = count;
  unlockFailure_ = error ? error : LockFailure(3, kWin32NotLocked);
}

}  // namespace DiskTest
