// The dynamic-disk driver's disk operations: basic disks made dynamic and
// dynamic disks made basic again, on the raw database.
//
// Each runs under a write journal: a disk that fails half-way has every
// sector written for the operation put back, and the model is read again
// from the disks, so a failure leaves the disks and the model as they were.
#include <set>

#include "fdisk/error.h"
#include "fdisk/named_var_keys.h"
#include "fdisk/raw_driver.h"
#include "fdisk/write_journal.h"
#include "ldm/driver.h"
#include "ldm/format.h"
#include "ldm/log.h"
#include "ldm/service_groups.h"

namespace Fdisk {

namespace {

namespace K = NamedVars::Keys;

constexpr std::uint32_t kDisksLocation = 0x4C440008;

void ThrowIf(const Common::Error& e) {
  if (e) ThrowError(e);
}

// The disk a portion of a lower layer lies on; false for other kinds.
bool DiskOfPortion(PSPortion& portion, std::uint32_t& diskId) {
  Ldm::LdmLowerLayerVisitor kind(portion);
  if (kind.mbr != nullptr) {
    diskId = kind.mbr->diskId;
  } else if (kind.gpt != nullptr) {
    diskId = kind.gpt->diskId;
  } else if (kind.raw != nullptr) {
    diskId = kind.raw->GetDiskId();
  } else {
    return false;
  }
  return true;
}

}  // namespace

Common::Error PSLdmDriver::InitDisks(PSDriverFactory& factory, const DiskMap& disks,
                                     Layer& portions, const NamedVars::VarContainer& params) {
  WriteJournal journal;
  try {
    Ldm::LdmLog("INIT DISKS");
    // Neither of Windows' services runs here: the raw way.
    const bool real = params.GetOr(K::RealOperation, true);
    std::vector<std::uint32_t> order;
    auto consider = [&](std::uint32_t diskId) {
      for (std::uint32_t d : order) {
        if (d == diskId) return;
      }
      order.push_back(diskId);
    };
    for (auto& entry : portions) {
      std::uint32_t diskId = 0;
      if (DiskOfPortion(entry.second, diskId)) consider(diskId);
    }
    for (const auto& d : disks) consider(d.first);
    // Every disk is checked before the first one changes.
    for (std::uint32_t diskId : order) {
      Ldm::LdmDisk* disk = computer_->FindDisk(diskId);
      if (disk == nullptr) ThrowError(Ldm::MakeLdmError(kDisksLocation, Ldm::kErrNoDatabaseDisk));
      if (disk->type != Ldm::kDiskBasic) {
        ThrowError(Ldm::MakeLdmError(kDisksLocation, Ldm::kErrDiskType));
      }
    }
    for (std::uint32_t diskId : order) {
      Ldm::LdmDisk* disk = computer_->FindDisk(diskId);
      Ldm::LdmDgAccess* group = nullptr;
      for (const auto& g : computer_->groups) {
        if (g->primary != nullptr) {
          group = g.get();
          break;
        }
      }
      if (group == nullptr) {
        Ldm::LdmLog("CreateDefaultDiskGroup");
        computer_->groups.push_front(
            std::make_unique<Ldm::LdmDgAccess>(Ldm::kDefaultGroupName, computer_.get()));
        group = computer_->groups.front().get();
        group->rootLike = true;
      }
      // The new database is committed by the conversion itself, to the
      // new member and every other one.
      ThrowIf(group->InitNewDatabase(*disk, real, factory));
    }
    if (real) pristine_ = false;
    RebuildPortions();
    return Common::Error();
  } catch (const Common::Error& e) {
    journal.Rollback();
    Layer head = headLayer_;
    LoadDisks(loadedDisks_, head);
    return e;
  }
}

Common::Error PSLdmDriver::RemoveDisks(PSDriverFactory& factory, const DiskMap& disks,
                                       Layer& portions, const NamedVars::VarContainer& params) {
  WriteJournal journal;
  try {
    pristine_ = false;
    const bool real = params.GetOr(K::RealOperation, false);
    const bool cleanup = params.GetOr(K::RemoveCleanup, false);
    Ldm::LdmLog(cleanup ? "REMOVE CLEANUP" : "CONVERT DYNAMIC DISK TO BASIC");
    std::vector<std::uint32_t> order;
    auto consider = [&](std::uint32_t diskId) {
      for (std::uint32_t d : order) {
        if (d == diskId) return;
      }
      order.push_back(diskId);
    };
    for (auto& entry : portions) {
      Ldm::LdmLowerLayerVisitor kind(entry.second);
      if (kind.ldm == nullptr) continue;
      for (const auto& e : kind.ldm->GetExtents()) consider(e.second.diskId);
    }
    for (const auto& d : disks) consider(d.first);
    for (std::uint32_t diskId : order) {
      Ldm::LdmDisk* disk = computer_->FindDisk(diskId);
      if (disk == nullptr) ThrowError(Ldm::MakeLdmError(kDisksLocation, Ldm::kErrNoDatabaseDisk));
      if (disk->type != Ldm::kDiskDynamic || disk->group == nullptr) {
        ThrowError(Ldm::MakeLdmError(kDisksLocation, Ldm::kErrDiskType));
      }
    }
    std::set<Ldm::LdmDgAccess*> groups;
    std::set<std::uint32_t> schemeDrivers;
    for (std::uint32_t diskId : order) {
      Ldm::LdmDisk* disk = computer_->FindDisk(diskId);
      Ldm::LdmDgAccess* group = disk->group;
      groups.insert(group);
      for (auto& entry : computer_->headLayer) {
        std::uint32_t on = 0;
        if (DiskOfPortion(entry.second, on) && on == diskId) {
          schemeDrivers.insert(entry.second.GetDriverId());
        }
      }
      // A clean removal first takes away the pieces the disk holds; the
      // disk then leaves the group as an empty member does, so that it
      // carries no database that names the group any longer.
      if (cleanup) group->RemoveDiskVolumes(*disk);
      ThrowIf(group->ConvertDiskToBasic(*disk, factory));
    }
    if (real) {
      for (Ldm::LdmDgAccess* group : groups) {
        if (group->primary != nullptr) ThrowIf(group->CommitDatabase());
      }
      for (std::uint32_t id : schemeDrivers) {
        PSDriver& driver = factory.GetDriver(id);
        if (&driver != this) ThrowIf(driver.Commit());
      }
    }
    RebuildPortions();
    return Common::Error();
  } catch (const Common::Error& e) {
    journal.Rollback();
    Layer head = headLayer_;
    LoadDisks(loadedDisks_, head);
    return e;
  }
}

}  // namespace Fdisk
