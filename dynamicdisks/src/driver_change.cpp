// The dynamic-disk driver's changes: volumes created, deleted and shrunk on
// the raw database, then committed to every member when the operation is
// real.
//
// Windows' own dynamic-disk service and the Virtual Disk Service are other
// ways to make these changes. Neither is reachable from this build: asked
// for, both answer that they cannot start, which leaves the raw way, so
// every change here is made on the database itself.
#include <cstring>

#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"
#include "ldm/driver.h"
#include "ldm/format.h"
#include "ldm/log.h"

namespace Fdisk {

namespace {

namespace K = NamedVars::Keys;

constexpr std::uint32_t kModule = 0x4C44;
constexpr std::uint32_t kCreateLocation = 0x4C440001;
constexpr std::uint32_t kDeleteLocation = 0x4C440002;
constexpr std::uint32_t kChangeLocation = 0x4C440003;
constexpr std::uint32_t kRequestLocation = 0x4C440007;

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
    std::uint32_t luid = 0;
    ThrowIf(group->CreateVolume(type, size, mirrors, stripe, entries, partType, &luid));
    if (real) pristine_ = false;
    Ldm::LdmRecord* record = nullptr;
    for (const auto& r : group->records) {
      if (r->ModelId() == luid) record = r.get();
    }
    // A drive-letter hint; a blank one says nothing and is not stored.
    const std::string hint = params.GetOr(K::DriveHint, std::string());
    if (record != nullptr && hint.find_first_not_of(' ') != std::string::npos) {
      Ldm::LdmLog("SET DRIVE HINT");
      record->ntMntName = hint;
    }
    if (real) CommitOrReload(*group);
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
    if (addMirror || removeMirror || replaceColumn || params.GetOr(K::ReactivateVolume, false)) {
      ThrowError(kChangeLocation, kModule, kErrNotImplemented, Msg::kNotImplemented);
    }
    const std::string hint = params.GetOr(K::DriveHint, std::string());
    bool changed = false;
    if (!hint.empty() && hint != volume.ntMntName) {
      Ldm::LdmLog("SET DRIVE HINT");
      volume.ntMntName = hint;
      changed = true;
    }
    const std::uint64_t size = params.GetOr(K::VolumeSize, NamedVars::VarU64(0));
    if (size == 0) ThrowError(Ldm::MakeLdmError(kChangeLocation, Ldm::kErrParameter));
    if (size > volume.volSize) {
      Ldm::LdmLog("VOLUME GROW");
      ThrowError(kChangeLocation, kModule, kErrNotImplemented, Msg::kNotImplemented);
    }
    if (size < volume.volSize) {
      Ldm::LdmLog("SHRINK VOLUME");
      ThrowIf(group.ShrinkVolume(volume, size));
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
