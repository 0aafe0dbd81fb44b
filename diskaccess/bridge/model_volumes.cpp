// The model's volumes into the older layer: every GPT partition and dynamic
// volume of the model's head layer becomes (or stays) a holder on the
// pseudo-disk with a volume handler that reads it, and the free space of
// each dynamic disk group becomes a free-space holder.
#include <cstring>
#include <map>
#include <vector>

#include "diskaccess/errors.h"
#include "diskaccess/model_holders.h"
#include "diskaccess/volume_mapping.h"
#include "fdisk/error.h"
#include "fdisk/model.h"
#include "fdisk/portion.h"
#include "fdisk/ps_manager.h"

namespace {

bool AllZero(const std::uint8_t* bytes) {
  for (int i = 0; i < 16; ++i)
    if (bytes[i] != 0) return false;
  return true;
}

// E3C9E316-0B5C-4DB8-817D-F92DF00215AE as stored on disk.
constexpr std::uint8_t kReservedType[16] = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                                            0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};

stddisk* LegacyDisk(da_computer* computer, std::uint32_t id) {
  if (computer == nullptr) return nullptr;
  for (stddisk* d = computer->FirstDisk(); d != nullptr; d = d->next)
    if (d->id == id && !d->IsEasyVolumeDisk()) return d;
  return nullptr;
}

// The disks of a layout record are the older layer's, found by their ids
// (which the model's disks share) or by their library handles.
class LegacyResolver : public Fdisk::DM::LayoutDiskResolver {
 public:
  explicit LegacyResolver(da_computer* computer) : computer_(computer) {}
  Fdisk::SimpleDisk* ByHandle(std::uint64_t handle) override {
    if (computer_ == nullptr || handle == 0) return nullptr;
    for (stddisk* d = computer_->FirstDisk(); d != nullptr; d = d->next)
      if (!d->IsEasyVolumeDisk() && static_cast<std::uint64_t>(d->GetLibraryHandle()) == handle)
        return d;
    return nullptr;
  }
  Fdisk::SimpleDisk* ByKey(std::uint32_t key) override { return LegacyDisk(computer_, key); }
  std::uint32_t IdOf(Fdisk::SimpleDisk* disk) override {
    auto* d = dynamic_cast<stddisk*>(disk);
    return d != nullptr ? d->id : 0;
  }
  std::uint64_t HandleOf(Fdisk::SimpleDisk* disk) override {
    auto* d = dynamic_cast<stddisk*>(disk);
    return d != nullptr ? static_cast<std::uint64_t>(d->GetLibraryHandle()) : 0;
  }

 private:
  da_computer* computer_;
};

// The underlying partition of a dynamic volume: an MBR partition gives its
// place in the table, a GPT partition its unique GUID.
class UnderlyingVisitor : public Fdisk::LocationVisitor {
 public:
  explicit UnderlyingVisitor(ModelVolumeDescription& d) : description(d) {}
  void Visit(Fdisk::MbrLocation& location) override {
    description.active = location.active ? 1 : 0;
    description.primary = location.logical ? 0 : 1;
    for (int i = 0; i < 3; ++i) description.numbers[i] = location.entryNumbers[i];
  }
  void Visit(Fdisk::GptLocation& location) override {
    std::memcpy(guid.data(), location.uniqueGuid.data(), 16);
  }
  ModelVolumeDescription& description;
  std::array<std::uint8_t, 16> guid{};
};

class PortionFillGuid : public Fdisk::LocationVisitor {
 public:
  PortionFillGuid(Fdisk::Computer& computer, stddisk* pseudoDisk)
      : computer_(computer), pseudo_(pseudoDisk) {}

  void Visit(Fdisk::GptLocation& location) override {
    kind_ = kModelKindGpt;
    type_guid_ = location.typeGuid;
    if (AllZero(location.typeGuid.data()) || AllZero(location.uniqueGuid.data()) ||
        std::memcmp(location.typeGuid.data(), kReservedType, 16) == 0)
      return;
    stddisk* legacy = LegacyDisk(pseudo_->GetComputer(), location.diskId);
    // A partition of a plain MBR disk is the disk's own holder already.
    if (legacy == nullptr || legacy->GetSchemeType() == 0) return;
    std::uint32_t number = 0;
    if (!DiskNumber(location.diskId, number)) return;
    DaExtent x;
    x.diskKey = location.diskId;
    x.diskNumber = number;
    x.firstSector = location.firstSector;
    x.sectorCount = location.sectorCount;
    const std::uint8_t zero[16] = {};
    Sync(location.uniqueGuid.data(), zero, {x}, location.entryOrdinal, nullptr);
  }

  void Visit(Fdisk::LdmLocation& location) override {
    description_ = ModelVolumeDescription();
    kind_ = kModelKindDynamic;
    const std::uint32_t state = location.GetVolumeState();
    if (state != 1 && state != 2) {
      // A location without a device stands for a group's free space.
      if (location.GetDisk() == nullptr) Fdisk::Old::AddLdmFreeSpace(pseudo_, location);
      return;
    }
    std::vector<DaExtent> extents;
    std::map<std::uint32_t, std::uint32_t> numbers;
    std::map<std::uint32_t, ModelVolumePlex> plexes;
    for (const auto& entry : location.GetExtents()) {
      const Fdisk::LdmExtent& e = entry.second;
      std::uint32_t number = 0;
      // A piece on a disk the model does not hold: the volume cannot be
      // shown whole, so it is left out and the walk goes on.
      if (computer_.GetDisks().count(e.diskId) == 0) return;
      DiskNumber(e.diskId, number);
      if (number != 0) {
        DaExtent x;
        x.diskKey = e.diskId;
        x.diskNumber = e.diskId == 0 ? number : 0;
        x.firstSector = e.firstSector;
        x.sectorCount = e.length;
        extents.push_back(x);
      }
      numbers[e.diskId] = number;
      ModelVolumePlex& plex = plexes[e.plex];
      plex.plexId = e.plex;
      plex.extents.push_back(ModelVolumeExtent{e.firstSector, e.length, number});
    }
    if (extents.empty()) return;

    std::unique_ptr<Fdisk::DM::LayoutRecord> layout;
    if (extents.size() > 1) {
      LegacyResolver resolver(pseudo_->GetComputer());
      std::vector<std::uint8_t> bytes;
      layout = std::make_unique<Fdisk::DM::LayoutRecord>();
      if (Fdisk::DM::BuildVolumeLayoutRecord(location, resolver, &bytes).Code() != 0 ||
          Fdisk::DM::ParseLayoutRecord(Common::ByteView(bytes.data(), bytes.size()),
                                       layout.get())
                  .Code() != 0)
        layout.reset();
    }
    description_.kind = kModelKindDynamic;
    description_.volume_state = state;
    description_.volume_type = static_cast<std::uint32_t>(location.GetVolumeType());
    if (location.GetSecondFlag()) description_.flags |= 0x400000;
    if (location.GetFirstFlag()) description_.flags |= 0x200000;
    description_.volume_guid = location.GetGuid1();
    std::array<std::uint8_t, 16> underlying{};
    if (Fdisk::PSPortion::Location* below = location.GetDriver()) {
      UnderlyingVisitor visitor(description_);
      below->Accept(visitor);
      underlying = visitor.guid;
    }
    description_.table_type = description_.volume_type;
    for (auto& p : plexes) description_.plexes.push_back(p.second);
    group_ = location.GetGuid2();
    Sync(description_.volume_guid.data(), underlying.data(), extents, 0, layout.get());
  }

 private:
  bool DiskNumber(std::uint32_t diskId, std::uint32_t& number) {
    number = 0;
    auto it = computer_.GetDisks().find(diskId);
    if (it == computer_.GetDisks().end() || it->second == nullptr) return false;
    const Fdisk::NamedVars::VarContainer& p = it->second->GetProperties();
    if (!p.Contains(Fdisk::NamedVars::Keys::DiskNumber)) return false;
    try {
      number = p.Get(Fdisk::NamedVars::Keys::DiskNumber);
    } catch (const Common::Error&) {
      return false;
    }
    return true;
  }

  std::shared_ptr<vol_handler> AttachedHandler(const std::uint8_t* guid,
                                               const std::vector<DaExtent>& extents,
                                               const Fdisk::DM::LayoutRecord* layout) {
    da_computer* computer = pseudo_->GetComputer();
    // Set-up always gives the computer the capability of hooked handlers;
    // the model's volumes have no library volume of their own to open.
    if (computer == nullptr) return nullptr;
    auto handler = std::make_shared<HookedVolHandler>();
    Common::Error e;
    if (extents.size() == 1) {
      stddisk* disk = LegacyDisk(computer, extents[0].diskKey);
      e = disk != nullptr
              ? handler->AttachTarget(disk, extents[0].firstSector, extents[0].sectorCount)
              : Common::Error(0x5AC30001, Da::Module::kModelBridge, Da::Code::kOpenDrive);
      if (e.Code() == 0) handler->VolSetSysGuid(guid);
    } else if (layout != nullptr) {
      LegacyResolver resolver(computer);
      e = handler->VolCreateComposite(*layout, resolver);
    } else {
      return nullptr;
    }
    if (e.Code() != 0) return nullptr;
    handler->computer = computer;
    return handler;
  }

  void Sync(const std::uint8_t* guid, const std::uint8_t* secondGuid,
            const std::vector<DaExtent>& extents, std::uint32_t entryIndex,
            const Fdisk::DM::LayoutRecord* layout) {
    if (extents.empty()) return;
    std::shared_ptr<vol_handler> handler = AttachedHandler(guid, extents, layout);
    HolderList& list = pseudo_->second_list;
    // A GPT partition is of kind 1, a dynamic volume of kind 0.
    const std::uint32_t kind = kind_ == kModelKindGpt ? 1 : 0;
    holder* found = FindMatchingHolder(list, guid, extents, kind,
                                       handler ? handler->VolQueryWord() : 0);
    if (found != nullptr) {
      const bool reusable = kind_ == kModelKindGpt
                                ? dynamic_cast<Fdisk::Old::GptHolder*>(found) != nullptr
                                : dynamic_cast<Fdisk::Old::LdmHolder*>(found) != nullptr;
      if (reusable) {
        if (handler) found->SetVolumeHandler(handler);
        if (auto* ldm = dynamic_cast<Fdisk::Old::LdmHolder*>(found)) {
          ldm->description = description_;
          ldm->group_guid = group_;
        }
        found->reattach = 0;
        Fdisk::FdiskLog("Reuse easy_volume %d", found->GetId());
        return;
      }
      delete list.Unlink(found);
      Fdisk::FdiskLog("Delete holder_easy_vol and create LdmHolder or GptHolder instead");
    }
    holder* made = nullptr;
    if (kind_ == kModelKindGpt) {
      made = new Fdisk::Old::GptHolder(pseudo_, extents, guid, extents[0].sectorCount, entryIndex,
                                       handler, type_guid_.data());
    } else {
      const std::uint64_t size = layout != nullptr ? layout->volumeSectors
                                                   : extents[0].sectorCount;
      auto* ldm = new Fdisk::Old::LdmHolder(pseudo_, extents, size, description_, handler,
                                            secondGuid, 0);
      ldm->group_guid = group_;
      made = ldm;
    }
    list.PushBack(made);
    Fdisk::FdiskLog("Add easy_volume %d", made->GetId());
  }

  Fdisk::Computer& computer_;
  stddisk* pseudo_;
  std::uint32_t kind_ = 0;
  ModelVolumeDescription description_;
  std::array<std::uint8_t, 16> type_guid_{};
  std::array<std::uint8_t, 16> group_{};
};

}  // namespace

namespace Fdisk {
namespace Old {

void FillPortionHolders(Fdisk::Computer& computer, PSPortion& portion, stddisk* pseudoDisk) {
  if (pseudoDisk == nullptr) return;
  PortionFillGuid visitor(computer, pseudoDisk);
  portion.GetLocation().Accept(visitor);
}

}  // namespace Old
}  // namespace Fdisk

void FillModelVolumeHolders(plain_computer& computer) {
  stddisk* pseudo = computer.pseudoDisk;
  Fdisk::Computer* model = ModelComputerOf(computer);
  if (pseudo == nullptr || model == nullptr) return;
  // A model that has not read any disk yet knows no volumes to show.
  if (model->GetPortionManager().GetLayers().empty()) return;
  HolderList& list = pseudo->second_list;
  // Free space is counted afresh; volumes of the last walk wait to be
  // matched again.
  for (holder* h = list.first; h != nullptr;) {
    holder* next = h->next;
    if (dynamic_cast<Fdisk::Old::LdmFreeSpace*>(h) != nullptr) delete list.Unlink(h);
    else if (dynamic_cast<Fdisk::Old::GptHolder*>(h) != nullptr ||
             dynamic_cast<Fdisk::Old::LdmHolder*>(h) != nullptr)
      h->reattach = 1;
    h = next;
  }
  for (auto& entry : model->GetPortionManager().GetHeadLayer()) {
    try {
      Fdisk::Old::FillPortionHolders(*model, entry.second, pseudo);
    } catch (const Common::Error&) {
      Fdisk::FdiskLog("Volume Skipped");
    }
  }
  for (holder* h = list.first; h != nullptr;) {
    holder* next = h->next;
    if (h->reattach != 0 && (dynamic_cast<Fdisk::Old::GptHolder*>(h) != nullptr ||
                             dynamic_cast<Fdisk::Old::LdmHolder*>(h) != nullptr))
      delete list.Unlink(h);
    h = next;
  }
}
