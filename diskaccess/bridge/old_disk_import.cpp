// The bridge into the disk model: the model's local computer imports the
// older layer's disks ("OldDiskList") on every refresh.
#include <memory>
#include <new>
#include <set>
#include <vector>

#include "diskaccess/model_holders.h"
#include "diskaccess/objects.h"
#include "fdisk/model.h"
#include "fdisk/named_var_keys.h"
#include "fdisk/portion.h"
#include "fdisk/ps_manager.h"
#include "fdisk/simple_disk_restricted.h"

namespace Fdisk {
namespace {

// A disk of the older layer as a model disk, found by the older disk's own
// id; the model reads it through a full-access view and never owns it.
class OldDisk : public Disk {
 public:
  explicit OldDisk(stddisk* disk) : Disk(disk->id), view_(disk, kAccessFull) {
    NamedVars::VarContainer& p = GetProperties();
    p.Set(NamedVars::Keys::SectorSize, static_cast<unsigned int>(disk->GetSectorSize()));
    const Geometry& g = disk->GetGeometry();
    p.Set(NamedVars::Keys::AdvancedLocus,
          AdvancedLocus(g.sectorsPerTrack, g.highestHead, disk->GetSectorCount()));
    p.Set(NamedVars::Keys::HDInterfaceHost, static_cast<unsigned int>(disk->host));
    p.Set(NamedVars::Keys::HDInterfaceBus, static_cast<unsigned int>(disk->bus));
    p.Set(NamedVars::Keys::HDInterfaceTarget, static_cast<unsigned int>(disk->target));
    p.Set(NamedVars::Keys::HDInterfaceType, static_cast<HDInterfaceType>(disk->interface_type));
    p.Set(NamedVars::Keys::DiskNumber, static_cast<unsigned int>(disk->GetDiskNumber()));
    FdiskLog("Fdisk2: Use Disk %d host= %d bus = %d target = %d", static_cast<int>(disk->id),
             static_cast<int>(disk->host), static_cast<int>(disk->bus),
             static_cast<int>(disk->target));
    p.Set(NamedVars::Keys::Model, disk->model ? *disk->model : std::string());
    p.Set(NamedVars::Keys::PhysicalName, disk->dev_name ? *disk->dev_name : std::u16string());
    da_computer* owner = disk->GetComputer();
    p.Set(NamedVars::Keys::Emulated, owner != nullptr && owner->IsEmulated());
    p.Set(NamedVars::Keys::Corrupted, false);
  }

  void Accept(LocationVisitor&) override {}
  SimpleDisk* GetSimpleDisk() override { return &view_; }
  Common::Error Lock() override { return Common::Error(); }
  Common::Error Unlock() override { return Common::Error(); }

 private:
  SimpleDiskRestricted view_;
};

class LocalComputer : public Computer {
 public:
  explicit LocalComputer(std::uint32_t stageId) : Computer(stageId) {}

  void Refresh() override {
    FdiskLog("Retreiving Fdisk ver1 disk set to Fdisk ver2c disk set...");
    ClearDisks();
    ClearVolumes();
    // Without a list the older layer has not scanned yet: the model stays
    // empty and its drivers are not asked to read anything.
    if (!GetProperties().Contains(NamedVars::Keys::OldDiskList)) {
      FdiskLog("!!! Attention disk list empty !!!");
      return;
    }
    const std::vector<stddisk*> disks = GetProperties().Get(NamedVars::Keys::OldDiskList);
    for (stddisk* d : disks) {
      if (d != nullptr && d->usable && !d->IsEasyVolumeDisk())
        AddDisk(std::make_unique<OldDisk>(d));
    }
    FdiskLog("Refreshing Drivers...");
    GetPortionManager().Clear();
    GetPortionManager().Refresh(PSManager::kRefreshFull);

    std::set<std::uint32_t> corrupted;
    for (const auto& entry : GetDisks()) {
      const NamedVars::VarContainer& p = entry.second->GetProperties();
      if (p.Contains(NamedVars::Keys::Corrupted) && p.Get(NamedVars::Keys::Corrupted))
        corrupted.insert(entry.first);
    }
    for (stddisk* d : disks) {
      if (d == nullptr || !d->usable || d->IsEasyVolumeDisk()) continue;
      if (d->GetSchemeType() == 0xEE) {
        // A protective MBR over a disk that carries dynamic volumes is a
        // dynamic disk.
        if (DetectLdmOnProtectiveDisk(this, 0xEE, d->id) == 0x42) {
          d->SetSchemeType(0x42);
          d->SetMark(0xEE);
        } else {
          d->SetMark(0);
        }
      }
      d->corrupted = corrupted.count(d->id) != 0 ? 1 : 0;
    }
  }
};

std::unique_ptr<Computer> MakeLocalComputer(std::uint32_t stageId) {
  return std::make_unique<LocalComputer>(stageId);
}

}  // namespace
}  // namespace Fdisk

void AttachFdisk(plain_computer& computer) {
  Fdisk::Stage::SetLocalComputerFactory(Fdisk::MakeLocalComputer);
  try {
    const std::uint32_t stageId = Fdisk::StageRegistry::Acquire();
    computer.fdiskComputer = Fdisk::StageRegistry::GetStage(stageId).CreateLocalComputer();
  } catch (const Common::Error&) {
    computer.fdiskComputer = 0;
  }
}

void DetachFdisk(plain_computer& computer) {
  if (computer.fdiskComputer == 0) return;
  try {
    Fdisk::StageRegistry::GetStage(Fdisk::StageRegistry::GetRealStageId())
        .DeleteComputer(computer.fdiskComputer);
  } catch (const Common::Error&) {
  }
  Fdisk::StageRegistry::Release();
  computer.fdiskComputer = 0;
}

Fdisk::Computer* ModelComputerOf(const plain_computer& computer) {
  if (computer.fdiskComputer == 0 || Fdisk::StageRegistry::Instance() == nullptr) return nullptr;
  try {
    return &Fdisk::StageRegistry::GetStage(Fdisk::StageRegistry::GetRealStageId())
                .GetComputer(computer.fdiskComputer);
  } catch (const Common::Error&) {
    return nullptr;
  }
}

void AddOldDisk(Fdisk::Computer& computer, stddisk* disk) {
  if (disk == nullptr || disk->IsOffline()) return;
  Fdisk::NamedVars::VarContainer& p = computer.GetProperties();
  std::vector<stddisk*> disks = p.GetOr(Fdisk::NamedVars::Keys::OldDiskList,
                                        std::vector<stddisk*>());
  disks.push_back(disk);
  p.Set(Fdisk::NamedVars::Keys::OldDiskList, disks);
}

void ClearOldDiskList(Fdisk::Computer& computer) {
  computer.GetProperties().Set(Fdisk::NamedVars::Keys::OldDiskList, std::vector<stddisk*>());
}

namespace {

class LdmDetector : public Fdisk::LocationVisitor {
 public:
  void Visit(Fdisk::LdmLocation& location) override { found = &location; }
  Fdisk::LdmLocation* found = nullptr;
};

}  // namespace

std::uint8_t DetectLdmOnProtectiveDisk(Fdisk::Computer* computer, std::uint8_t schemeType,
                                       std::uint32_t diskId) {
  if (schemeType != 0xEE || computer == nullptr) return schemeType;
  if (computer->GetPortionManager().GetLayers().empty()) return 0xEE;
  for (auto& entry : computer->GetPortionManager().GetHeadLayer()) {
    LdmDetector detector;
    entry.second.GetLocation().Accept(detector);
    if (detector.found == nullptr) continue;
    for (const auto& e : detector.found->GetExtents())
      if (e.second.diskId == diskId) return 0x42;
  }
  return 0xEE;
}

void FillOldDiskList(plain_computer& computer) {
  Fdisk::Computer* model = ModelComputerOf(computer);
  if (model == nullptr) return;
  // The scan has just asked every drive; a disk it did not mark gone is
  // listed without asking the library again.
  std::vector<stddisk*> disks;
  for (stddisk* d = computer.FirstDisk(); d != nullptr; d = d->next) {
    if ((d->GetStateFlags() & kDiskGone) == 0) disks.push_back(d);
  }
  model->GetProperties().Set(Fdisk::NamedVars::Keys::OldDiskList, disks);
}

bool RefreshModelComputer(plain_computer& computer) {
  Fdisk::Computer* model = ModelComputerOf(computer);
  if (model == nullptr) return true;
  try {
    model->Refresh();
  } catch (const Common::Error&) {
    return false;
  }
  FillModelVolumeHolders(computer);
  return true;
}

void ForgetModelDisks(plain_computer& computer) {
  if (Fdisk::Computer* model = ModelComputerOf(computer)) {
    model->GetPortionManager().Clear();
    model->ClearDisks();
    ClearOldDiskList(*model);
  }
}
