// A member taken out of its disk group: the volume pieces it holds removed
// (the clean removal of a disk), and the conversion of an empty member back
// to a basic disk.
//
// None of these writes the group's database; the driver commits it to the
// remaining members when the operation is real, so that they no longer
// list the disk. The conversion to basic zeroes the PRIVHEAD copies of an
// MBR disk at once and leaves the partition-table changes in the scheme
// drivers' tables for the driver to commit.
#include <algorithm>
#include <cstring>

#include "fdisk/named_var_keys.h"
#include "fdisk/partition_types.h"
#include "ldm/format.h"
#include "ldm/group.h"
#include "ldm/log.h"

namespace Ldm {

namespace {

namespace K = Fdisk::NamedVars::Keys;

constexpr std::uint32_t kBasicLocation = 0x1601;

bool HoldsPiece(const LdmRecord& plex, std::uint64_t diskRid) {
  for (const LdmRecord* sd : plex.children) {
    if (sd->diskRid == diskRid) return true;
  }
  return false;
}

}  // namespace

void LdmDgAccess::RemoveMember(LdmDisk* disk) { members.remove(disk); }

void LdmDgAccess::SelectPrimaryDisk() {
  LdmDisk* chosen = nullptr;
  for (LdmDisk* d : members) {
    if (d != primary && d->type == kDiskDynamic && d->modelDisk != nullptr) {
      chosen = d;
      break;
    }
  }
  if (chosen == nullptr) LdmLog("SelectPrimaryDisk: no other dynamic member");
  primary = chosen;
}

void LdmDgAccess::RemoveVolumePieceOnDisk(LdmRecord& volume, std::uint64_t diskRid) {
  const Fdisk::LdmVolType type = GetVolumeType(volume);
  auto dropPieces = [&](LdmRecord& plex, bool onDiskOnly, std::uint32_t column, bool byColumn) {
    const std::vector<LdmRecord*> subdisks = plex.children;
    for (LdmRecord* sd : subdisks) {
      if (onDiskOnly && sd->diskRid != diskRid) continue;
      if (byColumn && sd->plexIdx != column) continue;
      RemoveRecord(sd);
    }
  };
  switch (type) {
    case Fdisk::kLdmVolMirrored:
    case Fdisk::kLdmVolRaid01: {
      for (;;) {
        LdmRecord* plex = nullptr;
        for (LdmRecord* p : volume.children) {
          if (HoldsPiece(*p, diskRid)) {
            plex = p;
            break;
          }
        }
        if (plex == nullptr) break;
        dropPieces(*plex, false, 0, false);
        RemoveRecord(plex);
      }
      if (volume.children.empty()) {
        DeleteVolume(volume);
      } else {
        volume.logComId = NextLogCommitId();
        RefreshVolumeSummary(volume);
      }
      break;
    }
    case Fdisk::kLdmVolRaid5:
    case Fdisk::kLdmVolStripeSetWithParity: {
      LdmRecord& plex = *volume.children.front();
      for (const LdmRecord* sd : std::vector<LdmRecord*>(plex.children)) {
        if (sd->diskRid == diskRid) {
          dropPieces(plex, false, sd->plexIdx, true);
          break;
        }
      }
      std::uint32_t present = 0;
      for (std::uint32_t c = 0; c < plex.numCol; ++c) {
        for (const LdmRecord* sd : plex.children) {
          if (sd->plexIdx == c) {
            ++present;
            break;
          }
        }
      }
      if (present + 1 < plex.numCol) {
        DeleteVolume(volume);
      } else {
        plex.logComId = NextLogCommitId();
        volume.logComId = NextLogCommitId();
        RefreshVolumeSummary(volume);
      }
      break;
    }
    default:
      DeleteVolume(volume);
      break;
  }
  RefreshFreeSpaces();
}

void LdmDgAccess::RemoveDiskVolumes(LdmDisk& disk) {
  for (;;) {
    LdmRecord* found = nullptr;
    for (const auto& r : records) {
      if (r->type != kRecordVolume) continue;
      for (const LdmRecord* plex : r->children) {
        if (HoldsPiece(*plex, disk.rid)) found = r.get();
      }
      if (found != nullptr) break;
    }
    if (found == nullptr) return;
    RemoveVolumePieceOnDisk(*found, disk.rid);
  }
}

void LdmDgAccess::DetachDisk(LdmDisk& disk) {
  if (primary == &disk) SelectPrimaryDisk();
  RemoveMember(&disk);
  disk.group = nullptr;
  disk.rid = 0;
  disk.type = kDiskBasic;
}

Common::Error LdmDgAccess::ConvertDiskToBasic(LdmDisk& disk, Fdisk::PSDriverFactory& factory) {
  for (const auto& r : records) {
    if (r->type == kRecordSubdisk && r->diskRid == disk.rid) {
      LdmLog("ConvertDiskToBasic: Disk is not empty");
      return MakeLdmError(kBasicLocation, kErrDiskNotEmpty);
    }
  }
  // What the disk's partition table loses, found before anything changes.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> doomed;  // portion, driver
  for (auto& entry : computer->headLayer) {
    if (entry.second.IsFree()) continue;
    LdmLowerLayerVisitor kind(entry.second);
    if (!disk.gpt && kind.mbr != nullptr && kind.mbr->diskId == disk.GetDiskId()) {
      doomed.emplace_back(entry.first, entry.second.GetDriverId());
    } else if (disk.gpt && kind.gpt != nullptr && kind.gpt->diskId == disk.GetDiskId()) {
      const Common::Guid type = Common::Guid::FromBytes(kind.gpt->typeGuid.data());
      if (type == Fdisk::PartitionTypeGuids::LdmData ||
          type == Fdisk::PartitionTypeGuids::LdmMetadata) {
        doomed.emplace_back(entry.first, entry.second.GetDriverId());
      }
    }
  }
  std::vector<std::uint64_t> privHeads;
  if (!disk.gpt) privHeads = {disk.privHeadCopy0, disk.privHeadCopy1, disk.privHeadSector};

  LdmRecord* diskRecord = FindRecord(disk.rid);
  if (diskRecord != nullptr && diskRecord->type == kRecordDisk) RemoveRecord(diskRecord);
  if (primary == &disk) SelectPrimaryDisk();
  RemoveMember(&disk);

  Common::Error failed;
  for (const auto& d : doomed) {
    Fdisk::NamedVars::VarContainer del;
    del.Set(K::PortionID, static_cast<unsigned long>(d.first));
    Common::Error e = factory.GetDriver(d.second).DeletePortion(del);
    if (e && !failed) failed = e;
  }
  if (!privHeads.empty() && disk.modelDisk != nullptr) {
    std::uint8_t zero[kSectorBytes] = {};
    disk.modelDisk->Lock();
    for (std::uint64_t s : privHeads) {
      if (s == 0) continue;
      Common::Error e = disk.WriteSectors(s, zero, 1);
      if (e && !failed) failed = e;
    }
    disk.modelDisk->Unlock();
  }
  disk.group = nullptr;
  disk.rid = 0;
  disk.type = kDiskBasic;
  // A cleanup that did not happen whole is reported: the driver puts the
  // disks back rather than leave a half-converted disk.
  return failed;
}

}  // namespace Ldm
