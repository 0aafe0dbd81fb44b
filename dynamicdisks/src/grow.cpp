// Growing a dynamic volume in the in-memory database. Every check that can
// refuse the request runs before the first record changes; a failure after
// that puts the saved records back, so the model is as it was before the
// call. Nothing here writes a disk.
#include <algorithm>

#include "ldm/format.h"
#include "ldm/group.h"
#include "ldm/log.h"
#include "plex_extents.h"

namespace Ldm {

namespace {

constexpr std::uint32_t kGrowLocation = 0x1404;
constexpr std::uint32_t kRestrictedGrowth = 0x1;

Common::Error Fail(std::uint32_t code, const char* text, const char* log) {
  LdmLog("GrowVolume: %s", log);
  return text ? MakeLdmError(kGrowLocation, code, text) : MakeLdmError(kGrowLocation, code);
}

bool InRequest(const std::vector<SpaceRequest>& requests, std::uint64_t disk) {
  for (const SpaceRequest& r : requests) {
    if (r.disk == disk) return true;
  }
  return false;
}

}  // namespace

Common::Error LdmDgAccess::GrowVolume(LdmRecord& volume, std::uint64_t newSize,
                                      const std::vector<SpaceRequest>& requests, bool modifyType,
                                      std::uint32_t flags) {
  LdmLog("GrowVolume LDM");
  if (newSize <= volume.volSize) {
    return Fail(kErrParameter, "An invalid parameter for the LDM driver operation.",
                "new size not above the current one");
  }
  std::uint64_t growth = newSize - volume.volSize;
  const Fdisk::LdmVolType type = GetVolumeType(volume);
  if (type == Fdisk::kLdmVolInvalid) {
    return Fail(kErrVolumeType, "An invalid volume type.", "Invalid volume type");
  }
  if (requests.empty() || FindRecord(requests.front().disk) == nullptr) {
    return Fail(kErrNoDatabaseDisk, "No such disk in the LDM database.", "Can't find Disk record");
  }
  if (Common::Error e = CheckRequestDisks(requests)) {
    LdmLog("GrowVolume: space request array contain any of basic, missing, unsupported DB "
           "version or corrupted disks");
    return e;
  }
  auto freeOf = [](LdmDisk& d) {
    d.GetLdmFreeSpaces();
    return d.GetTotalFreeSpace();
  };
  const bool restricted = (flags & kRestrictedGrowth) != 0;

  switch (type) {
    case Fdisk::kLdmVolSimple:
    case Fdisk::kLdmVolSpanned: {
      LdmDisk& d = *FindDisk(requests.front().disk);
      if (freeOf(d) < growth) {
        return Fail(kErrFreeSpace,
                    "If you continue the operation, the volume type will be changed since there "
                    "is not enough space on it.",
                    "space allocation - not enough free disk space");
      }
      LdmRecord& plex = *volume.children.front();
      LdmRecord* last = LastPiece(plex, kAnyColumn);
      if (last == nullptr) {
        return Fail(kErrCorrupt, "LDM DB is corrupt: Cannot find a sub-disk for the plex.",
                    "can't find subdisk for plex");
      }
      if (last->diskRid == d.rid && restricted && type == Fdisk::kLdmVolSimple && !modifyType) {
        return Fail(kErrFreeSpace,
                    "If you continue the operation, the volume type will be changed since there "
                    "is not enough space on it.",
                    "not allow to grow restricted simple volume on other disk");
      }
      BeginChange();
      SaveVolumeForUndo(volume);
      std::uint64_t offset = volume.volSize;
      if (last->diskRid == d.rid && !restricted) {
        if (Region* behind = FreeRegionAfter(d, *last)) {
          // The last piece goes on into the space right behind it.
          const std::uint64_t take = std::min(behind->size, growth);
          last->size += take;
          last->rid = NextRid();
          last->logComId = NextLogCommitId();
          growth -= take;
          offset = last->volOff + last->size;
          d.GetLdmFreeSpaces();
        }
      }
      if (Common::Error e = PlacePieces(*this, plex, d, growth, offset, 0, kGrowLocation)) {
        RollbackChange();
        return e;
      }
      plex.logComId = NextLogCommitId();
      break;
    }

    case Fdisk::kLdmVolMirrored: {
      // Every check first: plex numbers, disks of other plexes, space.
      for (const LdmRecord* plex : volume.children) {
        const std::uint32_t number = plex->GetPlexNumber();
        if (number == 0) {
          return Fail(kErrParameter, "No such plex in the database.",
                      "Error retrive plex index for plex");
        }
        for (const SpaceRequest& r : requests) {
          if (r.plexIndex != number) continue;
          for (const LdmRecord* other : volume.children) {
            if (other == plex) continue;
            for (const LdmRecord* sd : other->children) {
              if (sd->diskRid == r.disk) {
                return Fail(kErrParameter, "Attempt to grow a plex on other plex disks.",
                            "Try to grow plex on other mirror plex disk");
              }
            }
          }
          LdmDisk& d = *FindDisk(r.disk);
          if (d.type == kDiskStalled) {
            return Fail(kErrStalledDisk, "Cannot grow a mirrored volume on stalled disks.",
                        "Can't grow mirror on stalled disk");
          }
          if (freeOf(d) < r.size) {
            return Fail(kErrFreeSpace, "Not enough free space on the disk.", "No space on disk");
          }
        }
      }
      for (const SpaceRequest& r : requests) {
        bool named = false;
        for (const LdmRecord* plex : volume.children) named = named || plex->GetPlexNumber() == r.plexIndex;
        if (!named) {
          return Fail(kErrParameter, "No such plex in the database.", "request for no plex");
        }
      }
      BeginChange();
      SaveVolumeForUndo(volume);
      for (LdmRecord* plex : volume.children) {
        const std::uint32_t number = plex->GetPlexNumber();
        std::uint64_t remaining = growth;
        std::uint64_t offset = volume.volSize;
        for (const SpaceRequest& r : requests) {
          if (r.plexIndex != number || remaining == 0) continue;
          const std::uint64_t share = std::min(r.size, remaining);
          if (Common::Error e =
                  PlacePieces(*this, *plex, *FindDisk(r.disk), share, offset, 0, kGrowLocation)) {
            RollbackChange();
            return e;
          }
          remaining -= share;
        }
        // A plex shorter than the others would leave the volume's end
        // unmirrored while its size says otherwise.
        if (remaining != 0) {
          RollbackChange();
          return Fail(kErrNoFreeSpace, "Free space cannot be found.",
                      "the request does not give a plex its whole growth");
        }
        plex->logComId = NextLogCommitId();
      }
      break;
    }

    case Fdisk::kLdmVolStriped:
    case Fdisk::kLdmVolRaid5:
    case Fdisk::kLdmVolStripeSetWithParity:
    case Fdisk::kLdmVolRaid01: {
      const bool parity = type == Fdisk::kLdmVolRaid5 || type == Fdisk::kLdmVolStripeSetWithParity;
      // The column length for the new size, in whole stripes: the striped
      // mapping puts a volume's last, partial row at the row's start in
      // every column, so a column cut inside a stripe would leave sectors
      // of the volume outside its pieces.
      struct ColumnGrowth {
        LdmRecord* plex;
        std::uint32_t column;
        LdmDisk* disk;
        std::uint64_t growth;
      };
      std::vector<ColumnGrowth> columns;
      std::vector<std::uint64_t> columnDisks;
      for (LdmRecord* plex : volume.children) {
        const std::uint64_t c = plex->numCol;
        const std::uint64_t d = parity ? c - 1 : c;
        if (c == 0 || d == 0 || plex->stripeSiz == 0) {
          return Fail(kErrCorrupt, "LDM DB is corrupt: Cannot get a disk for the inplex index.",
                      "plex without columns or stripe");
        }
        const std::uint64_t row = plex->stripeSiz * d;
        const std::uint64_t rows = newSize / row + (newSize % row != 0);
        const std::uint64_t columnLength = rows * plex->stripeSiz;
        for (std::uint32_t k = 0; k < c; ++k) {
          const std::uint64_t disk = ColumnDisk(*plex, k);
          if (disk == 0) {
            return Fail(kErrCorrupt, "LDM DB is corrupt: Cannot get a disk for the inplex index.",
                        "Error get disk RID for plex index");
          }
          if (!InRequest(requests, disk)) {
            return Fail(kErrParameter, "Not all stripe disks are in the request.",
                        "Required disk not found in params");
          }
          LdmDisk* member = FindDisk(disk);
          if (member == nullptr) {
            return Fail(kErrNoDatabaseDisk, "No such disk in the LDM database.",
                        "Can't find Disk Access object");
          }
          if (member->type == kDiskStalled && type != Fdisk::kLdmVolStriped) {
            return Fail(kErrStalledDisk,
                        parity ? "Cannot grow a RAID-5 volume on stalled disks."
                               : "Cannot grow a RAID0+1 volume on stalled disks.",
                        "can't grow volume on stalled disk");
          }
          const std::uint64_t end = PlexEnd(*plex, k);
          columns.push_back({plex, k, member, columnLength > end ? columnLength - end : 0});
          columnDisks.push_back(disk);
        }
      }
      for (const SpaceRequest& r : requests) {
        if (std::find(columnDisks.begin(), columnDisks.end(), r.disk) == columnDisks.end()) {
          return Fail(kErrParameter, "In the request, there is a disk that is not a stripe.",
                      "Additional disk found in params");
        }
      }
      // A disk may hold several columns (of the plexes of RAID 0+1): its
      // free space must take all of their growth.
      for (const ColumnGrowth& g : columns) {
        std::uint64_t wanted = 0;
        for (const ColumnGrowth& o : columns) {
          if (o.disk == g.disk) wanted += o.growth;
        }
        if (freeOf(*g.disk) < wanted) {
          return Fail(kErrFreeSpace, "Not enough free space on the disk.", "No space on disk");
        }
      }
      // A column stays one piece: other readers of the format refuse a
      // striped or parity plex with more pieces than columns, so a column
      // only grows into the free space right behind it.
      for (const ColumnGrowth& g : columns) {
        if (g.growth == 0) continue;
        g.disk->GetLdmFreeSpaces();
        const LdmRecord* last = LastPiece(*g.plex, g.column);
        const Region* behind = FreeRegionAfter(*g.disk, *last);
        if (restricted || behind == nullptr || behind->size < g.growth) {
          return Fail(kErrFreeSpace, "Not enough free space right behind a column.",
                      "no room behind a column");
        }
      }
      BeginChange();
      SaveVolumeForUndo(volume);
      for (const ColumnGrowth& g : columns) {
        std::uint64_t left = g.growth;
        if (left == 0) continue;
        LdmRecord* last = LastPiece(*g.plex, g.column);
        std::uint64_t offset = last->volOff + last->size;
        g.disk->GetLdmFreeSpaces();
        if (Region* behind = FreeRegionAfter(*g.disk, *last)) {
          const std::uint64_t take = std::min(behind->size, left);
          last->size += take;
          last->logComId = NextLogCommitId();
          left -= take;
          offset += take;
          g.disk->GetLdmFreeSpaces();
        }
        // Checked above: nothing is left to place.
        if (Common::Error e =
                PlacePieces(*this, *g.plex, *g.disk, left, offset, g.column, kGrowLocation)) {
          RollbackChange();
          return e;
        }
      }
      for (LdmRecord* plex : volume.children) plex->logComId = NextLogCommitId();
      if (type == Fdisk::kLdmVolRaid01) volume.checkpnt = newSize;
      break;
    }

    default:
      return Fail(kErrOperation, "Cannot implement the LDM disk operation.",
                  "invalid volume type");
  }

  volume.volSize = newSize;
  volume.logComId = NextLogCommitId();
  RefreshFreeSpaces();
  RefreshVolumeSummary(volume);
  BeginChange();
  LdmLog("GrowVolume: success");
  return Common::Error();
}

}  // namespace Ldm
