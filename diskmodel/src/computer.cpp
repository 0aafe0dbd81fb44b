// Computers: their disks, volumes, portion manager and driver factory.
#include <algorithm>

#include "fdisk/error_simulation.h"
#include "fdisk/model.h"
#include "fdisk/ps_driver.h"
#include "fdisk/ps_manager.h"

namespace Fdisk {

Computer::Computer(std::uint32_t stageId) : stageId_(stageId) {
  portionManager_ = std::make_unique<PSManager>(stageId, GetId());
  driverFactory_ = std::make_unique<PSDriverFactory>(stageId, GetId());
  GetProperties().Set(NamedVars::Keys::StageID, stageId);
}

Computer::~Computer() {
  ClearDisks();
  ClearVolumes();
  errorSimulation_.clear();
  driverFactory_.reset();
  portionManager_.reset();
}

void Computer::Refresh() {}

std::uint32_t Computer::AddDisk(std::unique_ptr<Disk> disk) {
  if (!errorSimulation_.empty()) {
    disk = ErrorSimulation::WrapDisk(std::move(disk), errorSimulation_);
  }
  const std::uint32_t id = disk->GetId();
  RemoveDisk(id);
  disks_[id] = disk.get();
  owned_[id] = std::move(disk);
  order_.push_back(id);
  return id;
}

void Computer::RemoveDisk(std::uint32_t diskId) {
  disks_.erase(diskId);
  if (owned_.erase(diskId) != 0) order_.remove(diskId);
}

void Computer::ClearDisks() {
  for (std::uint32_t id : order_) owned_.erase(id);
  owned_.clear();
  order_.clear();
  disks_.clear();
}

void Computer::MergeDisks(const DiskMap& disks) {
  for (const auto& entry : disks) {
    if (entry.second != nullptr) disks_.emplace(entry.first, entry.second);
  }
}

void Computer::DropMergedDisks() {
  for (auto it = disks_.begin(); it != disks_.end();) {
    if (owned_.count(it->first) == 0) {
      it = disks_.erase(it);
    } else {
      ++it;
    }
  }
}

std::uint32_t Computer::AddVolume(std::unique_ptr<IdObject> volume) {
  const std::uint32_t id = volume->GetId();
  volumes_[id] = std::move(volume);
  return id;
}

void Computer::DeleteVolume(std::uint32_t volumeId) { volumes_.erase(volumeId); }

void Computer::ClearVolumes() { volumes_.clear(); }

}  // namespace Fdisk
