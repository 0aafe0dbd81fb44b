#include "plex_extents.h"

#include <algorithm>

#include "foundation/byteorder.h"
#include "ldm/format.h"
#include "ldm/log.h"

namespace Ldm {

LdmRecord* LastPiece(const LdmRecord& plex, std::uint32_t column) {
  LdmRecord* last = nullptr;
  for (LdmRecord* sd : plex.children) {
    if (column != kAnyColumn && sd->plexIdx != column) continue;
    if (last == nullptr || sd->volOff + sd->size > last->volOff + last->size) last = sd;
  }
  return last;
}

std::uint64_t PlexEnd(const LdmRecord& plex, std::uint32_t column) {
  const LdmRecord* last = LastPiece(plex, column);
  return last == nullptr ? 0 : last->volOff + last->size;
}

std::uint64_t ColumnDisk(const LdmRecord& plex, std::uint32_t column) {
  const LdmRecord* last = LastPiece(plex, column);
  return last == nullptr ? 0 : last->diskRid;
}

bool VolumeUsesDisk(const LdmRecord& volume, std::uint64_t diskRid) {
  for (const LdmRecord* plex : volume.children) {
    for (const LdmRecord* sd : plex->children) {
      if (sd->diskRid == diskRid) return true;
    }
  }
  return false;
}

Region* FreeRegionAfter(LdmDisk& disk, const LdmRecord& piece) {
  std::uint64_t end = 0;
  if (!Common::CheckedAdd(disk.publicStart, piece.start, &end) ||
      !Common::CheckedAdd(end, piece.size, &end)) {
    return nullptr;
  }
  for (Region& r : disk.freeSpace) {
    if (r.start == end && r.size > 0) return &r;
  }
  return nullptr;
}

Common::Error PlacePieces(LdmDgAccess& group, LdmRecord& plex, LdmDisk& disk,
                          std::uint64_t length, std::uint64_t& offset, std::uint32_t column,
                          std::uint32_t location) {
  LdmRecord* diskRecord = group.FindRecord(disk.rid);
  if (diskRecord == nullptr || diskRecord->type != kRecordDisk) {
    LdmLog("can't find disk record for Rid = %llx", (unsigned long long)disk.rid);
    return MakeLdmError(location, kErrNoSuchDisk);
  }
  while (length > 0) {
    disk.GetLdmFreeSpaces();
    Region* region = disk.FindFreeRegion(length, 0, 0);
    if (region == nullptr || region->size == 0) {
      LdmLog("no free space found");
      return MakeLdmError(location, kErrNoFreeSpace);
    }
    const std::uint64_t take = std::min(region->size, length);
    auto sd = std::make_unique<LdmRecord>();
    sd->type = kRecordSubdisk;
    sd->version = 3;
    sd->rid = group.NextRid();
    sd->name = group.MakeChildName(diskRecord->name);
    sd->logComId = group.NextLogCommitId();
    sd->start = region->start - disk.publicStart;
    sd->volOff = offset;
    sd->size = take;
    sd->plexRid = plex.rid;
    sd->diskRid = diskRecord->rid;
    sd->plexIdx = column;
    LdmRecord& made = group.AddRecord(std::move(sd));
    group.LinkChild(plex, made);
    group.LinkChild(*diskRecord, made);
    offset += take;
    length -= take;
  }
  disk.GetLdmFreeSpaces();
  return Common::Error();
}

}  // namespace Ldm
