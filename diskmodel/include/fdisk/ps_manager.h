// The portion manager (one layer per scheme driver, rebuilt bottom-up) and
// the locking of the disks a portion touches.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "common/error.h"
#include "fdisk/named_vars.h"
#include "fdisk/portion.h"
#include "fdisk/ps_driver.h"

namespace Fdisk {

class PSManager {
 public:
  // Full rebuild; Refresh(kRefreshNone) does nothing; kRefreshRebuild
  // restacks the layers of the current drivers without re-creating them.
  static constexpr std::uint32_t kRefreshFull = 0;
  static constexpr std::uint32_t kRefreshNone = 1;
  static constexpr std::uint32_t kRefreshRebuild = 2;

  PSManager(std::uint32_t stageId, std::uint32_t computerId);
  virtual ~PSManager();
  PSManager(const PSManager&) = delete;
  PSManager& operator=(const PSManager&) = delete;

  // Removes every layer, empties the driver list, forgets both positions.
  void Clear();
  // Throws on failure (0x100404 for an unknown mode).
  void Refresh(std::uint32_t mode);

  // Each throws 0x101C0B when there is no such layer.
  Layer& GetHeadLayer();
  Layer& GetRawLayer();
  // The layer of a driver, or null.
  Layer* GetLayer(std::uint32_t driverId);
  const std::map<std::uint32_t, Layer>& GetLayers() const { return layers_; }
  // The scheme drivers of the last refresh, in stacking order.
  std::list<std::uint32_t> GetDriverIds() const { return driverIds_; }
  // The portion from the layer with the lowest driver id that holds it;
  // throws 0x101C09 when none does.
  PSPortion& FindPortionInLayers(std::uint32_t portionId);

  // Routed to the driver that owns the portion named by "PortionID", which
  // then commits. A driver failure comes back as 0x100401 with the driver's
  // error as cause; lookup failures are thrown.
  std::pair<Common::Error, std::uint32_t> CreatePortion(const NamedVars::VarContainer& params);
  // Also throws 0x101C09 for a free portion, before any driver is called.
  Common::Error DeletePortion(const NamedVars::VarContainer& params);
  // Only `Fdisk::Error`s of the driver are wrapped; other errors pass.
  Common::Error ChangePortion(const NamedVars::VarContainer& params);

  std::uint32_t GetStageId() const { return stageId_; }
  std::uint32_t GetComputerId() const { return computerId_; }

 private:
  void RefreshFull();
  void RefreshRebuild();
  // Puts a copy of `layer` in the map under `driverId`; throws 0x101C0B at
  // `location` when that driver already has a layer.
  Layer& AddLayer(std::uint32_t driverId, const Layer& layer, std::uint32_t location);
  // After drivers were deleted: forgets the merged disks and merges those
  // of the drivers that are left.
  void RemergeDriverDisks(Computer& computer, PSDriverFactory& factory);

  std::uint32_t stageId_;
  std::uint32_t computerId_;
  std::map<std::uint32_t, Layer> layers_;
  std::list<std::uint32_t> driverIds_;
  std::optional<std::uint32_t> rawLayer_;
  std::optional<std::uint32_t> headLayer_;
};

namespace Utility {

// Finds the disks a portion touches and locks or unlocks them all or
// nothing. The disk ids are found when the locker is made; the disks
// themselves are looked up in the computer at every Lock and Unlock, so a
// disk that left the computer in between is skipped rather than touched.
class DiskLocker {
 public:
  // One portion of the head layer. Lookup failures are thrown.
  DiskLocker(std::uint32_t stageId, std::uint32_t computerId, std::uint32_t portionId);
  // Several portions of any layer; the disks of all of them, each once, in
  // the order they are first met.
  DiskLocker(std::uint32_t stageId, std::uint32_t computerId,
             const std::list<std::uint32_t>& portionIds);
  virtual ~DiskLocker();
  DiskLocker(const DiskLocker&) = delete;
  DiskLocker& operator=(const DiskLocker&) = delete;

  // Locks every disk in order. When one refuses, the disks locked so far
  // are unlocked again (every one of them, in ascending id order, even when
  // one refuses) and its error is returned; when the rollback fails, the
  // first rollback failure is thrown as `Fdisk::Error`.
  Common::Error Lock();
  // Unlocks every disk; the first failure is thrown as `Fdisk::Error` after
  // all disks were tried.
  Common::Error Unlock();

  const std::vector<std::uint32_t>& GetDiskIds() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Holds a locker's disks locked for one scope and unlocks them when the
// scope is left on any path, so an operation that fails after locking (in a
// constructor, say) cannot leave disks locked.
class ScopedDiskLock {
 public:
  // Locks; a refusal is thrown as `Fdisk::Error` with nothing left locked.
  explicit ScopedDiskLock(std::unique_ptr<DiskLocker> locker);
  // Unlocks unless Unlock or Release ran; failures are dropped.
  ~ScopedDiskLock();
  ScopedDiskLock(const ScopedDiskLock&) = delete;
  ScopedDiskLock& operator=(const ScopedDiskLock&) = delete;

  // Unlocks now and reports the result (thrown as DiskLocker::Unlock does).
  Common::Error Unlock();
  // Hands the locked disks on: the guard will not unlock them.
  std::unique_ptr<DiskLocker> Release();

 private:
  std::unique_ptr<DiskLocker> locker_;
};

// Locks (unlocks) every disk the portion touches; `Fdisk::Error`s become
// the result, other exceptions pass.
Common::Error LockPortion(std::uint32_t stageId, std::uint32_t computerId,
                          std::uint32_t portionId);
Common::Error UnlockPortion(std::uint32_t stageId, std::uint32_t computerId,
                            std::uint32_t portionId);

// The member disks of the dynamic-disk group a volume lies in: visits the
// portion's location for the volume's disks, then the driver for its
// groups.
class LdmDiskGroupSeeker : public PSDriverVisitor, public LocationVisitor {
 public:
  LdmDiskGroupSeeker(PSDriver& driver, PSPortion& portion);

  using LocationVisitor::Visit;
  void Visit(LdmLocation& location) override;
  void VisitDynamic(PSDriver& driver) override;

  // The group's members in ascending order; empty when no group matches.
  const std::list<std::uint32_t>& GetResult() const { return result_; }

 private:
  std::vector<std::uint32_t> volumeDisks_;
  std::list<std::uint32_t> result_;
};

}  // namespace Utility
}  // namespace Fdisk
