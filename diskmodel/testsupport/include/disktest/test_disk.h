// A model disk (`Fdisk::Disk`) over any sector device, for tests: it owns
// the device, keeps its properties in step with it, and records and can
// refuse its locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "common/error.h"
#include "fdisk/model.h"
#include "fdisk/simple_disk.h"

namespace DiskTest {

class TestDisk : public Fdisk::Disk {
 public:
  // Sets "SectorSize" and "AdvancedLocus" from the device.
  explicit TestDisk(std::unique_ptr<Fdisk::SimpleDisk> device);
  // The same with a given id (to stand in for a disk already known by it).
  TestDisk(std::unique_ptr<Fdisk::SimpleDisk> device, std::uint32_t id);
  ~TestDisk() override;

  void Accept(Fdisk::LocationVisitor& visitor) override;
  Fdisk::SimpleDisk* GetSimpleDisk() override { return device_.get(); }
  // A second Lock of a locked disk is refused, as is any Lock after
  // FailNextLocks; Unlock of an unlocked disk is refused.
  Common::Error Lock() override;
  Common::Error Unlock() override;
  Common::Error Invalidate() override;

  bool IsLocked() const { return locked_; }
  int LockCalls() const { return lockCalls_; }
  int UnlockCalls() const { return unlockCalls_; }
  int InvalidateCalls() const { return invalidateCalls_; }
  // The next `count` Lock (Unlock) calls fail with `error` and change nothing.
  void FailLocks(int count, const Common::Error& error);
  void FailUnlocks(int count, const Common::Error& error);
  // Called from the destructor (to see when and how often a disk is deleted).
  void OnDestroy(std::function<void()> callback) { onDestroy_ = std::move(callback); }

  // The error a refused lock or unlock reports by default.
  static Common::Error LockError();

 private:
  void SetPropertiesFromDevice();

  std::unique_ptr<Fdisk::SimpleDisk> device_;
  bool locked_ = false;
  int lockCalls_ = 0;
  int unlockCalls_ = 0;
  int invalidateCalls_ = 0;
  int failLocks_ = 0;
  int failUnlocks_ = 0;
  Common::Error lockFailure_;
  Common::Error unlockFailure_;
  std::function<void()> onDestroy_;
};

}  // namespace DiskTest
