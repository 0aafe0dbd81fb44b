// Disk kinds, the PRIVHEAD copies and the validation of one disk's copy of
// the database.
//
// Every position read from the disk is checked before it is used: the
// private region, the public region and the TOCBLOCK regions must lie on the
// disk (and the regions inside the private region); a disk that fails one
// of these checks holds a corrupt database (type 8) and nothing outside it
// is ever read.
#include "ldm/disk.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "fdisk/gpt_partitions.h"
#include "fdisk/partition_types.h"
#include "fdisk/write_journal.h"
#include "foundation/byteorder.h"
#include "ldm/group.h"
#include "ldm/log.h"
#include "ldm/record.h"

namespace Ldm {

namespace {

// Location ids of this file's errors.
constexpr std::uint32_t kReadLocation = 0x1101;
constexpr std::uint32_t kPrivHeadReadLocation = 0x1102;
constexpr std::uint32_t kPrivHeadMagicLocation = 0x1103;
constexpr std::uint32_t kTocLocation = 0x1104;
constexpr std::uint32_t kVmdbLocation = 0x1105;
constexpr std::uint32_t kVersionLocation = 0x1106;
constexpr std::uint32_t kRegionLocation = 0x1107;
constexpr std::uint32_t kWriteLocation = 0x1108;

bool SameGuid(const std::array<std::uint8_t, 16>& bytes, const Common::Guid& guid) {
  return std::memcmp(bytes.data(), guid.bytes, 16) == 0;
}

}  // namespace

LdmDisk::LdmDisk(Fdisk::Disk* disk, LdmComputer* owner)
    : modelDisk(disk), ownId(Fdisk::IdObject::NewId()), computer(owner) {}

LdmDisk::LdmDisk(const LdmRecord& diskRecord, LdmDgAccess* owner, LdmComputer* computerIn)
    : rid(diskRecord.rid),
      type(kDiskMissing),
      diskGuid(diskRecord.guidText),
      hostGuid(owner->hostGuid),
      groupGuid(owner->groupGuid),
      groupName(owner->name),
      group(owner),
      ownId(Fdisk::IdObject::NewId()),
      computer(computerIn) {}

std::uint32_t LdmDisk::GetDiskId() const {
  return modelDisk != nullptr ? modelDisk->GetId() : ownId;
}

std::uint64_t LdmDisk::DiskSectors() const {
  if (modelDisk == nullptr) return 0;
  Fdisk::SimpleDisk* device = modelDisk->GetSimpleDisk();
  return device->GetSectorCount() + 1;
}

bool LdmDisk::RegionOnDisk(std::uint64_t start, std::uint64_t size) const {
  std::uint64_t end = 0;
  return size != 0 && Common::CheckedAdd(start, size, &end) && end <= DiskSectors();
}

Common::Error LdmDisk::ReadSectors(std::uint64_t sector, void* buffer, std::uint64_t count) {
  if (modelDisk == nullptr) return MakeLdmError(kReadLocation, kErrIo);
  Fdisk::SimpleDisk* device = modelDisk->GetSimpleDisk();
  if (device->GetSectorSize() != kSectorBytes) return MakeLdmError(kReadLocation, kErrIo);
  if (count == 1) {
    Fdisk::AlignedBuffer aligned(2048, 512);
    Common::Error e = device->Io(Fdisk::kIoRead, sector, aligned.Get(), 1);
    if (!e) std::memcpy(buffer, aligned.Get(), kSectorBytes);
    return e;
  }
  Common::Error e = device->Io(Fdisk::kIoRead, sector, buffer, count);
  if (!e) return e;
  LdmLog("Error read Ldm Disk");
  Common::Error wrapped = MakeLdmError(kReadLocation, kErrIo);
  Common::AttachErrorCause(wrapped, e);
  return wrapped;
}

Common::Error LdmDisk::WriteSectors(std::uint64_t sector, const void* buffer,
                                    std::uint64_t count) {
  if (modelDisk == nullptr || count == 0) return MakeLdmError(kWriteLocation, kErrIo);
  Fdisk::SimpleDisk* device = modelDisk->GetSimpleDisk();
  if (device->GetSectorSize() != kSectorBytes) return MakeLdmError(kWriteLocation, kErrIo);
  Fdisk::WriteJournal::Before(*device, sector, count);
  std::vector<std::uint8_t> copy(static_cast<const std::uint8_t*>(buffer),
                                 static_cast<const std::uint8_t*>(buffer) + count * kSectorBytes);
  Common::Error e = device->Io(Fdisk::kIoWrite, sector, copy.data(), count);
  if (!e) return e;
  LdmLog("Error write Ldm Disk");
  Common::Error wrapped = MakeLdmError(kWriteLocation, kErrIo);
  Common::AttachErrorCause(wrapped, e);
  return wrapped;
}

DiskType LdmDisk::GetDiskType() {
  if (type == kDiskUnknown) DetectDiskType();
  return type;
}

void LdmDisk::CheckMbrForLdm(const std::uint8_t* sector0) {
  type = kDiskBasic;
  bool layerKnowsDisk = false;
  for (auto& entry : computer->headLayer) {
    LdmLowerLayerVisitor kind(entry.second);
    if (kind.mbr == nullptr || kind.mbr->diskId != GetDiskId()) continue;
    layerKnowsDisk = true;
    if (!entry.second.IsFree() && kind.mbr->type == 0x42) type = kDiskDynamic;
  }
  if (layerKnowsDisk) return;
  // No MBR driver ran below us: the four primary entries say it.
  for (int i = 0; i < 4; ++i) {
    const std::uint8_t* e = sector0 + 0x1BE + 16 * i;
    if (e[4] == 0x42 && Common::LoadLe32(e + 12) != 0) type = kDiskDynamic;
  }
}

void LdmDisk::CheckGptForLdm() {
  type = kDiskBasic;
  struct Found {
    bool data = false;
    bool meta = false;
    std::uint64_t metaStart = 0;
    std::uint64_t metaSize = 0;
  } found;
  bool layerKnowsDisk = false;
  for (auto& entry : computer->headLayer) {
    LdmLowerLayerVisitor kind(entry.second);
    if (kind.gpt == nullptr || kind.gpt->diskId != GetDiskId()) continue;
    layerKnowsDisk = true;
    if (entry.second.IsFree()) continue;
    if (SameGuid(kind.gpt->typeGuid, Fdisk::PartitionTypeGuids::LdmData)) found.data = true;
    if (!found.meta && SameGuid(kind.gpt->typeGuid, Fdisk::PartitionTypeGuids::LdmMetadata)) {
      found.meta = true;
      found.metaStart = kind.gpt->firstSector;
      found.metaSize = kind.gpt->sectorCount;
    }
  }
  if (!layerKnowsDisk && modelDisk != nullptr) {
    // No GPT driver ran below us: read the entries ourselves.
    Fdisk::Gpt::GptPartitions table(modelDisk->GetSimpleDisk(), 1, 0xFFFFFFFFu);
    if (!table.Load()) {
      for (const Fdisk::Gpt::GptEntry& e : table.Entries()) {
        if (Fdisk::Gpt::GptPartitions::IsEmptyEntry(e)) continue;
        if (e.TypeGuid() == Fdisk::PartitionTypeGuids::LdmData) found.data = true;
        if (!found.meta && e.TypeGuid() == Fdisk::PartitionTypeGuids::LdmMetadata &&
            e.EndingLba() >= e.StartingLba()) {
          found.meta = true;
          found.metaStart = e.StartingLba();
          found.metaSize = e.EndingLba() - e.StartingLba() + 1;
        }
      }
    }
  }
  if (found.data && found.meta) {
    privateStart = found.metaStart;
    privateSize = found.metaSize;
    type = kDiskDynamic;
  }
}

Common::Error LdmDisk::DetectDiskType() {
  // Sector 0 whole, whatever the disk's sector size: the partition tables'
  // signature sits in its first 512 bytes either way.
  Fdisk::SimpleDisk* device = modelDisk != nullptr ? modelDisk->GetSimpleDisk() : nullptr;
  if (device == nullptr) return MakeLdmError(kReadLocation, kErrIo);
  const std::uint32_t sectorBytes = device->GetSectorSize();
  if (sectorBytes < kSectorBytes) return MakeLdmError(kReadLocation, kErrIo);
  Fdisk::AlignedBuffer whole(sectorBytes, 512);
  Common::Error e = device->Io(Fdisk::kIoRead, 0, whole.Get(), 1);
  if (e) return e;
  const std::uint8_t* sector0 = static_cast<const std::uint8_t*>(whole.Get());
  if (sector0[0x1FE] != 0x55 || sector0[0x1FF] != 0xAA) {
    LdmLog("Uninitialized disk");
    type = kDiskNotInitialized;
    return Common::Error();
  }
  gpt = false;
  for (int i = 0; i < 4; ++i) {
    if (sector0[0x1C2 + 16 * i] == 0xEE) gpt = true;
  }
  if (gpt) {
    CheckGptForLdm();
  } else {
    CheckMbrForLdm(sector0);
  }
  if (type == kDiskBasic) return Common::Error();
  if (sectorBytes != kSectorBytes) {
    // The database is read in 512-byte sectors; on a disk of larger
    // sectors its positions would mean other bytes. Such a disk is left
    // alone: neither presented nor read further.
    LdmLog("Dynamic disk with %u-byte sectors is not supported", unsigned(sectorBytes));
    type = kDiskIncompatible;
    return Common::Error();
  }
  e = ReadPrivHead();
  if (e) {
    // A disk whose header cannot be had has no usable database.
    type = kDiskCorrupt;
    return e;
  }
  type = kDiskDynamic;
  if (!privHead.VersionAccepted()) {
    LdmLog("VERITAS LDM disk");
    type = kDiskIncompatible;
    return Common::Error();
  }
  diskGuid = privHead.diskGuid;
  hostGuid = privHead.hostGuid;
  groupGuid = privHead.groupGuid;
  groupName = privHead.groupName;
  privateStart = privHead.privateStart;
  privateSize = privHead.privateSize;
  publicStart = privHead.publicStart;
  publicSize = privHead.publicSize;
  if (!RegionOnDisk(privateStart, privateSize) || !RegionOnDisk(publicStart, publicSize)) {
    type = kDiskCorrupt;
    return MakeLdmError(kRegionLocation, kErrCorrupt);
  }
  return Common::Error();
}

Common::Error LdmDisk::ReadPrivHead() {
  std::uint8_t sector[kSectorBytes];
  std::uint64_t first = 6;
  if (gpt) {
    if (!RegionOnDisk(privateStart, privateSize)) {
      return MakeLdmError(kRegionLocation, kErrCorrupt);
    }
    first = privateStart + privateSize - 1;
  }
  privHeadSector = first;
  if (ReadSectors(first, sector, 1)) {
    LdmLog("ReadPrivHead: Load PRIVHEAD at sector 6 error");
    return MakeLdmError(kPrivHeadReadLocation, kErrIo);
  }
  PrivHead firstCopy;
  if (!ParsePrivHead(sector, firstCopy)) {
    LdmLog("ReadPrivHead: Sector 6 PRIVHEAD signature failed");
    return MakeLdmError(kPrivHeadMagicLocation, kErrCorrupt);
  }
  if (!RegionOnDisk(firstCopy.privateStart, firstCopy.privateSize)) {
    return MakeLdmError(kRegionLocation, kErrCorrupt);
  }
  const std::uint64_t end = firstCopy.privateStart + firstCopy.privateSize - 1;
  if (ReadSectors(end, sector, 1)) {
    LdmLog("ReadPrivHead: Load PRIVHEAD at end of DB error");
    return MakeLdmError(kPrivHeadReadLocation, kErrIo);
  }
  PrivHead second;
  if (!ParsePrivHead(sector, second)) {
    LdmLog("ReadPrivHead: End DB PRIVHEAD signature failed");
    return MakeLdmError(kPrivHeadMagicLocation, kErrCorrupt);
  }
  // Only a commit writes the copies these name; they must lie inside the
  // private region for it to.
  privHeadCopy0 = firstCopy.privateStart + std::min(firstCopy.copy0Offset, firstCopy.privateSize - 1);
  privHeadCopy1 = firstCopy.privateStart + std::min(firstCopy.copy1Offset, firstCopy.privateSize - 1);
  privHead = second;
  LdmLog("ReadPrivHead: success");
  return Common::Error();
}

Common::Error LdmDisk::ValidateDatabase() {
  dbState = kDbValidating;
  LdmLog("Validate Database for disk '%s'", diskGuid.c_str());
  // The four TOCBLOCK copies, in the order that breaks ties.
  static const std::uint64_t kTocOffsets[4] = {1, 2, 2046, 2045};
  std::uint8_t best[kSectorBytes];
  std::uint64_t bestSequence = 0;
  int primary = -1;
  for (int copy = 0; copy < 4; ++copy) {
    if (kTocOffsets[copy] >= privateSize) continue;  // not inside the private region
    std::uint8_t sector[kSectorBytes];
    if (ReadSectors(privateStart + kTocOffsets[copy], sector, 1)) {
      LdmLog("Read TOCBLOCK %d failed", copy);
      continue;
    }
    TocBlock toc;
    if (!ParseTocBlock(sector, toc)) {
      LdmLog("TOCBLOCK signature %d failed", copy);
      continue;
    }
    if (toc.sequence > bestSequence) {
      bestSequence = toc.sequence;
      primary = copy;
      std::memcpy(best, sector, kSectorBytes);
    }
  }
  if (primary < 0) {
    LdmLog("No primary TOC selected");
    type = kDiskCorrupt;
    return MakeLdmError(kTocLocation, kErrCorrupt);
  }
  LdmLog("TOC %d selected as primary", primary);
  TocRegions regions;
  if (!ParseTocRegions(best, regions)) {
    LdmLog("Error in primary TOC Block");
    type = kDiskCorrupt;
    return MakeLdmError(kTocLocation, kErrCorrupt);
  }
  // Both regions inside the private region, the "config" one of a size that
  // can be read in one go.
  std::uint64_t configEnd = 0;
  std::uint64_t logEnd = 0;
  if (regions.configSize < 1 || regions.configSize > kMaxConfigSectors ||
      !Common::CheckedAdd(regions.configStart, regions.configSize, &configEnd) ||
      configEnd > privateSize ||
      !Common::CheckedAdd(regions.logStart, regions.logSize, &logEnd) || logEnd > privateSize) {
    LdmLog("Error in primary TOC Block");
    type = kDiskCorrupt;
    return MakeLdmError(kRegionLocation, kErrCorrupt);
  }
  configStart = privateStart + regions.configStart;
  configSize = regions.configSize;
  logStart = privateStart + regions.logStart;
  logSize = regions.logSize;

  std::uint8_t sector[kSectorBytes];
  Vmdb vmdb;
  if (ReadSectors(configStart, sector, 1)) {
    LdmLog("Error read VMDB");
    type = kDiskCorrupt;
    return MakeLdmError(kVmdbLocation, kErrCorrupt);
  }
  if (!ParseVmdb(sector, vmdb)) {
    LdmLog("VMDB Signature failed");
    type = kDiskCorrupt;
    return MakeLdmError(kVmdbLocation, kErrCorrupt);
  }
  if (!vmdb.VersionAccepted()) {
    LdmLog("VMDB database version mismatch");
    type = kDiskIncompatible;
    return MakeLdmError(kVersionLocation, kErrVersion);
  }
  dbTime = vmdb.timestamp;
  if (vmdb.consistent == 1) {
    dbState = kDbValid;
    LdmLog("Database is valid");
  } else {
    dbState = kDbInconsistent;
    LdmLog("VMDB is inconsistent");
  }
  return Common::Error();
}

void LdmDisk::CalculatePartitionalSpace() {
  partitional.clear();
  const std::uint64_t publicEnd = publicStart + publicSize;  // checked on detection
  auto take = [&](std::uint64_t start, std::uint64_t size) {
    if (size == 0) return;
    std::uint64_t end = 0;
    if (!Common::CheckedAdd(start, size, &end)) return;
    if (end <= publicStart || start >= publicEnd) return;
    if (start < publicStart) start = publicStart;
    if (end > publicEnd) end = publicEnd;
    partitional.push_back(Region{start, end - start});
  };
  bool layerKnowsDisk = false;
  for (auto& entry : computer->headLayer) {
    LdmLowerLayerVisitor kind(entry.second);
    if (kind.mbr != nullptr && kind.mbr->diskId == GetDiskId()) {
      layerKnowsDisk = true;
      if (entry.second.IsFree() || kind.mbr->type == 0x42) {
        take(kind.mbr->firstSector, kind.mbr->sectorCount);
      }
    } else if (kind.gpt != nullptr && kind.gpt->diskId == GetDiskId()) {
      layerKnowsDisk = true;
      if (entry.second.IsFree() || SameGuid(kind.gpt->typeGuid, Fdisk::PartitionTypeGuids::LdmData)) {
        take(kind.gpt->firstSector, kind.gpt->sectorCount);
      }
    }
  }
  // Without a partition driver below, the whole public region counts.
  if (!layerKnowsDisk) take(publicStart, publicSize);
}

void LdmDisk::GetLdmFreeSpaces() {
  if ((type != kDiskDynamic && type != kDiskStalled) || group == nullptr) return;
  freeSpace = partitional;
  for (const auto& record : group->records) {
    if (record->type != kRecordSubdisk || record->diskRid != rid) continue;
    std::uint64_t start = 0;
    if (!Common::CheckedAdd(publicStart, record->start, &start)) continue;
    CutRegion(freeSpace, start, record->size);
  }
}

std::uint64_t LdmDisk::GetTotalFreeSpace() const {
  std::uint64_t total = 0;
  for (const Region& r : freeSpace) total += r.size;
  return total;
}

Region* LdmDisk::FindFreeRegion(std::uint64_t size, std::uint64_t windowStart,
                                std::uint64_t windowLength) {
  std::uint64_t windowEnd = ~std::uint64_t(0);
  if (windowLength != 0 && !Common::CheckedAdd(windowStart, windowLength, &windowEnd)) {
    windowEnd = ~std::uint64_t(0);
  }
  const bool narrow = windowStart != 0 || windowLength != 0;
  std::vector<Region*> candidates;
  for (Region& r : freeSpace) {
    const std::uint64_t end = r.start + r.size;
    if (end <= windowStart || r.start >= windowEnd) continue;
    if (narrow) {
      const std::uint64_t s = std::max(r.start, windowStart);
      const std::uint64_t e = std::min(end, windowEnd);
      r.start = s;
      r.size = e - s;
    }
    candidates.push_back(&r);
  }
  Region* best = nullptr;
  for (Region* r : candidates) {
    if (r->size >= size && (best == nullptr || r->size < best->size)) best = r;
  }
  if (best != nullptr) return best;
  for (Region* r : candidates) {
    if (r->size > 0 && (best == nullptr || r->size > best->size)) best = r;
  }
  return best;
}

std::vector<std::uint64_t> LdmDisk::PrivHeadSectors() const {
  std::vector<std::uint64_t> out;
  for (std::uint64_t s : {privHeadSector, privHeadCopy0, privHeadCopy1}) {
    if (s != 0 && std::find(out.begin(), out.end(), s) == out.end()) out.push_back(s);
  }
  return out;
}

void CutRegion(std::vector<Region>& regions, std::uint64_t start, std::uint64_t size) {
  std::uint64_t cutEnd = 0;
  if (!Common::CheckedAdd(start, size, &cutEnd)) cutEnd = ~std::uint64_t(0);
  std::vector<Region> out;
  for (const Region& r : regions) {
    const std::uint64_t end = r.start + r.size;
    if (r.start >= cutEnd || end <= start) {
      out.push_back(r);
      continue;
    }
    if (r.start < start) out.push_back(Region{r.start, start - r.start});
    if (end > cutEnd) out.push_back(Region{cutEnd, end - cutEnd});
  }
  regions.swap(out);
}

}  // namespace Ldm
