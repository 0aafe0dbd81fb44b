// Lookups of model objects by id.
#include "fdisk/model.h"
#include "fdisk/portion.h"
#include "fdisk/ps_manager.h"

namespace Fdisk {
namespace {
constexpr std::uint32_t kModuleId = 0x74A0C468;
constexpr std::uint32_t kDiskLocation = 0x2A7EBEF9;
constexpr std::uint32_t kPortionLocation = 0x2A7EBF1A;
constexpr std::uint32_t kVolumeLocation = 0x2A7EBF09;
}  // namespace

Disk& Computer::FindDisk(std::uint32_t diskId) const {
  auto it = disks_.find(diskId);
  if (it == disks_.end()) {
    ThrowError(kDiskLocation, kModuleId, kErrDiskNotFound, Msg::kDiskNotFound);
  }
  return *it->second;
}

PSPortion& Computer::FindPortion(std::uint32_t portionId) const {
  Layer& head = portionManager_->GetHeadLayer();
  auto it = head.find(portionId);
  if (it == head.end()) {
    ThrowError(kPortionLocation, kModuleId, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  return it->second;
}

IdObject& Computer::FindVolume(std::uint32_t volumeId) const {
  auto it = volumes_.find(volumeId);
  if (it == volumes_.end()) {
    ThrowError(kVolumeLocation, kModuleId, kErrVolumeNotFound, Msg::kVolumeNotFound);
  }
  return *it->second;
}

Computer& FindComputer(std::uint32_t stageId, std::uint32_t computerId) {
  return StageRegistry::GetStage(stageId).GetComputer(computerId);
}

Disk& FindDisk(std::uint32_t stageId, std::uint32_t computerId, std::uint32_t diskId) {
  return FindComputer(stageId, computerId).FindDisk(diskId);
}

PSPortion& FindPortion(std::uint32_t stageId, std::uint32_t computerId,
                       std::uint32_t portionId) {
  return FindComputer(stageId, computerId).FindPortion(portionId);
}

IdObject& FindVolume(std::uint32_t stageId, std::uint32_t computerId, std::uint32_t volumeId) {
  return FindComputer(stageId, computerId).FindVolume(volumeId);
}

}  // namespace Fdisk
