// The start-up: every disk classified, the dynamic ones sorted into disk
// groups, each group's database read from its newest valid copy.
//
// The "config" region of the primary disk is read in one transfer and its
// slots are indexed once by (record number, part index), so that joining
// the parts of multi-slot records costs one lookup per part instead of a
// pass over the whole region.
#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "foundation/byteorder.h"
#include "ldm/format.h"
#include "ldm/group.h"
#include "ldm/log.h"

namespace Ldm {

Common::Error LdmDgAccess::ScanDatabase() {
  SetLdmLogEnabled(true);
  LdmLog("Scan Dg = '%s'", name.c_str());
  for (LdmDisk* member : members) {
    if (member->type == kDiskMissing) continue;
    LdmLog("Scan Disk = '%s'", member->diskGuid.c_str());
    member->ValidateDatabase();
    if (member->dbState != kDbValid) {
      LdmLog("Database is invalid");
      continue;
    }
    if (member->dbTime > dbTime) {
      if (primary != nullptr) {
        LdmLog("Replace primary disk");
        primary->type = kDiskStalled;
        LdmLog("Disk is stalled");
      }
      primary = member;
      dbTime = member->dbTime;
    } else if (member->dbTime == dbTime) {
      if (primary == nullptr) primary = member;
    } else {
      member->type = kDiskStalled;
      LdmLog("Disk is stalled");
    }
  }
  for (LdmDisk* member : members) {
    if (member->type == kDiskDynamic && member->dbTime < dbTime) member->type = kDiskStalled;
  }
  if (primary == nullptr) {
    LdmLog("No primary disk selected");
    return Common::Error();
  }
  LdmLog("Primary disk selected");
  ReadRecords();

  // Link the graph and find the members the database names.
  for (auto& record : records) LinkRecord(*record);
  std::vector<LdmRecord*> diskRecords;
  for (auto& record : records) {
    if (record->type == kRecordDisk) diskRecords.push_back(record.get());
  }
  for (LdmRecord* record : diskRecords) {
    LdmDisk* member = FindDiskOfRecord(*record);
    if (member != nullptr) {
      member->rid = record->rid;
      continue;
    }
    bool known = false;
    for (LdmDisk* d : members) known = known || (d->type == kDiskMissing && d->rid == record->rid);
    if (known) continue;
    auto missing = std::make_unique<LdmDisk>(*record, this, computer);
    AddMember(missing.get());
    computer->disks.push_front(std::move(missing));
  }
  for (LdmDisk* member : members) {
    if (member->type == kDiskDynamic) member->GetLdmFreeSpaces();
  }
  nextRid = GetMaxRid() + 1;
  for (auto& record : records) {
    if (record->type != kRecordVolume || FindVolume(record->rid) != nullptr) continue;
    auto volume = std::make_unique<LdmVolume>();
    volume->group = this;
    volume->record = record.get();
    volume->rid = record->rid;
    volume->name = record->name;
    volume->type = GetVolumeType(*record);
    volume->size = record->volSize;
    volume->state = GetVolumeState(*record);
    volumes.push_front(volume.get());
    computer->AddVolume(std::move(volume));
  }
  return Common::Error();
}

void LdmDgAccess::ReadRecords() {
  LdmDisk& disk = *primary;
  vmdbImage.assign(kSectorBytes, 0);
  // The whole "config" region at once; its size was bounded on validation.
  std::vector<std::uint8_t> config(std::size_t(disk.configSize) * kSectorBytes);
  if (disk.ReadSectors(disk.configStart, config.data(), disk.configSize)) {
    LdmLog("Error read VMDB");
    return;
  }
  sectorsRead += disk.configSize;
  std::memcpy(vmdbImage.data(), config.data(), kSectorBytes);
  Vmdb vmdb;
  ParseVmdb(vmdbImage.data(), vmdb);
  nextLogCommitId = std::max(vmdb.commitId1, vmdb.commitId2);
  dirtyRegionMark = 0;
  // Slot indices beyond the region are not slots of it, whatever the VMDB
  // says.
  const std::uint64_t regionSlots = disk.configSize * kSlotsPerSector;
  const std::uint32_t slotCount =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(vmdb.slotCount, regionSlots));
  auto slot = [&](std::uint32_t i) { return config.data() + std::size_t(i) * kSlotBytes; };

  // Further parts by (record number, part index): the first slot wins.
  std::map<std::pair<std::uint32_t, std::uint16_t>, std::uint32_t> parts;
  for (std::uint32_t i = kFirstSlot; i < slotCount; ++i) {
    const SlotHeader h = ParseSlotHeader(slot(i));
    if (h.parts != 0 && h.part != 0) parts.emplace(std::make_pair(h.recordNumber, h.part), i);
  }

  for (std::uint32_t i = kFirstSlot; i < slotCount; ++i) {
    const SlotHeader h = ParseSlotHeader(slot(i));
    if (!h.magic || h.parts == 0) continue;
    dirtyRegionMark = i;
    if (h.part != 0 || h.status != 0 || h.type < kRecordVolume || h.type > kRecordGroup) continue;
    auto record = std::make_unique<LdmRecord>(h.parts);
    std::memcpy(record->Packed().data(), slot(i), kSlotBytes);
    bool complete = true;
    for (std::uint16_t j = 1; j < h.parts && complete; ++j) {
      auto found = parts.find(std::make_pair(h.recordNumber, j));
      if (found == parts.end()) {
        complete = false;
      } else {
        std::memcpy(record->Packed().data() + std::size_t(j) * kSlotBytes, slot(found->second),
                    kSlotBytes);
      }
    }
    if (!complete) continue;  // a record with a part missing is dropped whole
    record->Unpack();
    if (record->Damaged()) continue;
    if (LdmRecord* held = FindRecord(record->rid)) {
      // A record met twice: its first slot replaces the held one's.
      if (held->Packed().size() >= kSlotBytes) {
        std::memcpy(held->Packed().data(), record->Packed().data(), kSlotBytes);
        held->Unpack();
      }
      continue;
    }
    records.push_front(std::move(record));
  }
  // A held record that the replacement damaged is dropped.
  records.remove_if([](const std::unique_ptr<LdmRecord>& r) { return r->Damaged(); });
}

void LdmDgAccess::LinkRecord(LdmRecord& record) {
  auto linked = [](const std::vector<LdmRecord*>& list, std::uint64_t rid) {
    return std::any_of(list.begin(), list.end(), [&](LdmRecord* r) { return r->rid == rid; });
  };
  if (record.type == kRecordPlex) {
    LdmRecord* volume = FindRecord(record.parent);
    if (volume == nullptr || volume->type != kRecordVolume) {
      LdmLog("    PARENT VOLUME NOT FOUND");
      return;
    }
    if (!linked(volume->children, record.rid)) {
      record.firstParent = volume;
      volume->children.insert(volume->children.begin(), &record);
    }
  } else if (record.type == kRecordSubdisk) {
    LdmRecord* plex = FindRecord(record.plexRid);
    if (plex == nullptr || plex->type != kRecordPlex) {
      LdmLog("    PARENT PLEX NOT FOUND");
    } else if (!linked(plex->children, record.rid)) {
      record.firstParent = plex;
      plex->children.insert(plex->children.begin(), &record);
    }
    LdmRecord* disk = FindRecord(record.diskRid);
    if (disk == nullptr || disk->type != kRecordDisk) {
      LdmLog("    PARENT DISK NOT FOUND");
    } else if (!linked(disk->diskChildren, record.rid)) {
      record.secondParent = disk;
      disk->diskChildren.insert(disk->diskChildren.begin(), &record);
    }
  }
}

Common::Error LdmStartInit(const Fdisk::DiskMap& disks, LdmComputer& computer) {
  SetLdmLogEnabled(false);
  LdmLog("LDM start init");
  for (const auto& entry : disks) {
    Fdisk::Disk* modelDisk = entry.second;
    // Every disk gets a type, whatever its sector size: one that is not
    // dynamic stays in the layer as the drivers below made it.
    if (modelDisk == nullptr) continue;
    auto disk = std::make_unique<LdmDisk>(modelDisk, &computer);
    disk->GetDiskType();
    computer.disks.push_front(std::move(disk));
  }
  LdmLog("Building List of Disk Groups");
  std::uint32_t index = 0;
  for (auto& disk : computer.disks) {
    if (disk->type != kDiskDynamic) continue;
    disk->CalculatePartitionalSpace();
    LdmDgAccess* group = nullptr;
    for (auto& g : computer.groups) {
      if (g->Owns(*disk)) group = g.get();
    }
    if (group == nullptr) {
      auto made = std::make_unique<LdmDgAccess>(*disk, &computer);
      made->index = ++index;
      group = made.get();
      computer.groups.push_front(std::move(made));
    }
    group->AddMember(disk.get());
  }
  for (auto& group : computer.groups) group->ScanDatabase();
  SetLdmLogEnabled(true);
  MarkRootDiskGroup(computer);
  return Common::Error();
}

}  // namespace Ldm
