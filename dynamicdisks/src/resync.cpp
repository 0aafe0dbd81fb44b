// A volume brought back to full redundancy: plexes and columns that were
// marked stale (new ones, which never held the volume's bytes) are written
// from what the volume reads, stalled disks under it are taken back, and
// the stale marks are cleared. The records change in memory only; the
// driver commits them.
//
// The volume's bytes come from the caller's reader, the volume device that
// reads around stale plexes and columns (a parity volume rebuilds a stale
// column's chunks from the others). A stale mirror plex receives the
// volume's sectors; a stale parity column receives, row by row, the data
// chunk or the parity that the left-symmetric rotation puts there.
#include <algorithm>
#include <cstring>

#include "ldm/format.h"
#include "ldm/group.h"
#include "ldm/log.h"

namespace Ldm {

namespace {

constexpr std::uint32_t kReactivateLocation = 0x1701;
constexpr std::uint32_t kStaleBit = 0x2;
constexpr std::uint64_t kStep = 256;  // sectors per transfer

bool SubdiskStale(const LdmRecord& sd) { return (sd.sdFlags & kStaleBit) != 0; }

void SetState(std::array<std::uint8_t, 14>& field, const char* text) {
  field.fill(0);
  std::memcpy(field.data(), text, std::strlen(text));
}

}  // namespace

namespace {

// Writes `count` sectors of `bytes` at offset `at` of one column (striped
// or parity plex) or of a concatenated plex.
Common::Error WriteInPlex(const LdmDgAccess& group, const LdmRecord& plex, bool byColumn,
                          std::uint32_t column, std::uint64_t at, const std::uint8_t* bytes,
                          std::uint64_t count) {
  while (count > 0) {
    const LdmRecord* piece = nullptr;
    for (const LdmRecord* sd : plex.children) {
      if (byColumn && sd->plexIdx != column) continue;
      if (at >= sd->volOff && at - sd->volOff < sd->size) piece = sd;
    }
    LdmDisk* disk = piece != nullptr ? group.FindDisk(piece->diskRid) : nullptr;
    if (piece == nullptr || disk == nullptr || disk->modelDisk == nullptr) {
      return MakeLdmError(kReactivateLocation, kErrNoFreeSpace);
    }
    const std::uint64_t run = std::min(count, piece->volOff + piece->size - at);
    const std::uint64_t sector = disk->publicStart + piece->start + (at - piece->volOff);
    if (Common::Error e = disk->WriteSectors(sector, bytes, run)) return e;
    at += run;
    bytes += run * kSectorBytes;
    count -= run;
  }
  return Common::Error();
}

}  // namespace

Common::Error LdmDgAccess::ReactivateVolume(LdmRecord& volume, Fdisk::SimpleDisk& reader) {
  LdmLog("ReactivateVolume: LDM");
  for (const LdmRecord* plex : volume.children) {
    for (const LdmRecord* sd : plex->children) {
      const LdmDisk* disk = FindDisk(sd->diskRid);
      if (disk == nullptr) {
        LdmLog("ReactivateVolume: Disk not found - can't reactivate");
        return MakeLdmError(kReactivateLocation, kErrMissingDisk,
                            "No LDM disk found for reactivate volume");
      }
      if (disk->type != kDiskDynamic && disk->type != kDiskForeign &&
          disk->type != kDiskStalled) {
        LdmLog("ReactivateVolume: Disk not found - can't reactivate");
        return MakeLdmError(kReactivateLocation, kErrMissingDisk,
                            "Can't reactivate volume, disks it used missing or corrupted");
      }
    }
  }
  const Fdisk::LdmVolType type = GetVolumeType(volume);
  const std::vector<LdmRecord*> stale = StalePlexes(volume);
  std::vector<std::uint8_t> buffer(std::size_t(kStep) * kSectorBytes);

  if (type == Fdisk::kLdmVolMirrored || type == Fdisk::kLdmVolRaid01) {
    bool healthy = false;
    for (const LdmRecord* plex : volume.children) {
      if (std::find(stale.begin(), stale.end(), plex) != stale.end()) continue;
      bool ok = true;
      for (const LdmRecord* sd : plex->children) {
        const LdmDisk* disk = FindDisk(sd->diskRid);
        ok = ok && disk != nullptr && disk->type == kDiskDynamic;
      }
      healthy = healthy || ok;
    }
    if (!healthy) {
      return MakeLdmError(kReactivateLocation, kErrFailedVolume,
                          "There are unhealthy plexes on the volume.");
    }
    for (const LdmRecord* plex : stale) {
      const bool striped = plex->layout == 1;
      const std::uint64_t chunk = plex->stripeSiz;
      for (std::uint64_t at = 0; at < volume.volSize; at += kStep) {
        const std::uint64_t n = std::min(kStep, volume.volSize - at);
        if (Common::Error e = reader.Io(Fdisk::kIoRead, at, buffer.data(), n)) return e;
        if (!striped) {
          if (Common::Error e = WriteInPlex(*this, *plex, false, 0, at, buffer.data(), n)) {
            return e;
          }
          continue;
        }
        // Chunk by chunk onto the columns.
        std::uint64_t done = 0;
        while (done < n) {
          const std::uint64_t sector = at + done;
          const std::uint64_t index = sector / chunk;
          const std::uint64_t within = sector % chunk;
          const std::uint64_t run = std::min(n - done, chunk - within);
          const std::uint32_t column = static_cast<std::uint32_t>(index % plex->numCol);
          const std::uint64_t columnAt = (index / plex->numCol) * chunk + within;
          if (Common::Error e = WriteInPlex(*this, *plex, true, column, columnAt,
                                            buffer.data() + done * kSectorBytes, run)) {
            return e;
          }
          done += run;
        }
      }
    }
  } else if (type == Fdisk::kLdmVolRaid5) {
    const LdmRecord& plex = *volume.children.front();
    const std::uint32_t columns = plex.numCol;
    const std::uint64_t chunk = plex.stripeSiz;
    std::vector<std::uint32_t> bad;
    for (std::uint32_t c = 0; c < columns; ++c) {
      bool present = false;
      bool isStale = false;
      for (const LdmRecord* sd : plex.children) {
        if (sd->plexIdx != c) continue;
        const LdmDisk* disk = FindDisk(sd->diskRid);
        present = present || (disk != nullptr && disk->type == kDiskDynamic);
        isStale = isStale || SubdiskStale(*sd);
      }
      if (!present || isStale) bad.push_back(c);
    }
    if (bad.size() > 1) {
      return MakeLdmError(kReactivateLocation, kErrFailedVolume,
                          "More than one column in RAID-5 failed.");
    }
    for (std::uint32_t c : bad) {
      bool isStale = false;
      std::uint64_t length = 0;
      for (const LdmRecord* sd : plex.children) {
        if (sd->plexIdx != c) continue;
        isStale = isStale || SubdiskStale(*sd);
        length = std::max(length, sd->volOff + sd->size);
      }
      if (!isStale) continue;  // missing: nothing to write to
      const std::uint64_t rowData = chunk * (columns - 1);
      std::vector<std::uint8_t> row(std::size_t(rowData) * kSectorBytes);
      std::vector<std::uint8_t> out(std::size_t(chunk) * kSectorBytes);
      for (std::uint64_t r = 0; (r + 1) * chunk <= length; ++r) {
        const std::uint64_t base = r * rowData;
        if (base >= volume.volSize) break;
        std::fill(row.begin(), row.end(), 0);
        const std::uint64_t want = std::min(rowData, volume.volSize - base);
        for (std::uint64_t done = 0; done < want; done += kStep) {
          const std::uint64_t n = std::min(kStep, want - done);
          if (Common::Error e = reader.Io(Fdisk::kIoRead, base + done,
                                          row.data() + done * kSectorBytes, n)) {
            return e;
          }
        }
        const std::uint32_t parity = (columns - 1) - static_cast<std::uint32_t>(r % columns);
        if (c == parity) {
          std::fill(out.begin(), out.end(), 0);
          for (std::uint32_t k = 0; k + 1 < columns; ++k) {
            const std::uint8_t* data = row.data() + std::size_t(k) * out.size();
            for (std::size_t i = 0; i < out.size(); ++i) out[i] ^= data[i];
          }
        } else {
          const std::uint32_t k = (c + columns - parity - 1) % columns;
          std::memcpy(out.data(), row.data() + std::size_t(k) * out.size(), out.size());
        }
        if (Common::Error e = WriteInPlex(*this, plex, true, c, r * chunk, out.data(), chunk)) {
          return e;
        }
      }
    }
  }

  // The records: stalled disks under the volume taken back, the stale
  // marks cleared, every state active.
  for (const LdmRecord* plex : volume.children) {
    for (const LdmRecord* sd : plex->children) {
      LdmDisk* disk = FindDisk(sd->diskRid);
      if (disk != nullptr && disk->type == kDiskStalled) disk->type = kDiskDynamic;
    }
  }
  MarkResynchronised(volume);
  for (LdmRecord* plex : volume.children) plex->plxState = "ACTIVE";
  SetState(volume.volState, "ACTIVE");
  RefreshVolumeSummary(volume);
  return Common::Error();
}

}  // namespace Ldm
