// Changes of a disk group's volumes in the in-memory database: the record
// bookkeeping they share, volume creation, deletion and shrinking. Nothing
// here writes a disk; the driver commits afterwards.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "foundation/byteorder.h"
#include "foundation/guid.h"
#include "foundation/random.h"
#include "ldm/format.h"
#include "ldm/group.h"
#include "ldm/log.h"

namespace Ldm {

namespace {

constexpr std::uint32_t kCheckLocation = 0x1401;
constexpr std::uint32_t kCreateLocation = 0x1402;
constexpr std::uint32_t kShrinkLocation = 0x1403;

bool IsStripedKind(Fdisk::LdmVolType t) {
  return t == Fdisk::kLdmVolStriped || t == Fdisk::kLdmVolRaid01;
}
bool IsParityKind(Fdisk::LdmVolType t) {
  return t == Fdisk::kLdmVolRaid5 || t == Fdisk::kLdmVolStripeSetWithParity;
}

void SetState(std::array<std::uint8_t, 14>& field, const char* text) {
  field.fill(0);
  std::memcpy(field.data(), text, std::strlen(text));
}

}  // namespace

// --- record bookkeeping ------------------------------------------------------

std::string LdmDgAccess::MakeVolumeName(Fdisk::LdmVolType type) const {
  const char* base = nullptr;
  if (type == Fdisk::kLdmVolStriped || type == Fdisk::kLdmVolRaid01) {
    base = "Stripe";
  } else if (IsParityKind(type)) {
    base = "Raid";
  } else if (type >= 1 && type <= 8) {
    base = "Volume";
  } else {
    return std::string();
  }
  for (std::uint32_t n = 1;; ++n) {
    const std::string name = base + std::to_string(n);
    if (FindRecordByName(name) == nullptr) return name;
  }
}

std::string LdmDgAccess::MakeChildName(const std::string& parent) const {
  for (std::uint32_t n = 1;; ++n) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%02u", unsigned(n));
    const std::string name = parent + suffix;
    if (FindRecordByName(name) == nullptr) return name;
  }
}

std::uint32_t LdmDgAccess::NextVolumeNumber() const {
  for (std::uint32_t n = 5;; ++n) {
    bool used = false;
    for (const auto& r : records) used = used || (r->type == kRecordVolume && r->volNum == n);
    if (!used) return n;
  }
}

LdmRecord& LdmDgAccess::AddRecord(std::unique_ptr<LdmRecord> record) {
  record->touched = true;
  LdmRecord& added = *record;
  records.push_front(std::move(record));
  return added;
}

void LdmDgAccess::LinkChild(LdmRecord& parent, LdmRecord& child) {
  if (parent.type == kRecordDisk) {
    child.secondParent = &parent;
    parent.diskChildren.insert(parent.diskChildren.begin(), &child);
  } else {
    child.firstParent = &parent;
    parent.children.insert(parent.children.begin(), &child);
  }
}

void LdmDgAccess::RemoveRecord(LdmRecord* record) {
  auto drop = [record](std::vector<LdmRecord*>& list) {
    list.erase(std::remove(list.begin(), list.end(), record), list.end());
  };
  if (record->firstParent != nullptr) drop(record->firstParent->children);
  if (record->secondParent != nullptr) drop(record->secondParent->diskChildren);
  for (LdmRecord* child : record->children) child->firstParent = nullptr;
  for (LdmRecord* child : record->diskChildren) child->secondParent = nullptr;
  if (record->type == kRecordVolume) {
    for (auto it = volumes.begin(); it != volumes.end(); ++it) {
      if ((*it)->record != record) continue;
      LdmVolume* summary = *it;
      volumes.erase(it);
      computer->RemoveVolume(summary);
      break;
    }
  }
  records.remove_if([record](const std::unique_ptr<LdmRecord>& r) { return r.get() == record; });
}

void LdmDgAccess::BeginChange() {
  for (auto& r : records) r->touched = false;
  undo_.clear();
}

void LdmDgAccess::SaveVolumeForUndo(LdmRecord& volume) {
  undo_.emplace_back(&volume, volume);
  for (LdmRecord* plex : volume.children) {
    undo_.emplace_back(plex, *plex);
    for (LdmRecord* sd : plex->children) undo_.emplace_back(sd, *sd);
  }
}

void LdmDgAccess::RollbackChange() {
  // Children before parents, so that no link is left to a freed record;
  // each record's type is read before any record is freed.
  std::vector<LdmRecord*> byType[4];
  const std::uint8_t order[4] = {kRecordSubdisk, kRecordPlex, kRecordVolume, kRecordDisk};
  for (auto& r : records) {
    if (!r->touched) continue;
    for (int i = 0; i < 4; ++i) {
      if (r->type == order[i]) byType[i].push_back(r.get());
    }
  }
  for (const auto& list : byType) {
    for (LdmRecord* r : list) RemoveRecord(r);
  }
  // The saved records were never freed: their old values, links included,
  // go back over the changed ones.
  std::vector<LdmRecord*> restoredVolumes;
  for (auto& saved : undo_) {
    *saved.first = saved.second;
    saved.first->touched = false;
    if (saved.first->type == kRecordVolume) restoredVolumes.push_back(saved.first);
  }
  undo_.clear();
  RefreshFreeSpaces();
  for (LdmRecord* v : restoredVolumes) RefreshVolumeSummary(*v);
}

void LdmDgAccess::RefreshFreeSpaces() {
  for (LdmDisk* d : members) {
    if (d->type == kDiskDynamic || d->type == kDiskStalled) d->GetLdmFreeSpaces();
  }
}

LdmVolume& LdmDgAccess::AddVolumeSummary(LdmRecord& record) {
  auto volume = std::make_unique<LdmVolume>();
  volume->group = this;
  volume->record = &record;
  volume->rid = record.rid;
  LdmVolume& made = *volume;
  volumes.push_front(volume.get());
  computer->AddVolume(std::move(volume));
  RefreshVolumeSummary(record);
  return made;
}

void LdmDgAccess::RefreshVolumeSummary(LdmRecord& record) {
  for (LdmVolume* v : volumes) {
    if (v->record != &record) continue;
    v->rid = record.rid;
    v->name = record.name;
    v->type = GetVolumeType(record);
    v->size = record.volSize;
    v->state = GetVolumeState(record);
  }
}

void LdmComputer::RemoveVolume(const LdmVolume* volume) {
  volumes.remove_if([volume](const std::unique_ptr<LdmVolume>& v) { return v.get() == volume; });
}

// --- the disk check of a request ---------------------------------------------

Common::Error LdmDgAccess::CheckRequestDisks(const std::vector<SpaceRequest>& requests) const {
  if (requests.empty()) {
    return MakeLdmError(kCheckLocation, kErrParameter,
                        "The space allocation list must contain at least one entry.");
  }
  for (const SpaceRequest& r : requests) {
    const LdmDisk* d = FindDisk(r.disk);
    if (d == nullptr) return MakeLdmError(kCheckLocation, kErrNoDatabaseDisk);
    switch (d->type) {
      case kDiskDynamic:
      case kDiskForeign:
      case kDiskStalled:
        break;
      case kDiskMissing:
        return MakeLdmError(kCheckLocation, kErrMissingDisk,
                            "Cannot allocate disk space on missing disks.");
      case kDiskIncompatible:
        return MakeLdmError(kCheckLocation, kErrVersion,
                            "Cannot allocate disk space on disks with a Windows LDM incompatible "
                            "disk group.");
      case kDiskCorrupt:
        return MakeLdmError(kCheckLocation, kErrCorrupt,
                            "Cannot allocate disk space on disks with a corrupted LDM database.");
      default:
        return MakeLdmError(kCheckLocation, kErrDiskType,
                            "Cannot allocate disk space on non-dynamic disks.");
    }
  }
  return Common::Error();
}

// --- creation -----------------------------------------------------------------

namespace {

// Why a request cannot be built, before anything changes.
Common::Error Refuse(std::uint32_t code, const char* text, const char* log) {
  LdmLog("%s", log);
  return MakeLdmError(kCreateLocation, code, text);
}

}  // namespace

Common::Error LdmDgAccess::CreateVolume(Fdisk::LdmVolType type, std::uint64_t volumeSize,
                                        std::uint32_t mirrors, std::uint32_t stripeSize,
                                        const std::vector<SpaceRequest>& requests,
                                        std::uint32_t partitionType, std::uint32_t* luid) {
  LdmLog("CreateVolume LDM");
  if (luid != nullptr) *luid = 0;
  const std::size_t n = requests.size();

  // Parameter rules.
  switch (type) {
    case Fdisk::kLdmVolSimple:
      if (n != 1) {
        return Refuse(kErrVolumeType, "A simple volume requires one disk.",
                      "CreateVolume: wrong parameter -  too many disks for SIMPLE volume");
      }
      break;
    case Fdisk::kLdmVolSpanned:
    case Fdisk::kLdmVolStriped:
    case Fdisk::kLdmVolMirrored:
      if (n < 2) {
        return Refuse(kErrVolumeType,
                      type == Fdisk::kLdmVolSpanned    ? "A spanned volume requires at least 2 disks."
                      : type == Fdisk::kLdmVolStriped ? "A stripe volume requires at least 2 disks."
                                                      : "A mirrored volume requires at least 2 disks.",
                      "CreateVolume: wrong parameter - too few disks");
      }
      break;
    case Fdisk::kLdmVolRaid5:
    case Fdisk::kLdmVolStripeSetWithParity:
      if (n < 3) {
        return Refuse(kErrVolumeType, "A RAID-5 volume requires at least 3 disks.",
                      "CreateVolume: wrong parameter - RAID-5 volume require at least 3 disks");
      }
      break;
    case Fdisk::kLdmVolRaid01:
      if (n < 4) {
        return Refuse(kErrVolumeType, "A RAID0+1 volume requires at least 4 disks.",
                      "CreateVolume: wrong parameter - RAID0+1 volume require at least 4 disks");
      }
      if (n % 2 != 0) {
        return Refuse(kErrVolumeType, "A RAID0+1 volume requires even number of disks.",
                      "CreateVolume: wrong parameter - RAID0+1 volume required even number of disks");
      }
      break;
    default:
      return Refuse(kErrVolumeType, "An unknown parameter of volume type.",
                    "CreateVolume: wrong parameter - Unknown volume type");
  }
  if (volumeSize == 0) {
    return Refuse(kErrParameter, "An invalid parameter for the LDM driver operation.",
                  "CreateVolume: wrong parameter - zero volume size");
  }
  // The rounding below divides by the stripe and by the columns of a plex;
  // a request that leaves nothing to divide by, or that rounds down to
  // nothing, is refused rather than made into an empty volume.
  if ((IsStripedKind(type) || IsParityKind(type)) && stripeSize == 0) {
    return Refuse(kErrParameter, "An invalid parameter for the LDM driver operation.",
                  "CreateVolume: wrong parameter - stripe size 0");
  }
  // A RAID 0+1 volume is always two plexes; a request for another count
  // would be sized for one layout and built as another.
  if (type == Fdisk::kLdmVolRaid01 && mirrors != 1) {
    return Refuse(kErrParameter, "An invalid parameter for the LDM driver operation.",
                  "CreateVolume: wrong parameter - RAID0+1 takes one mirror");
  }

  if (Common::Error e = CheckRequestDisks(requests)) {
    LdmLog("CreateVolume: bad one or more disk types: basis, missing, corrupted DB, unsupported DB "
           "version");
    return e;
  }

  // Space check by layout.
  auto freeOf = [&](const SpaceRequest& r) -> std::uint64_t {
    LdmDisk* d = FindDisk(r.disk);
    d->GetLdmFreeSpaces();
    return d->GetTotalFreeSpace();
  };
  auto anyStalled = [&]() {
    for (const SpaceRequest& r : requests) {
      if (FindDisk(r.disk)->type == kDiskStalled) return true;
    }
    return false;
  };
  std::uint64_t column = 0;  // W: the length of one column or plex
  std::uint64_t dataColumns = 0;
  switch (type) {
    case Fdisk::kLdmVolSimple:
      if (freeOf(requests[0]) < volumeSize) {
        return Refuse(kErrFreeSpace, "Not enough free disk space for volume creation.",
                      "CreateVolume: space allocation - not enough free space on disk");
      }
      break;
    case Fdisk::kLdmVolSpanned: {
      std::uint64_t sum = 0;
      for (const SpaceRequest& r : requests) {
        if (!Common::CheckedAdd(sum, r.size, &sum)) sum = ~std::uint64_t(0);
      }
      if (sum < volumeSize) {
        return Refuse(kErrFreeSpace,
                      "Total free space on the selected disks is less than required for volume "
                      "creation.",
                      "CreateVolume: wrong parameters - total selected space on selected disks is "
                      "less that volume size");
      }
      for (const SpaceRequest& r : requests) {
        if (freeOf(r) < r.size) {
          return Refuse(kErrFreeSpace,
                        "Not enough free disk space on one of the selected disks to create a "
                        "spanned volume with the specified layout.",
                        "CreateVolume: space allocation - free space on one of selected disks is "
                        "less that selected");
        }
      }
      break;
    }
    case Fdisk::kLdmVolMirrored:
      if (anyStalled()) {
        return Refuse(kErrStalledDisk, "Cannot create a mirrored volume on stalled disks.",
                      "CreateVolume: group state - can't create mirrored volume on stalled disk, "
                      "reactivate disk first");
      }
      for (const SpaceRequest& r : requests) {
        if (freeOf(r) < volumeSize) {
          return Refuse(kErrFreeSpace, "Not enough free disk space on one of the selected disks.",
                        "CreateVolume: space allocation - not enough free space on disk");
        }
      }
      break;
    default: {
      // Striped, parity and RAID 0+1: whole stripes over the data columns,
      // the products in 64 bits.
      dataColumns = type == Fdisk::kLdmVolStriped ? n : IsParityKind(type) ? n - 1 : n / 2;
      const std::uint64_t row = std::uint64_t(stripeSize) * dataColumns;
      volumeSize = volumeSize / row * row;
      if (volumeSize == 0) {
        return Refuse(kErrParameter, "An invalid parameter for the LDM driver operation.",
                      "CreateVolume: wrong parameter - volume size below one stripe row");
      }
      column = volumeSize / dataColumns;
      if (type != Fdisk::kLdmVolStriped && anyStalled()) {
        return Refuse(kErrStalledDisk,
                      IsParityKind(type) ? "Cannot create a RAID-5 volume on stalled disks."
                                         : "Cannot create a RAID0+1 volume on stalled disks.",
                      "CreateVolume: group state - can't create volume on stalled disk, "
                      "reactivate disk first");
      }
      for (const SpaceRequest& r : requests) {
        if (freeOf(r) < column) {
          return Refuse(kErrFreeSpace, "Not enough free disk space on one of the selected disks.",
                        "CreateVolume: space allocation - not enough free space on one of disks");
        }
      }
      break;
    }
  }

  // From here the records change; a failure takes them back.
  BeginChange();
  auto volume = std::make_unique<LdmRecord>();
  volume->type = kRecordVolume;
  volume->version = 5;
  volume->rid = NextRid();
  volume->name = MakeVolumeName(type);
  if (IsParityKind(type)) {
    volume->volType = "raid5";
    volume->volTypeCode = 4;
    volume->volFlags = 0;
  } else {
    volume->volType = "gen";
    volume->volTypeCode = 3;
    volume->volFlags = 0x11;
  }
  SetState(volume->volState, "ACTIVE");
  volume->volNum = NextVolumeNumber();
  volume->logComId = NextLogCommitId();
  volume->id = NextLogCommitId();
  volume->volSize = volumeSize;
  if (type == Fdisk::kLdmVolRaid01) volume->checkpnt = volumeSize;
  volume->partType = partitionType;
  Common::Guid guid{};
  Common::GuidNewRandom(guid);
  std::memcpy(volume->guid.data(), guid.bytes, 16);
  LdmRecord& vol = AddRecord(std::move(volume));

  auto makePlex = [&](std::uint8_t layout, std::uint32_t columns) -> LdmRecord& {
    auto plex = std::make_unique<LdmRecord>();
    plex->type = kRecordPlex;
    plex->version = 3;
    plex->rid = NextRid();
    plex->name = MakeChildName(vol.name);
    plex->plxState = "ACTIVE";
    plex->layout = layout;
    plex->parent = vol.rid;
    plex->logComId = NextLogCommitId();
    if (layout != 2) {
      plex->stripeSiz = stripeSize;
      plex->numCol = columns;
    }
    LdmRecord& made = AddRecord(std::move(plex));
    LinkChild(vol, made);
    return made;
  };

  // Pieces of one column or plex on one disk: free regions taken one by
  // one until the length is placed.
  auto place = [&](LdmRecord& plex, const SpaceRequest& r, std::uint64_t length,
                   std::uint64_t& offset, std::uint32_t columnIndex) -> Common::Error {
    LdmDisk* disk = FindDisk(r.disk);
    while (length > 0) {
      LdmRecord* diskRecord = FindRecord(r.disk);
      if (diskRecord == nullptr || diskRecord->type != kRecordDisk) {
        LdmLog("CreateVolume - internal - Can't find disk record for Rid = %llx",
               (unsigned long long)r.disk);
        return MakeLdmError(kCreateLocation, kErrNoSuchDisk);
      }
      Region* region = disk->FindFreeRegion(length, r.windowStart, r.windowLength);
      if (region == nullptr || region->size == 0) {
        LdmLog("CreateVolume - internal - Free space not found");
        return MakeLdmError(kCreateLocation, kErrNoFreeSpace);
      }
      const std::uint64_t take = std::min(region->size, length);
      auto sd = std::make_unique<LdmRecord>();
      sd->type = kRecordSubdisk;
      sd->version = 3;
      sd->rid = NextRid();
      sd->name = MakeChildName(diskRecord->name);
      sd->logComId = NextLogCommitId();
      sd->start = region->start - disk->publicStart;
      sd->volOff = offset;
      sd->size = take;
      sd->plexRid = plex.rid;
      sd->diskRid = diskRecord->rid;
      sd->plexIdx = columnIndex;
      LdmRecord& made = AddRecord(std::move(sd));
      LinkChild(plex, made);
      LinkChild(*diskRecord, made);
      offset += take;
      length -= take;
      disk->GetLdmFreeSpaces();
    }
    return Common::Error();
  };

  Common::Error failed;
  switch (type) {
    case Fdisk::kLdmVolSimple:
    case Fdisk::kLdmVolSpanned: {
      LdmRecord& plex = makePlex(2, 0);
      std::uint64_t offset = 0;
      for (const SpaceRequest& r : requests) {
        const std::uint64_t length = type == Fdisk::kLdmVolSimple ? volumeSize : r.size;
        if (!failed) failed = place(plex, r, length, offset, 0);
      }
      if (!failed) plex.logComId = NextLogCommitId();
      break;
    }
    case Fdisk::kLdmVolMirrored:
      for (const SpaceRequest& r : requests) {
        if (failed) break;
        LdmRecord& plex = makePlex(2, 0);
        std::uint64_t offset = 0;
        failed = place(plex, r, volumeSize, offset, 0);
        if (!failed) plex.logComId = NextLogCommitId();
      }
      break;
    case Fdisk::kLdmVolRaid01: {
      const std::uint32_t half = static_cast<std::uint32_t>(n / 2);
      for (std::uint32_t p = 0; p < 2 && !failed; ++p) {
        LdmRecord& plex = makePlex(1, half);
        for (std::uint32_t j = 0; j < half && !failed; ++j) {
          std::uint64_t offset = 0;
          failed = place(plex, requests[p * half + j], column, offset, j);
        }
      }
      break;
    }
    default: {
      LdmRecord& plex = makePlex(IsParityKind(type) ? 3 : 1, static_cast<std::uint32_t>(n));
      for (std::uint32_t i = 0; i < n && !failed; ++i) {
        std::uint64_t offset = 0;
        failed = place(plex, requests[i], column, offset, i);
      }
      if (!failed) plex.logComId = NextLogCommitId();
      break;
    }
  }
  if (failed) {
    RollbackChange();
    return failed;
  }
  vol.id = NextLogCommitId();
  vol.logComId = NextLogCommitId();
  AddVolumeSummary(vol);
  if (luid != nullptr) *luid = vol.ModelId();
  LdmLog("CreateVolume: success");
  BeginChange();
  return Common::Error();
}

// --- deletion and shrinking --------------------------------------------------

void LdmDgAccess::DeleteVolume(LdmRecord& volume) {
  LdmLog("DeleteVolume LDM");
  const std::vector<LdmRecord*> plexes = volume.children;
  for (LdmRecord* plex : plexes) {
    const std::vector<LdmRecord*> subdisks = plex->children;
    for (LdmRecord* sd : subdisks) RemoveRecord(sd);
    RemoveRecord(plex);
  }
  RemoveRecord(&volume);
  RefreshFreeSpaces();
}

Common::Error LdmDgAccess::ShrinkVolume(LdmRecord& volume, std::uint64_t newSize) {
  LdmLog("ShrinkVolume LDM");
  const Fdisk::LdmVolType type = GetVolumeType(volume);
  if (type == Fdisk::kLdmVolInvalid) {
    LdmLog("ShrinkVolume: Invalid volume type");
    return MakeLdmError(kShrinkLocation, kErrVolumeType);
  }
  if (newSize >= volume.volSize || newSize == 0) {
    LdmLog("ShrinkVolume: New Volume size greater or equal to current volume size");
    return MakeLdmError(kShrinkLocation, kErrParameter,
                        "Parameter error: volume size must be less than the current volume size.");
  }
  const std::vector<LdmRecord*> plexes = volume.children;
  // Every plex is checked before the first one is cut.
  const bool columned = IsStripedKind(type) || IsParityKind(type);
  for (LdmRecord* plex : plexes) {
    if (!columned) continue;
    const std::uint64_t columns = IsParityKind(type) ? plex->numCol - 1 : plex->numCol;
    if (plex->numCol == 0 || columns == 0 || plex->stripeSiz == 0) {
      return MakeLdmError(kShrinkLocation, kErrVolumeType);
    }
  }
  for (LdmRecord* plex : plexes) {
    std::uint64_t cut = newSize;
    if (columned) {
      const std::uint64_t columns = IsParityKind(type) ? plex->numCol - 1 : plex->numCol;
      const std::uint64_t row = plex->stripeSiz * columns;
      cut = (newSize + row - 1) / row * row / columns;
    }
    const std::vector<LdmRecord*> subdisks = plex->children;
    for (LdmRecord* sd : subdisks) {
      if (sd->volOff >= cut) {
        RemoveRecord(sd);
      } else if (sd->volOff + sd->size > cut) {
        sd->size = cut - sd->volOff;
        sd->logComId = NextLogCommitId();
      }
    }
    if (IsStripedKind(type) || IsParityKind(type)) plex->logComId = NextLogCommitId();
  }
  volume.volSize = newSize;
  volume.logComId = NextLogCommitId();
  RefreshFreeSpaces();
  RefreshVolumeSummary(volume);
  return Common::Error();
}

}  // namespace Ldm
