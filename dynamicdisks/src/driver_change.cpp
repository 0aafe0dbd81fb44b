// The dynamic-disk driver's changes: volumes created, deleted and shrunk on
// the raw database, then committed to every member when the operation is
// real.
//
// Windows' own dynamic-disk service and the Virtual Disk Service are other
// ways to create a volume (service_ways.h): a pristine driver tries them
// for a real creation, and falls back to the raw database when neither
// starts. The other changes are made on the database itself.
#include <cstring>

#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"
#include "ldm/driver.h"
#include "ldm/format.h"
#include "ldm/log.h"
#include "ldm/service_requests.h"
#include "ldm/service_ways.h"
#include "ldm/vds_client.h"

namespace Fdisk {

namespace {

namespace K = NamedVars::Keys;

constexpr std::uint32_t kModule = 0x4C44;
constexpr std::uint32_t kCreateLocation = 0x4C440001;
constexpr std::uint32_t kDeleteLocation = 0x4C440002;
constexpr std::uint32_t kChangeLocation = 0x4C440003;
constexpr std::uint32_t kRequestLocation = 0x4C440007;
// The disk model's "not found" code for a plex, which its catalog has no
// text for.
constexpr std::uint32_t kErrPlexNotFound = 0x101C11;

void ThrowIf(const Common::Error& e) {
  if (e) ThrowError(e);
}

}  // namespace

std::pair<Ldm::LdmDgAccess*, Ldm::LdmRecord*> PSLdmDriver::VolumeOfPortion(
    std::uint32_t portionId) {
  auto found = layer_.find(portionId);
  if (found == layer_.end() || found->second.IsFree()) {
    ThrowError(kDeleteLocation, kModule, kErrPartitionNotFound, Msg::kPartitionNotFound);
  }
  if (dynamic_cast<LdmLocation*>(&found->second.GetLocation()) == nullptr) {
    ThrowError(kDeleteLocation, kModule, kErrDriverNotFound, Msg::kDriverNotFound);
  }
  // A volume's portion carries its record's model id.
  for (const auto& volume : computer_->volumes) {
    if (volume->record != nullptr && volume->record->ModelId() == portionId) {
      return {volume->group, volume->record};
    }
  }
  ThrowError(Ldm::MakeLdmError(kDeleteLocation, Ldm::kErrUnsupportedVolume));
}

Ldm::LdmDgAccess* PSLdmDriver::RequestEntries(const std::deque<LdmOpRequest>& requests,
                                              bool forCreate,
                                              std::vector<Ldm::SpaceRequest>& entries) {
  Ldm::LdmDgAccess* group = nullptr;
  entries.clear();
  for (const LdmOpRequest& r : requests) {
    Ldm::LdmDisk* disk = computer_->FindDisk(r.diskId);
    if (disk == nullptr) {
      ThrowError(kRequestLocation, kModule, kErrDiskNotFound, Msg::kDiskNotFound);
    }
    const bool usable =
        disk->type == Ldm::kDiskDynamic || (forCreate && disk->type == Ldm::kDiskStalled);
    if (!usable) ThrowError(Ldm::MakeLdmError(kRequestLocation, Ldm::kErrDiskType));
    if (group == nullptr) {
      group = disk->group;
    } else if (disk->group != group) {
      ThrowError(Ldm::MakeLdmError(kRequestLocation, Ldm::kErrManyGroups));
    }
    Ldm::SpaceRequest e;
    e.disk = disk->rid;
    e.size = r.size;
    e.plexIndex = r.plexIndex;
    if (forCreate) {
      e.windowStart = r.value1;
      e.windowLength = r.value2;
    }
    entries.push_back(e);
  }
  return group;
}

void PSLdmDriver::CommitOrReload(Ldm::LdmDgAccess& group) {
  const Common::Error e = group.CommitDatabase();
  if (!e) return;
  // The in-memory change did not reach every disk: the model is read again
  // from what the disks hold, and the caller learns of the failure.
  Layer head = headLayer_;
  LoadDisks(loadedDisks_, head);
  ThrowError(e);
}

std::pair<Common::Error, std::uint32_t> PSLdmDriver::CreatePortion(
    const NamedVars::VarContainer& params) {
  try {
    const bool real = params.GetOr(K::RealOperation, false);
    Ldm::LdmLog("CREATE VOLUME");
    LdmVolType type = params.GetRequired(K::VolumeType);
    const std::uint64_t size = params.GetRequired(K::VolumeSize);
    const std::uint32_t mirrors = static_cast<std::uint32_t>(params.GetOr(K::NumberOfMirrors, 1ul));
    const std::uint32_t stripe = static_cast<std::uint32_t>(params.GetOr(K::StripeSize, 128ul));
    const std::uint32_t partType = static_cast<std::uint32_t>(params.GetOr(K::Type, 7ul));
    const std::deque<LdmOpRequest> requests = params.GetRequired(K::OpRequest);
    bool automatic = params.GetOr(K::AutomaticLayout, false);
    const std::uint32_t strategy = static_cast<std::uint32_t>(params.GetOr(K::AutoStrategy, 4ul));
    if (params.GetOr(K::RetainingVolume, false)) {
      // Volumes that are also plain partitions are not made by this driver.
      ThrowError(kCreateLocation, kModule, kErrNotImplemented, Msg::kNotImplemented);
    }

    std::vector<Ldm::SpaceRequest> entries;
    Ldm::LdmDgAccess* group = RequestEntries(requests, true, entries);
    if (requests.empty()) {
      automatic = true;
      group = nullptr;
      // The group named by the caller; else the one the machine boots
      // from; else the only one there is.
      if (params.Contains(K::GroupGuid)) {
        const Common::GuidTemplate<Common::LittleEndian> wanted = params.Get(K::GroupGuid);
        for (const auto& g : computer_->groups) {
          if (g->GetGroupGuid() == wanted) group = g.get();
        }
      } else {
        for (const auto& g : computer_->groups) {
          if (g->rootLike && group == nullptr) group = g.get();
        }
        if (group == nullptr && computer_->groups.size() == 1) group = computer_->groups.front().get();
      }
      if (group == nullptr) ThrowError(Ldm::MakeLdmError(kCreateLocation, Ldm::kErrNoGroup));
      if (type == kLdmVolInvalid) type = kLdmVolSimple;
    }
    if (automatic) {
      std::vector<Ldm::SpaceRequest> chosen;
      ThrowIf(group->AllocateVolumeSpace(static_cast<std::uint32_t>(type), size, mirrors, stripe,
                                         entries, strategy, chosen));
      entries.swap(chosen);
    }
    // A pristine driver asked for a real change lets a Windows service
    // make it when the service's own rules accept the volume.
    int way = Ldm::kWayRaw;
    std::uint64_t serviceSize = size;
    if (!params.GetOr(K::ForceRawMode, false) && real && pristine_ &&
        !Ldm::WinCheckCreateVolume(*group, type, serviceSize, mirrors, stripe, entries,
                                   Ldm::PlatformFlags(), params.GetOr(K::AutomaticAlign, true))) {
      way = Ldm::TryVdsWay(*computer_);
      if (way != Ldm::kWayVds) way = Ldm::TryWindowsLdmWay(*computer_);
    }
    std::uint32_t luid = 0;
    if (way == Ldm::kWayWindows) {
      ThrowIf(Ldm::WinCreateVolume(*group, type, serviceSize, entries, &luid));
      Ldm::LdmLog("CreatePortion(): Volume Luid = %d", static_cast<int>(luid));
    } else if (way == Ldm::kWayVds) {
      if (type == kLdmVolMirrored) {
        for (Ldm::SpaceRequest& e : entries) e.size = serviceSize;
      }
      const Common::Error e = Ldm::VdsCreateVolume(*group, type, entries, &luid);
      if (e) {
        Ldm::LdmLog("CREATE VOLUME: VdsCreateVolume() failed");
        ThrowError(e);
      }
    } else {
      ThrowIf(group->CreateVolume(type, size, mirrors, stripe, entries, partType, &luid));
      if (real) pristine_ = false;
    }
    Ldm::LdmRecord* record = nullptr;
    for (const auto& r : group->records) {
      if (r->ModelId() == luid) record = r.get();
    }
    // A drive-letter hint; a blank one says nothing and is not stored.
    const std::string hint = params.GetOr(K::DriveHint, std::string());
    if (record != nullptr && hint.find_first_not_of(' ') != std::string::npos) {
      Ldm::LdmLog("SET DRIVE HINT");
      if (way == Ldm::kWayWindows) {
        ThrowIf(Ldm::WinSetDriveHint(*group, *record, hint.c_str()));
      } else if (way == Ldm::kWayVds) {
        if (hint[0] != '\0' && hint[0] != ' ') ThrowIf(Ldm::VdsAssignDriveLetter(*group, *record, hint));
      } else {
        record->ntMntName = hint;
      }
    }
    if (real && way == Ldm::kWayRaw) CommitOrReload(*group);
    RebuildPortions();
    return {Common::Error(), luid};
  } catch (const Common::Error& e) {
    RebuildPortions();
    return {e, 0};
  }
}

Common::Error PSLdmDriver::DeletePortion(const NamedVars::VarContainer& params) {
  try {
    pristine_ = false;
    const bool real = params.GetOr(K::RealOperation, false);
    Ldm::LdmLog("DELETE VOLUME");
    const std::uint32_t portionId = static_cast<std::uint32_t>(params.GetRequired(K::PortionID));
    auto target = VolumeOfPortion(portionId);
    target.first->DeleteVolume(*target.second);
    if (real) CommitOrReload(*target.first);
    RebuildPortions();
    return Common::Error();
  } catch (const Common::Error& e) {
    RebuildPortions();
    return e;
  }
}

Common::Error PSLdmDriver::ChangePortion(const NamedVars::VarContainer& params) {
  try {
    pristine_ = false;
    const bool real = params.GetOr(K::RealOperation, false);
    const std::uint32_t portionId =
        static_cast<std::uint32_t>(params.GetRequired(NamedVars::VarKeyT<unsigned long>("portion")));
    auto target = VolumeOfPortion(portionId);
    Ldm::LdmDgAccess& group = *target.first;
    Ldm::LdmRecord& volume = *target.second;
    const bool addMirror = params.GetOr(K::AddMirror, false);
    const bool removeMirror = params.GetOr(K::RemoveMirror, false);
    const bool replaceColumn = params.GetOr(K::ReplaceColumn, false);
    if (addMirror && (removeMirror || replaceColumn)) {
      ThrowError(Ldm::MakeLdmError(kChangeLocation, Ldm::kErrParameter));
    }
    if (params.GetOr(K::ReactivateVolume, false)) {
      Ldm::LdmLog("REACTIVATE VOLUME");
      ThrowIf(group.ReactivateVolume(volume, layer_.at(portionId).GetView()));
      if (real) CommitOrReload(group);
      RebuildPortions();
      return Common::Error();
    }
    if (removeMirror) {
      Ldm::LdmLog("REMOVE MIRROR");
      const std::uint32_t number = static_cast<std::uint32_t>(params.GetRequired(K::PlexIndex));
      Ldm::LdmRecord* plex = nullptr;
      for (Ldm::LdmRecord* p : volume.children) {
        if (p->GetPlexNumber() == number) plex = p;
      }
      if (plex == nullptr) {
        ThrowError(Common::Error(kChangeLocation, kModule, kErrPlexNotFound,
                                 "Object 'Plex' cannot be found."));
      }
      ThrowIf(group.RemoveMirror(volume, *plex));
      if (real) CommitOrReload(group);
      RebuildPortions();
      return Common::Error();
    }
    if (replaceColumn || addMirror) {
      const std::uint32_t column =
          replaceColumn ? static_cast<std::uint32_t>(params.GetRequired(K::StripeIndex)) : 0;
      const std::deque<LdmOpRequest> requests = params.GetRequired(K::OpRequest);
      if (requests.empty()) ThrowError(Ldm::MakeLdmError(kChangeLocation, Ldm::kErrParameter));
      std::vector<Ldm::SpaceRequest> entries;
      if (RequestEntries(requests, false, entries) != &group) {
        ThrowError(Ldm::MakeLdmError(kChangeLocation, Ldm::kErrManyGroups));
      }
      if (replaceColumn) {
        Ldm::LdmLog("REPLACE RAID5 COLUMN");
        ThrowIf(group.ReplaceRAID5Column(volume, column, entries.front().disk));
      } else {
        Ldm::LdmLog("ADD MIRROR");
        ThrowIf(group.AddMirror(volume, entries));
      }
      if (real) CommitOrReload(group);
      RebuildPortions();
      return Common::Error();
    }
    // Every value is read and checked before the model changes.
    const std::string hint = params.GetOr(K::DriveHint, std::string());
    const std::uint64_t size = params.GetOr(K::VolumeSize, NamedVars::VarU64(0));
    if (size == 0) ThrowError(Ldm::MakeLdmError(kChangeLocation, Ldm::kErrParameter));
    std::vector<Ldm::SpaceRequest> entries;
    bool modifyType = false;
    if (size > volume.volSize) {
      const std::deque<LdmOpRequest> requests = params.GetRequired(K::OpRequest);
      if (requests.empty()) ThrowError(Ldm::MakeLdmError(kChangeLocation, Ldm::kErrParameter));
      modifyType = params.GetRequired(K::ModifyVolumeType);
      if (RequestEntries(requests, false, entries) != &group) {
        ThrowError(Ldm::MakeLdmError(kChangeLocation, Ldm::kErrManyGroups));
      }
    }
    const std::string oldHint = volume.ntMntName;
    bool changed = false;
    if (!hint.empty() && hint != volume.ntMntName) {
      Ldm::LdmLog("SET DRIVE HINT");
      volume.ntMntName = hint;
      changed = true;
    }
    // A refused size change takes the hint back with it.
    auto resize = [&](const Common::Error& e) {
      if (!e) return;
      volume.ntMntName = oldHint;
      ThrowError(e);
    };
    if (size > volume.volSize) {
      Ldm::LdmLog("VOLUME GROW");
      // A caller that asked for Windows' service, which cannot run here,
      // gets its rules: new pieces only, never a longer one.
      const std::uint32_t flags = params.GetOr(K::WindowsLdm, false) ? 1u : 0u;
      resize(group.GrowVolume(volume, size, entries, modifyType, flags));
      changed = true;
    } else if (size < volume.volSize) {
      Ldm::LdmLog("SHRINK VOLUME");
      resize(group.ShrinkVolume(volume, size));
      changed = true;
    }
    // A hint alone is a change too, and is written like one.
    if (changed && real) CommitOrReload(group);
    RebuildPortions();
    return Common::Error();
  } catch (const Common::Error& e) {
    RebuildPortions();
    return e;
  }
}

}  // namespace Fdisk
