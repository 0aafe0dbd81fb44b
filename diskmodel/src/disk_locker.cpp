// All-or-nothing locking of the disks a portion touches.
#include <algorithm>

#include "fdisk/ps_manager.h"
#include "fdisk/raw_driver.h"

namespace Fdisk {
namespace Utility {

// Visits a portion's location and reports the ids of the disks it lies on.
class DiskLocker::Impl : public LocationVisitor {
 public:
  Impl(std::uint32_t stageId, std::uint32_t computerId)
      : stageId_(stageId), computerId_(computerId) {}

  // Adds the disks of one portion (each disk once).
  void Gather(PSPortion& portion, PSDriver& driver) {
    reported_.clear();
    portion_ = &portion;
    driver_ = &driver;
    portion.GetLocation().Accept(*this);
    for (std::uint32_t id : reported_) {
      if (std::find(diskIds_.begin(), diskIds_.end(), id) == diskIds_.end()) {
        diskIds_.push_back(id);
      }
    }
    portion_ = nullptr;
    driver_ = nullptr;
  }

  void Visit(MbrLocation& location) override { reported_ = {location.diskId}; }
  void Visit(GptLocation& location) override { reported_ = {location.diskId}; }
  void Visit(RawLocation& location) override { reported_ = {location.GetDiskId()}; }
  void VisitMissingDisk(Disk& disk) override { reported_ = {disk.GetId()}; }
  void Visit(LdmLocation&) override {
    LdmDiskGroupSeeker seeker(*driver_, *portion_);
    reported_.assign(seeker.GetResult().begin(), seeker.GetResult().end());
  }
  void Visit(DiskIdList& list) override { reported_ = list.ids; }

  Common::Error Lock() {
    const DiskMap& disks = FindComputer(stageId_, computerId_).GetDisks();
    std::vector<std::pair<std::uint32_t, Disk*>> locked;
    Common::Error refused;
    try {
      for (std::uint32_t id : diskIds_) {
        auto it = disks.find(id);
        if (it == disks.end()) continue;
        refused = it->second->Lock();
        if (refused) break;
        locked.emplace_back(id, it->second);
      }
    } catch (...) {
      Rollback(locked);
      throw;
    }
    if (!refused) return Common::NoError;
    const Common::Error rollback = Rollback(locked);
    if (rollback) ThrowError(rollback);
    return refused;
  }

  Common::Error Unlock() {
    const DiskMap& disks = FindComputer(stageId_, computerId_).GetDisks();
    Common::Error first;
    for (std::uint32_t id : diskIds_) {
      auto it = disks.find(id);
      if (it == disks.end()) continue;
      Common::Error e = it->second->Unlock();
      if (e && !first) first = e;
    }
    if (first) ThrowError(first);
    return Common::NoError;
  }

  const std::vector<std::uint32_t>& DiskIds() const { return diskIds_; }

 private:
  // Unlocks every disk of `locked`, in ascending id order, even when one
  // refuses; returns the first refusal.
  static Common::Error Rollback(std::vector<std::pair<std::uint32_t, Disk*>>& locked) {
    std::sort(locked.begin(), locked.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    Common::Error first;
    for (auto& entry : locked) {
      Common::Error e = entry.second->Unlock();
      if (e && !first) first = e;
    }
    return first;
  }

  std::uint32_t stageId_;
  std::uint32_t computerId_;
  std::vector<std::uint32_t> diskIds_;
  std::vector<std::uint32_t> reported_;
  PSPortion* portion_ = nullptr;
  PSDriver* driver_ = nullptr;
};

DiskLocker::DiskLocker(std::uint32_t stageId, std::uint32_t computerId,
                       std::uint32_t portionId)
    : impl_(std::make_unique<Impl>(stageId, computerId)) {
  Computer& computer = FindComputer(stageId, computerId);
  PSPortion& portion = computer.FindPortion(portionId);
  PSDriver& driver = computer.GetDriverFactory().GetDriver(portion.GetDriverId());
  impl_->Gather(portion, driver);
}

DiskLocker::DiskLocker(std::uint32_t stageId, std::uint32_t computerId,
                       const std::list<std::uint32_t>& portionIds)
    : impl_(std::make_unique<Impl>(stageId, computerId)) {
  Computer& computer = FindComputer(stageId, computerId);
  for (std::uint32_t portionId : portionIds) {
    PSPortion& portion = computer.GetPortionManager().FindPortionInLayers(portionId);
    PSDriver& driver = computer.GetDriverFactory().GetDriver(portion.GetDriverId());
    impl_->Gather(portion, driver);
  }
}

DiskLocker::~DiskLocker() = default;

Common::Error DiskLocker::Lock() { return impl_->Lock(); }

Common::Error DiskLocker::Unlock() { return impl_->Unlock(); }

const std::vector<std::uint32_t>& DiskLocker::GetDiskIds() const { return impl_->DiskIds(); }

ScopedDiskLock::ScopedDiskLock(std::unique_ptr<DiskLocker> locker) {
  const Common::Error refused = locker->Lock();
  if (refused) ThrowError(refused);
  locker_ = std::move(locker);
}

ScopedDiskLock::~ScopedDiskLock() {
  if (!locker_) return;
  try {
    locker_->Unlock();
  } catch (...) {
    // A guard leaving its scope has nobody to report to.
  }
}

Common::Error ScopedDiskLock::Unlock() {
  std::unique_ptr<DiskLocker> locker = std::move(locker_);
  return locker ? locker->Unlock() : Common::NoError;
}

std::unique_ptr<DiskLocker> ScopedDiskLock::Release() { return std::move(locker_); }

Common::Error LockPortion(std::uint32_t stageId, std::uint32_t computerId,
                          std::uint32_t portionId) {
  try {
    DiskLocker locker(stageId, computerId, portionId);
    return locker.Lock();
  } catch (const Fdisk::Error& e) {
    return e;
  }
}

Common::Error UnlockPortion(std::uint32_t stageId, std::uint32_t computerId,
                            std::uint32_t portionId) {
  try {
    DiskLocker locker(stageId, computerId, portionId);
    return locker.Unlock();
  } catch (const Fdisk::Error& e) {
    return e;
  }
}

LdmDiskGroupSeeker::LdmDiskGroupSeeker(PSDriver& driver, PSPortion& portion) {
  portion.GetLocation().Accept(*this);
  driver.Accept(*this);
}

void LdmDiskGroupSeeker::Visit(LdmLocation& location) {
  for (const auto& extent : location.GetExtents()) volumeDisks_.push_back(extent.second.diskId);
}

// A volume belongs to the group that holds every disk it lies on. Several
// pieces on one disk, or disks that are not neighbours in the member list,
// still make it a volume of that group.
void LdmDiskGroupSeeker::VisitDynamic(PSDriver& driver) {
  auto* groups = dynamic_cast<DiskGroupProvider*>(&driver);
  if (groups == nullptr || volumeDisks_.empty()) return;
  std::vector<std::uint32_t> wanted = volumeDisks_;
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  for (const auto& group : groups->GetDiskGroupTable()) {
    std::vector<std::uint32_t> members(group.second.begin(), group.second.end());
    std::sort(members.begin(), members.end());
    if (std::includes(members.begin(), members.end(), wanted.begin(), wanted.end())) {
      result_.assign(members.begin(), members.end());
      return;
    }
  }
}

}  // namespace Utility
}  // namespace Fdisk
