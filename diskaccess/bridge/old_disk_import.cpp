// The bridge into the disk model: the model's local computer imports the
// older layer's disks ("OldDiskList") on every refresh.
#include <memory>
#include <new>
#include <vector>

#include "diskaccess/objects.h"
#include "fdisk/model.h"
#include "fdisk/named_var_keys.h"
#include "fdisk/ps_manager.h"
#include "fdisk/simple_disk_restricted.h"

namespace Fdisk {
namespace {

// A disk of the older layer as a model disk; the model reads it through a
// full-access view and never owns the older disk.
class OldDisk : public Disk {
 public:
  explicit OldDisk(stddisk* disk) : view_(disk, kAccessFull) {
    NamedVars::VarContainer& p = GetProperties();
    p.Set(NamedVars::Keys::SectorSize, static_cast<unsigned int>(disk->GetSectorSize()));
    p.Set(NamedVars::Keys::Model, disk->model ? *disk->model : std::string());
    p.Set(NamedVars::Keys::PhysicalName, disk->dev_name ? *disk->dev_name : std::u16string());
    p.Set(NamedVars::Keys::Emulated, false);
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
    ClearDisks();
    std::vector<stddisk*> disks;
    try {
      disks = GetProperties().GetOr(NamedVars::Keys::OldDiskList, std::vector<stddisk*>());
    } catch (const Common::Error&) {
    }
    for (stddisk* d : disks) {
      if (d != nullptr && d->usable && !d->IsEasyVolumeDisk())
        AddDisk(std::make_unique<OldDisk>(d));
    }
    FdiskLog("Refreshing Drivers...");
    GetPortionManager().Clear();
    GetPortionManager().Refresh(PSManager::kRefreshFull);
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

static Fdisk::Computer* ModelComputer(const plain_computer& computer) {
  if (computer.fdiskComputer == 0 || Fdisk::StageRegistry::Instance() == nullptr) return nullptr;
  try {
    return &Fdisk::StageRegistry::GetStage(Fdisk::StageRegistry::GetRealStageId())
                .GetComputer(computer.fdiskComputer);
  } catch (const Common::Error&) {
    return nullptr;
  }
}

void FillOldDiskList(plain_computer& computer) {
  Fdisk::Computer* model = ModelComputer(computer);
  if (model == nullptr) return;
  std::vector<stddisk*> disks;
  for (stddisk* d = computer.FirstDisk(); d != nullptr; d = d->next) {
    if ((d->GetStateFlags() & kDiskGone) == 0) disks.push_back(d);
  }
  model->GetProperties().Set(Fdisk::NamedVars::Keys::OldDiskList, disks);
}

bool RefreshModelComputer(plain_computer& computer) {
  Fdisk::Computer* model = ModelComputer(computer);
  if (model == nullptr) return true;
  try {
    model->Refresh();
    return true;
  } catch (const Common::Error&) {
    return false;
  }
}

void ForgetModelDisks(plain_computer& computer) {
  if (Fdisk::Computer* model = ModelComputer(computer)) {
    model->GetPortionManager().Clear();
    model->ClearDisks();
    model->GetProperties().Set(Fdisk::NamedVars::Keys::OldDiskList, std::vector<stddisk*>());
  }
}
