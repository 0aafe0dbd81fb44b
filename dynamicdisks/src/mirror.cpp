// Plexes added to and taken from a volume, and a parity column moved to
// another disk, in the in-memory database. A new plex or column holds no
// data yet: it is marked so that reading goes around it (the plex flag
// bit the layout already honours, and the same bit in the flags of a
// column's pieces) until its bytes have been written. Every check runs
// before the first record changes. Nothing here writes a disk.
#include <algorithm>

#include "ldm/format.h"
#include "ldm/group.h"
#include "ldm/log.h"
#include "plex_extents.h"

namespace Ldm {

namespace {

constexpr std::uint32_t kMirrorLocation = 0x1405;
constexpr std::uint32_t kColumnLocation = 0x1406;
// Not yet written: left out of reading.
constexpr std::uint32_t kStaleBit = 0x2;

Common::Error Fail(std::uint32_t location, std::uint32_t code, const char* text, const char* log) {
  LdmLog("%s", log);
  return MakeLdmError(location, code, text);
}

}  // namespace

Common::Error LdmDgAccess::AddMirror(LdmRecord& volume, const std::vector<SpaceRequest>& requests) {
  LdmLog("AddMirror LDM");
  const Fdisk::LdmVolType type = GetVolumeType(volume);
  const bool striped = type == Fdisk::kLdmVolStriped || type == Fdisk::kLdmVolRaid01;
  if (type != Fdisk::kLdmVolSimple && type != Fdisk::kLdmVolSpanned &&
      type != Fdisk::kLdmVolMirrored && !striped) {
    return Fail(kMirrorLocation, kErrVolumeType, "An invalid volume type (cannot add mirror).",
                "AddMirror: Invalid volume type for add mirror");
  }
  if (Common::Error e = CheckRequestDisks(requests)) return e;
  for (const SpaceRequest& r : requests) {
    if (VolumeUsesDisk(volume, r.disk)) {
      return Fail(kMirrorLocation, kErrNoDatabaseDisk, "No such disk in the LDM database.",
                  "AddMirror: Can't make mirror on disk which is already in volume");
    }
  }
  const LdmRecord& first = *volume.children.front();
  const std::uint64_t length = PlexEnd(first, kAnyColumn);
  const std::uint32_t columns = striped ? first.numCol : 1;
  if (striped && (columns == 0 || requests.size() < columns)) {
    return Fail(kMirrorLocation, kErrParameter, "Not enough disks to create a mirror.",
                "AddMirror: Too few disks to create mirror");
  }
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < requests.size() && i < (striped ? columns : requests.size()); ++i) {
    LdmDisk* d = FindDisk(requests[i].disk);
    if (d == nullptr) {
      return Fail(kMirrorLocation, kErrNoSuchDisk, "No such disk in the LDM database.",
                  "AddMirror: No Disk access object for disk");
    }
    if (d->type == kDiskStalled) {
      return Fail(kMirrorLocation, kErrStalledDisk, "Cannot add mirror on stalled disks.",
                  "AddMirror: Can't add mirror on stalled disk");
    }
    d->GetLdmFreeSpaces();
    const std::uint64_t wanted = striped ? length : requests[i].size;
    if (d->GetTotalFreeSpace() < wanted) {
      return Fail(kMirrorLocation, kErrFreeSpace, "Not enough free space on the disk.",
                  "AddMirror: No enough free space on disk");
    }
    // Two entries on one disk share its space.
    for (std::size_t j = 0; j < i; ++j) {
      if (requests[j].disk == requests[i].disk) {
        return Fail(kMirrorLocation, kErrParameter,
                    "An invalid parameter for the LDM driver operation.",
                    "AddMirror: one disk named twice");
      }
    }
    sum += requests[i].size;
  }
  if (!striped && sum < length) {
    return Fail(kMirrorLocation, kErrFreeSpace, "Not enough total free space on all selected disks.",
                "AddMirror: No enough total space on disks");
  }

  BeginChange();
  SaveVolumeForUndo(volume);
  auto plex = std::make_unique<LdmRecord>();
  plex->type = kRecordPlex;
  plex->version = 3;
  plex->rid = NextRid();
  plex->name = MakeChildName(volume.name);
  plex->plxState = "ACTIVE";
  plex->plxFlags = kStaleBit;
  plex->parent = volume.rid;
  plex->logComId = NextLogCommitId();
  plex->layout = striped ? 1 : 2;
  if (striped) {
    plex->stripeSiz = first.stripeSiz;
    plex->numCol = first.numCol;
  }
  LdmRecord& made = AddRecord(std::move(plex));
  // After the plexes there are: the copy is the last one.
  made.firstParent = &volume;
  volume.children.push_back(&made);

  Common::Error failed;
  if (striped) {
    for (std::uint32_t k = 0; k < columns && !failed; ++k) {
      std::uint64_t offset = 0;
      failed = PlacePieces(*this, made, *FindDisk(requests[k].disk), PlexEnd(first, k), offset, k,
                           kMirrorLocation);
    }
  } else {
    std::uint64_t remaining = length;
    std::uint64_t offset = 0;
    for (const SpaceRequest& r : requests) {
      if (remaining == 0 || failed) break;
      const std::uint64_t share = std::min(r.size, remaining);
      failed = PlacePieces(*this, made, *FindDisk(r.disk), share, offset, 0, kMirrorLocation);
      remaining -= share;
    }
  }
  if (failed) {
    RollbackChange();
    return failed;
  }
  made.logComId = NextLogCommitId();
  volume.logComId = NextLogCommitId();
  RefreshFreeSpaces();
  RefreshVolumeSummary(volume);
  BeginChange();
  return Common::Error();
}

Common::Error LdmDgAccess::RemoveMirror(LdmRecord& volume, LdmRecord& plex) {
  LdmLog("RemoveMirror LDM");
  const Fdisk::LdmVolType type = GetVolumeType(volume);
  if (type != Fdisk::kLdmVolMirrored && type != Fdisk::kLdmVolRaid01) {
    return Fail(kMirrorLocation, kErrVolumeType, "An invalid volume type (non-mirror or RAID0+1).",
                "RemoveMirror: Try to remove mirror on non-mirror volume");
  }
  if (plex.firstParent != &volume) {
    return Fail(kMirrorLocation, kErrParameter, "No such plex index in the volume.",
                "RemoveMirror: Plex is not child of volume");
  }
  // The volume's data must stay readable: another plex that is complete
  // and not waiting for its bytes has to remain.
  bool another = false;
  for (const LdmRecord* p : volume.children) {
    another = another || (p != &plex && (p->plxFlags & kStaleBit) == 0);
  }
  if (!another) {
    return Fail(kMirrorLocation, kErrParameter,
                "The last readable plex of a volume cannot be removed.",
                "RemoveMirror: no other readable plex");
  }
  const std::vector<LdmRecord*> pieces = plex.children;
  for (LdmRecord* sd : pieces) RemoveRecord(sd);
  RemoveRecord(&plex);
  volume.logComId = NextLogCommitId();
  RefreshFreeSpaces();
  RefreshVolumeSummary(volume);
  return Common::Error();
}

Common::Error LdmDgAccess::ReplaceRAID5Column(LdmRecord& volume, std::uint32_t column,
                                              std::uint64_t diskRid) {
  LdmLog("ReplaceRAID5Column LDM");
  const Fdisk::LdmVolType type = GetVolumeType(volume);
  if (type != Fdisk::kLdmVolRaid5 && type != Fdisk::kLdmVolStripeSetWithParity) {
    return Fail(kColumnLocation, kErrVolumeType, "An invalid volume type (not RAID-5).",
                "ReplaceRAID5Column: not a RAID-5 volume");
  }
  if (GetVolumeState(volume) == kVolumeFailed) {
    return Fail(kColumnLocation, kErrFailedVolume, "Cannot replace a column on failed volumes.",
                "ReplaceRAID5Column - can't replace column on failed volume");
  }
  LdmRecord& plex = *volume.children.front();
  if (column >= plex.numCol) {
    return Fail(kColumnLocation, kErrParameter, "No such column in the volume.",
                "ReplaceRAID5Column: column index beyond the plex's columns");
  }
  // Another column of the same volume already there would put two
  // columns' data on one disk: losing it would lose both.
  if (VolumeUsesDisk(volume, diskRid)) {
    return Fail(kColumnLocation, kErrParameter, "The disk already holds a column of the volume.",
                "ReplaceRAID5Column: target disk already in the volume");
  }
  // A column can only be rebuilt while every other one is readable.
  for (const LdmRecord* sd : plex.children) {
    if (sd->plexIdx == column) continue;
    const LdmDisk* d = FindDisk(sd->diskRid);
    if ((sd->sdFlags & kStaleBit) != 0 || d == nullptr ||
        (d->type != kDiskDynamic && d->type != kDiskStalled)) {
      return Fail(kColumnLocation, kErrFailedVolume, "Cannot replace a column on failed volumes.",
                  "ReplaceRAID5Column - another column is not readable");
    }
  }
  LdmDisk* target = FindDisk(diskRid);
  if (target == nullptr || FindRecord(diskRid) == nullptr) {
    return Fail(kColumnLocation, kErrNoSuchDisk, "No such disk in the LDM database.",
                "ReplaceRAID5Column: No Disk access object for disk");
  }
  if (target->type == kDiskMissing) {
    return Fail(kColumnLocation, kErrMissingDisk, "Cannot replace the column on missing disks.",
                "ReplaceRAID5Column: Can't replace column to missing disk");
  }
  if (target->type == kDiskStalled) {
    return Fail(kColumnLocation, kErrStalledDisk, "Cannot replace the column on stalled disks.",
                "ReplaceRAID5Column: Can't replace column to stalled disk");
  }
  if (target->type != kDiskDynamic) {
    return Fail(kColumnLocation, kErrDiskType, "Cannot allocate disk space on non-dynamic disks.",
                "ReplaceRAID5Column: target not dynamic");
  }
  const std::uint64_t length = PlexEnd(plex, kAnyColumn);
  target->GetLdmFreeSpaces();
  if (target->GetTotalFreeSpace() < length) {
    return Fail(kColumnLocation, kErrFreeSpace, "Not enough free space on the disk.",
                "ReplaceRAID5Column: No enough free space on disk");
  }
  BeginChange();
  SaveVolumeForUndo(volume);
  // The new pieces first: the old ones are only freed once nothing can
  // fail any more, so that a rollback finds every saved record alive.
  std::uint64_t offset = 0;
  std::vector<LdmRecord*> old;
  for (LdmRecord* sd : plex.children) {
    if (sd->plexIdx == column) old.push_back(sd);
  }
  if (Common::Error e = PlacePieces(*this, plex, *target, length, offset, column, kColumnLocation)) {
    RollbackChange();
    return e;
  }
  for (LdmRecord* sd : plex.children) {
    if (sd->touched) sd->sdFlags |= kStaleBit;
  }
  BeginChange();
  for (LdmRecord* sd : old) RemoveRecord(sd);
  plex.logComId = NextLogCommitId();
  volume.logComId = NextLogCommitId();
  RefreshFreeSpaces();
  RefreshVolumeSummary(volume);
  return Common::Error();
}

std::vector<LdmRecord*> LdmDgAccess::StalePlexes(const LdmRecord& volume) const {
  std::vector<LdmRecord*> out;
  for (LdmRecord* plex : volume.children) {
    bool stale = (plex->plxFlags & kStaleBit) != 0;
    for (const LdmRecord* sd : plex->children) stale = stale || (sd->sdFlags & kStaleBit) != 0;
    if (stale) out.push_back(plex);
  }
  return out;
}

void LdmDgAccess::MarkResynchronised(LdmRecord& volume) {
  for (LdmRecord* plex : volume.children) {
    if (plex->plxFlags & kStaleBit) {
      plex->plxFlags &= ~kStaleBit;
      plex->logComId = NextLogCommitId();
    }
    for (LdmRecord* sd : plex->children) {
      if (sd->sdFlags & kStaleBit) {
        sd->sdFlags &= ~kStaleBit;
        sd->logComId = NextLogCommitId();
      }
    }
  }
  volume.logComId = NextLogCommitId();
}

}  // namespace Ldm
