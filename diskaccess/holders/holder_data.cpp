// What hangs on holders besides the tree: user data and its file-system
// description, the layer's backup record, the seam to the volume layer, and
// the small routines the schemes share.
#include <cstring>

#include "diskaccess/da_state.h"
#include "diskaccess/holders.h"
#include "diskaccess/volume_handlers.h"

// ---------------------------------------------------------------- user data

user_holder_data::~user_holder_data() = default;

virt_fs::virt_fs() = default;
virt_fs::~virt_fs() = default;

void virt_fs::RefreshStamp() {
  if (entry != nullptr) DaRefreshPendingStamp(entry);
}

void virt_fs::ClearStamp() {
  if (entry != nullptr) DaClearPendingStamp(entry);
}

std::shared_ptr<user_holder_data> virt_fs::Clone() const {
  auto copy = std::make_shared<virt_fs>();
  static_cast<PartitionParameters&>(*copy) = static_cast<const PartitionParameters&>(*this);
  copy->entry = entry;
  copy->options = options;
  copy->boot_record = boot_record;
  copy->letter_wanted = letter_wanted;
  std::memcpy(copy->type_guid, type_guid, sizeof type_guid);
  copy->kept_type = kept_type;
  std::memcpy(copy->block, block, sizeof block);
  // The owned buffer stays with the original.
  copy->first_type = first_type;
  copy->letter = letter;
  copy->step = step;
  copy->range_start = range_start;
  copy->range_size = range_size;
  return copy;
}

void virt_fs::FillFrom(const holder& h) {
  const std::uint8_t type = h.GetType();
  if (IsDataType(type, false) && !IsProtectiveType(type)) {
    const std::uint32_t kind = KindFromType(type);
    const std::uint64_t size = h.size;
    const std::uint8_t natural = TypeFromKind(kind, IsLbaType(type), size, false,
                                              (FatFlags & 1) != 0);
    if (type != natural) kept_type = type;
  }
  const std::uint8_t* guid = h.GetTypeGuid();
  if (guid != nullptr && IsDataGuid(guid) && !IsBasicDataGuid(guid))
    std::memcpy(type_guid, guid, sizeof type_guid);
}

std::shared_ptr<virt_fs> GetVirtFs(const holder* h) {
  if (h == nullptr) return nullptr;
  return std::dynamic_pointer_cast<virt_fs>(h->GetUserData());
}

int SetHolderUserData(holder* h, std::shared_ptr<user_holder_data> data) {
  if (h == nullptr) return 0;
  h->SetUserData(std::move(data));
  return 1;
}

// ------------------------------------------------------------------ backup

da_backup_object::~da_backup_object() = default;
da_backup::~da_backup() = default;

da_backup& DaBackup() {
  static da_backup backup;
  return backup;
}

// ------------------------------------------------------------ volume seam

HolderVolumeSeam::~HolderVolumeSeam() = default;

namespace {
HolderVolumeSeam* g_volumes = nullptr;  // null: the volume handlers' own
}  // namespace

HolderVolumeSeam& DaHolderVolumes() {
  return g_volumes != nullptr ? *g_volumes : DaVolumeLayerSeam();
}
void DaSetHolderVolumes(HolderVolumeSeam* seam) { g_volumes = seam; }

// ------------------------------------------------------- shared routines

void ReattachVolume(bool commit, PartitionInfo* info, holder* h) {
  if (h == nullptr) return;
  if (commit) {
    h->MarkOwnerModified();
  } else if (auto* plain = dynamic_cast<plain_disk*>(h->disk)) {
    plain->modified = 1;
  }
  std::shared_ptr<vol_handler> handler = info != nullptr ? info->handler : nullptr;
  const std::uint8_t letter = info != nullptr ? info->letter : 0;
  const bool mount = commit && (info == nullptr || !info->noMount);
  h->AttachVolume(mount, std::move(handler), letter);
}

void GetOuterRange(const holder* h, std::uint64_t& start, std::uint64_t& size) {
  start = size = 0;
  if (h == nullptr) return;
  start = h->start;
  size = h->size;
  if (!h->IsPrimary() && h->owner != nullptr && h->owner->start < h->start) {
    size = h->start + h->size - h->owner->start;
    start = h->owner->start;
  }
}

Common::Error ZeroSector(stddisk* disk, std::uint64_t lba) {
  if (disk == nullptr) return Common::Error();
  std::vector<std::uint8_t> zero(disk->GetSectorSize(), 0);
  return disk->Io(Fdisk::kIoWrite, lba, zero.data(), 1);
}
