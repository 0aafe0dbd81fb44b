// The disk-group model: members, record lookups and the volume queries.
#include "ldm/group.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "foundation/byteorder.h"
#include "foundation/guid.h"
#include "ldm/format.h"
#include "ldm/log.h"

namespace Ldm {

namespace {
RootGroupSource rootSource;
}  // namespace

void SetRootGroupSource(const RootGroupSource& source) { rootSource = source; }

std::uint32_t PlatformFlags() { return rootSource.platformFlags ? rootSource.platformFlags() : 0; }

LdmDgAccess::LdmDgAccess(LdmDisk& first, LdmComputer* owner)
    : hostGuid(first.hostGuid),
      groupGuid(first.groupGuid),
      name(first.groupName),
      computer(owner) {
  LdmLog("-------------------------------------");
  LdmLog("Detect Disk Group = '%s'", name.c_str());
}

void LdmDgAccess::AddMember(LdmDisk* disk) {
  members.push_front(disk);
  disk->group = this;
}

LdmRecord* LdmDgAccess::FindRecord(std::uint64_t rid) const {
  for (const auto& r : records) {
    if (r->rid == rid) return r.get();
  }
  return nullptr;
}

LdmRecord* LdmDgAccess::FindRecordByName(const std::string& recordName) const {
  for (const auto& r : records) {
    if (r->name == recordName) return r.get();
  }
  return nullptr;
}

LdmDisk* LdmDgAccess::FindDisk(std::uint64_t diskRid) const {
  for (LdmDisk* d : members) {
    if (d->rid == diskRid) return d;
  }
  return nullptr;
}

namespace {

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// The 16 bytes in the order they are stored, as GUID text.
std::string StoredOrderText(const Guid16& g) {
  const std::uint8_t swapped[16] = {g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6],
                                    g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]};
  return FormatLdmGuid(swapped);
}

}  // namespace

LdmDisk* LdmDgAccess::FindDiskOfRecord(const LdmRecord& diskRecord) const {
  if (diskRecord.type != kRecordDisk || diskRecord.guidText.empty()) return nullptr;
  // A version-4 record holds the GUID as 16 bytes. The published
  // descriptions disagree on their order; a member matches either reading,
  // so that a present disk is never taken for a missing one.
  const std::string stored =
      diskRecord.version == 4 ? StoredOrderText(diskRecord.objGuid) : diskRecord.guidText;
  for (LdmDisk* d : members) {
    if (d->type == kDiskMissing) continue;
    if (SameText(d->diskGuid, diskRecord.guidText) || SameText(d->diskGuid, stored)) return d;
  }
  return nullptr;
}

LdmVolume* LdmDgAccess::FindVolume(std::uint64_t rid) {
  for (LdmVolume* v : volumes) {
    if (v->rid == rid) return v;
  }
  return nullptr;
}

Fdisk::LdmVolType LdmDgAccess::GetVolumeType(const LdmRecord& volume) const {
  if (volume.children.empty()) return Fdisk::kLdmVolInvalid;
  const LdmRecord& plex = *volume.children.front();
  if (volume.children.size() > 1) {
    if (plex.layout == 1) return Fdisk::kLdmVolRaid01;
    if (plex.layout == 2) return Fdisk::kLdmVolMirrored;
    return Fdisk::kLdmVolInvalid;
  }
  switch (plex.layout) {
    case 1:
      return Fdisk::kLdmVolStriped;
    case 3:
      return (volume.volFlags & (1u << 20)) ? Fdisk::kLdmVolStripeSetWithParity
                                            : Fdisk::kLdmVolRaid5;
    case 2: {
      if (plex.children.empty()) return Fdisk::kLdmVolInvalid;
      const std::uint64_t first = plex.children.front()->diskRid;
      for (const LdmRecord* sd : plex.children) {
        if (sd->diskRid != first) return Fdisk::kLdmVolSpanned;
      }
      return Fdisk::kLdmVolSimple;
    }
    default:
      return Fdisk::kLdmVolInvalid;
  }
}

std::uint64_t LdmDgAccess::GetStripeSize(const LdmRecord& volume) const {
  return volume.children.empty() ? 0 : volume.children.front()->stripeSiz;
}

bool LdmDgAccess::IsVolumeUsable(const LdmRecord& volume) const {
  if (volume.volSize == 0) return false;
  const Fdisk::LdmVolType type = GetVolumeType(volume);
  if (type == Fdisk::kLdmVolInvalid) return false;
  const bool striped = type == Fdisk::kLdmVolStriped || type == Fdisk::kLdmVolRaid01;
  const bool parity = type == Fdisk::kLdmVolRaid5 || type == Fdisk::kLdmVolStripeSetWithParity;
  for (const LdmRecord* plex : volume.children) {
    if (striped || parity) {
      const std::uint32_t least = parity ? 2 : 1;
      if (plex->numCol < least || plex->stripeSiz == 0 || plex->stripeSiz > 0xFFFFFFFFu) {
        return false;
      }
    }
    for (const LdmRecord* sd : plex->children) {
      if ((striped || parity) && sd->plexIdx >= plex->numCol) return false;
      const LdmDisk* disk = FindDisk(sd->diskRid);
      if (disk == nullptr || disk->type == kDiskMissing || disk->modelDisk == nullptr) continue;
      std::uint64_t end = 0;
      if (sd->size == 0 || !Common::CheckedAdd(sd->start, sd->size, &end) ||
          end > disk->publicSize) {
        return false;
      }
    }
  }
  return true;
}

std::uint32_t LdmDgAccess::GetVolumeState(const LdmRecord& volume) {
  const Fdisk::LdmVolType type = GetVolumeType(volume);
  if (type < Fdisk::kLdmVolSimple || type > Fdisk::kLdmVolRaid01) return kVolumeInvalid;
  if (!IsVolumeUsable(volume)) return kVolumeFailed;
  switch (type) {
    case Fdisk::kLdmVolSimple:
    case Fdisk::kLdmVolSpanned:
    case Fdisk::kLdmVolStriped: {
      const LdmRecord& plex = *volume.children.front();
      for (const LdmRecord* sd : plex.children) {
        const LdmDisk* disk = FindDisk(sd->diskRid);
        if (disk == nullptr) {
          LdmLog("GetVolumeState: Disk not found");
          return kVolumeInvalid;
        }
        if (disk->type != kDiskDynamic && disk->type != kDiskStalled) return kVolumeFailed;
      }
      return kVolumeHealthy;
    }
    case Fdisk::kLdmVolMirrored:
    case Fdisk::kLdmVolRaid01: {
      int healthy = 0;
      int failed = 0;
      for (const LdmRecord* plex : volume.children) {
        bool ok = true;
        for (const LdmRecord* sd : plex->children) {
          const LdmDisk* disk = FindDisk(sd->diskRid);
          if (disk == nullptr) return kVolumeInvalid;
          if (disk->type != kDiskDynamic) ok = false;
        }
        (ok ? healthy : failed)++;
      }
      if (healthy == 0) return kVolumeFailed;
      return failed ? kVolumeFailedRedundancy : kVolumeHealthy;
    }
    default: {  // parity
      for (LdmDisk* d : members) d->counted = false;
      int counted = 0;
      for (const LdmRecord* plex : volume.children) {
        for (const LdmRecord* sd : plex->children) {
          LdmDisk* disk = FindDisk(sd->diskRid);
          if (disk == nullptr) return kVolumeInvalid;
          if (!disk->counted && disk->type != kDiskDynamic) {
            disk->counted = true;
            ++counted;
          }
        }
      }
      if (counted == 0) return kVolumeHealthy;
      return counted == 1 ? kVolumeFailedRedundancy : kVolumeFailed;
    }
  }
}

std::vector<LayoutEntry> LdmDgAccess::GetVolumeLayout(const LdmRecord& volume) const {
  std::vector<LayoutEntry> out;
  for (const LdmRecord* plex : volume.children) {
    for (const LdmRecord* sd : plex->children) {
      LayoutEntry e;
      e.disk = FindDisk(sd->diskRid);
      const bool present =
          e.disk != nullptr && (e.disk->type == kDiskDynamic || e.disk->type == kDiskStalled);
      e.present = present;
      e.relativeStart = sd->start;
      e.start = present ? e.disk->publicStart + sd->start : sd->start;
      e.length = sd->size;
      e.offset = sd->volOff;
      e.plexNumber = plex->GetPlexNumber();
      e.column = sd->plexIdx;
      // A plex or column piece that waits for its bytes is left out of
      // reading like an excluded plex.
      e.plexFlag = ((plex->plxFlags | sd->sdFlags) >> 1) & 1;
      e.diskState = present ? e.disk->type : kDiskMissing;
      const LdmRecord* diskRecord = FindRecord(sd->diskRid);
      e.diskName = diskRecord != nullptr ? diskRecord->name : std::string();
      out.push_back(e);
    }
  }
  return out;
}

std::uint64_t LdmDgAccess::GetMaxRid() const {
  std::uint64_t best = 0;
  for (const auto& r : records) best = std::max(best, r->rid);
  return best;
}

Common::Guid LdmDgAccess::GetGroupGuid() const {
  Common::Guid guid{};
  Common::GuidFromString(guid, groupGuid);
  return guid;
}

void LdmComputer::Clear() {
  volumes.clear();
  groups.clear();
  disks.clear();
  volumeCounter = 0;
}

LdmDisk* LdmComputer::FindDisk(std::uint32_t diskId) const {
  for (const auto& d : disks) {
    if (d->GetDiskId() == diskId) return d.get();
  }
  return nullptr;
}

void LdmComputer::AddVolume(std::unique_ptr<LdmVolume> volume) {
  volume->number = volumeCounter++;
  volumes.push_front(std::move(volume));
}

void MarkRootDiskGroup(LdmComputer& computer) {
  const std::uint32_t flags = PlatformFlags();
  if (flags & 0x40) {
    LdmLog("Mark All groups as Root Like Dgs");
    for (auto& g : computer.groups) g->rootLike = true;
    return;
  }
  std::string name;
  std::string id;
  if (rootSource.primaryGroup == nullptr || !rootSource.primaryGroup(name, id)) {
    LdmLog("None Information about Root Dg available in registry\n");
    return;
  }
  for (auto& g : computer.groups) {
    if (g->name == name && g->groupGuid == id) {
      g->rootLike = true;
      LdmLog("Group '%s' is Root Dg (from registry)", g->name.c_str());
    }
  }
}

}  // namespace Ldm
