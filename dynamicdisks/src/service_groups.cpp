// Disk groups of the raw model around Windows' dynamic-disk service: the
// lookups, the default group, disk names, and the reconciliation with the
// service's configuration objects.
#include "ldm/service_groups.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fdisk/named_var_keys.h"
#include "foundation/guid.h"
#include "foundation/random.h"
#include "ldm/format.h"
#include "ldm/log.h"

namespace Ldm {

namespace {

ServiceConfig* serviceInstance = nullptr;

// Field readers that leave the target alone when the field is not inside
// the detail record.
void Take64(const Common::ByteView& v, std::size_t o, std::uint64_t& out) { v.GetLe64(o, &out); }
void Take32(const Common::ByteView& v, std::size_t o, std::uint32_t& out) { v.GetLe32(o, &out); }
void Take8(const Common::ByteView& v, std::size_t o, std::uint8_t& out) { v.GetU8(o, &out); }
void TakeText(const Common::ByteView& v, std::size_t o, std::size_t width, std::string& out) {
  if (v.Has(o, 1)) out = ViewText(v, o, width);
}

// The record number a disk-model disk carries, or -1 when it has none that
// can be read.
long DiskNumberOf(const LdmDisk& disk) {
  if (disk.modelDisk == nullptr) return -1;
  const Fdisk::NamedVars::VarContainer& bag = disk.modelDisk->GetProperties();
  if (!bag.Contains(Fdisk::NamedVars::Keys::DiskNumber)) return -1;
  try {
    const unsigned int number = bag.Get(Fdisk::NamedVars::Keys::DiskNumber);
    if (number == 0) return -1;  // 0 says the number was never set
    return static_cast<long>(number) - 1;
  } catch (const Common::Error&) {
    return -1;
  }
}

void UpdateVolumeWin(LdmRecord& r, const Common::ByteView& whole) {
  // Two layouts of the volume detail: one of them has its fields 8 bytes
  // lower, and says so by a non-zero byte at 0x88.
  Common::ByteView d = whole;
  std::size_t low = 0;
  if (whole.U8(0x88) != 0) {
    LdmLog("LdmRecord::UpdateVolumeWin: Volume Object is 0x90 based");
    low = 8;
  } else {
    LdmLog("LdmRecord::UpdateVolumeWin: Volume Object is 0x88 based");
  }
  auto at = [low](std::size_t o) { return o - low; };
  Take64(d, at(0x188), r.rid);
  TakeText(d, at(0x90), 32, r.name);
  TakeText(d, at(0x115), 32, r.volType);
  if (const std::uint8_t* state = d.At(at(0x106), 14)) {
    std::memcpy(r.volState.data(), state, 14);
  }
  Take8(d, at(0x114), r.volTypeCode);
  Take32(d, at(0x1B0), r.volNum);
  Take32(d, at(0x1AC), r.volFlags);
  Take32(d, at(0x1C0), r.numChild);
  Take64(d, at(0x198), r.logComId);
  Take64(d, at(0x1A0), r.id);
  Take64(d, at(0x1C8), r.volSize);
  Take32(d, at(0x1F4), r.partType);
  if (const std::uint8_t* g = d.At(at(0x1F8), 16)) {
    // The service keeps the first three fields of the GUID in the other
    // byte order.
    const std::uint8_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) r.guid[i] = g[order[i]];
  }
}

}  // namespace

std::string ViewText(const Common::ByteView& view, std::size_t offset, std::size_t width) {
  std::string out;
  for (std::size_t i = 0; i < width; ++i) {
    std::uint8_t c = 0;
    if (!view.GetU8(offset + i, &c) || c == 0) break;
    out.push_back(static_cast<char>(c));
  }
  return out;
}

std::string ConfigObject::Name() const { return ViewText(object, kObjNameOffset, 76); }

ServiceConfig* ServiceConfigInstance() { return serviceInstance; }
void SetServiceConfigInstance(ServiceConfig* service) { serviceInstance = service; }

// --- groups and disks ----------------------------------------------------------

LdmDgAccess::LdmDgAccess(const std::string& groupName, const std::string& host,
                         const std::string& guid, LdmComputer* owner)
    : hostGuid(host), groupGuid(guid), name(groupName), computer(owner) {
  LdmLog("Create Disk Group = '%s'", name.c_str());
}

Common::Error AddDisk(LdmComputer& computer, LdmDisk& disk, LdmDgAccess** group) {
  if (group != nullptr) *group = nullptr;
  // A fresh object in place: the disk keeps its model disk and its place in
  // the computer's list, and gets a new model id.
  {
    LdmDisk fresh(disk.modelDisk, &computer);
    disk = std::move(fresh);
  }
  disk.GetDiskType();
  if (disk.type == kDiskDynamic) {
    const Common::Error e = disk.ReadPrivHead();
    if (e && e.Code() == kErrCorrupt) {
      LdmLog("LDM disk PRIVHEADs corrupted");
      disk.type = kDiskCorrupt;
    }
  }
  if (disk.type != kDiskDynamic) return Common::Error();
  disk.CalculatePartitionalSpace();
  LdmDgAccess* found = FindDiskGroupOfDisk(computer, disk);
  if (found == nullptr) {
    auto made = std::make_unique<LdmDgAccess>(disk, &computer);
    made->index = 1;
    found = made.get();
    computer.groups.push_front(std::move(made));
  }
  // A disk brought in again is one member still.
  if (std::find(found->members.begin(), found->members.end(), &disk) == found->members.end()) {
    found->AddMember(&disk);
  } else {
    disk.group = found;
  }
  found->ScanDatabase();
  MarkRootDiskGroup(computer);
  if (group != nullptr) *group = found;
  return Common::Error();
}

LdmDgAccess* FindDiskGroupOfDisk(const LdmComputer& computer, const LdmDisk& disk) {
  for (const auto& g : computer.groups) {
    if (g->hostGuid == disk.hostGuid && g->groupGuid == disk.groupGuid &&
        g->name == disk.groupName) {
      return g.get();
    }
  }
  return nullptr;
}

LdmDgAccess* FindDiskGroupByGuid(const LdmComputer& computer, const Common::Guid& guid) {
  for (const auto& g : computer.groups) {
    if (g->GetGroupGuid() == guid) return g.get();
  }
  return nullptr;
}

LdmDgAccess* GetRootDiskGroup(const LdmComputer& computer) {
  for (const auto& g : computer.groups) {
    if (g->rootLike) return g.get();
  }
  return nullptr;
}

bool HasNoDiskGroup(const LdmComputer& computer) { return computer.groups.empty(); }

LdmDisk* FindDiskByWinName(const LdmComputer& computer, const std::string& name) {
  for (const auto& d : computer.disks) {
    if (DiskNumberOf(*d) < 0) continue;
    if (GetWinName(*d) == name) return d.get();
  }
  return nullptr;
}

Common::Error CreateDefaultDiskGroup(LdmComputer& computer, LdmDgAccess** group) {
  computer.hostGuid.clear();
  Common::Guid random{};
  Common::GuidNewRandom(random);
  std::uint8_t bytes[16];
  std::memcpy(bytes, &random, 16);
  auto made = std::make_unique<LdmDgAccess>(kDefaultGroupName, computer.hostGuid,
                                            FormatLdmGuid(bytes), &computer);
  made->index = 1;
  made->rootLike = true;
  if (group != nullptr) *group = made.get();
  computer.groups.push_front(std::move(made));
  return Common::Error();
}

std::string GetWinName(const LdmDisk& disk) {
  const long number = DiskNumberOf(disk);
  if (number < 0) return std::string();
  char text[32];
  std::snprintf(text, sizeof text, "Harddisk%ld", number);
  return text;
}

std::u16string GetDeviceName(const LdmDisk& disk) {
  const std::string name = GetWinName(disk);
  if (name.empty()) return std::u16string();
  std::u16string out = u"\\Device\\";
  for (char c : name) out.push_back(static_cast<char16_t>(c));
  return out;
}

const char* DiskTypeText(std::uint32_t type) {
  static const char* const kTexts[] = {
      "    ** Disk Type: Unknown (Undeterminated)",
      "    ** Disk Type: Not initialized (no MBR)",
      "    ** Disk Type: Basic",
      "    ** Disk Type: Dynamic",
      "    ** Disk Type: Dynamic Foreign",
      "    ** Disk Type: Dynamic Missing",
      "    ** Disk Type: Dynamic Stalled",
      "    ** Disk Type: Dynamic VERITAS VxVM (Incompatible)",
      "    ** Disk Type: Dynamic Database corrupted",
  };
  if (type < sizeof kTexts / sizeof kTexts[0]) return kTexts[type];
  return "    ** Disk Type: !!INVALID!! Internal Error";
}

void DumpDiskType(const LdmDisk& disk) { LdmLog("%s", DiskTypeText(disk.type)); }

std::uint64_t GetPrivHeadSector(const LdmDisk& disk, std::uint32_t copy) {
  if (!disk.gpt) {
    if (copy == 0) return disk.privHeadCopy0;
    if (copy == 1) return disk.privHeadCopy1;
    return 6;
  }
  const std::uint64_t end = disk.privateStart + disk.privateSize;
  return copy == 1 ? end - 1 : end - 192;
}

// --- records ---------------------------------------------------------------------

bool UpdateFromWin(LdmRecord& r, const ConfigObject& object) {
  const std::uint8_t type = object.RecordType();
  if (r.type != 0 && r.type != type) return false;
  if (type < kRecordVolume || type > kRecordGroup) return true;
  if (r.type == 0) {
    r.type = type;
    r.version = type == kRecordVolume ? 5 : 3;
    r.flags = 0;
    r.rid = object.Id();
  }
  const Common::ByteView& d = object.detail;
  switch (type) {
    case kRecordVolume:
      UpdateVolumeWin(r, d);
      break;
    case kRecordPlex: {
      Take64(d, 0x110, r.rid);
      TakeText(d, 0x68, 32, r.name);
      TakeText(d, 0xFE, 14, r.plxState);
      Take8(d, 0x138, r.layout);
      Take32(d, 0x148, r.plxFlags);
      Take32(d, 0x14C, r.numChild);
      Take64(d, 0x128, r.logComId);
      Take64(d, 0x118, r.parent);
      std::uint32_t stripe = 0;
      if (d.GetLe32(0x140, &stripe)) r.stripeSiz = stripe;
      Take32(d, 0x170, r.numCol);
      break;
    }
    case kRecordSubdisk:
      Take64(d, 0x198, r.rid);
      TakeText(d, 0xB0, 32, r.name);
      Take32(d, 0x1B8, r.sdFlags);
      Take64(d, 0x1B0, r.logComId);
      Take64(d, 0x1D0, r.start);
      Take64(d, 0x1C8, r.volOff);
      Take64(d, 0x1D8, r.size);
      Take64(d, 0x1A0, r.plexRid);
      Take64(d, 0x1A8, r.diskRid);
      Take32(d, 0x1EC, r.plexIdx);
      break;
    case kRecordDisk:
      Take64(d, 0x2D0, r.rid);
      TakeText(d, 0x1F8, 32, r.name);
      TakeText(d, 0x26E, 64, r.guidText);
      Take32(d, 0x2E0, r.diskFlags);
      Take64(d, 0x2D8, r.logId);
      break;
    case kRecordGroup:
      Take64(d, 0x118, r.rid);
      TakeText(d, 0x2D, 32, r.name);
      Take64(d, 0x120, r.logId);
      break;
    default:
      break;
  }
  return true;
}

std::unique_ptr<LdmRecord> RecordFromWin(const ConfigObject& object) {
  auto record = std::make_unique<LdmRecord>();
  record->vdsId.fill(0);
  record->winReported = true;
  record->winCreated = true;
  UpdateFromWin(*record, object);
  return record;
}

void ClearLinks(LdmDgAccess& group) {
  for (auto& r : group.records) {
    r->firstParent = nullptr;
    r->secondParent = nullptr;
    r->children.clear();
    r->diskChildren.clear();
  }
}

void LinkRecords(LdmDgAccess& group) {
  auto find = [&](std::uint64_t rid, std::uint8_t type) -> LdmRecord* {
    LdmRecord* r = group.FindRecord(rid);
    return r != nullptr && r->type == type ? r : nullptr;
  };
  for (auto& r : group.records) {
    if (r->type == kRecordPlex) {
      if (LdmRecord* volume = find(r->parent, kRecordVolume)) group.LinkChild(*volume, *r);
    } else if (r->type == kRecordSubdisk) {
      if (LdmRecord* plex = find(r->plexRid, kRecordPlex)) group.LinkChild(*plex, *r);
      if (LdmRecord* disk = find(r->diskRid, kRecordDisk)) group.LinkChild(*disk, *r);
    }
  }
}

void ClearNewMarks(LdmDgAccess& group) {
  for (auto& r : group.records) r->winCreated = false;
}

LdmRecord* FindNewVolume(const LdmDgAccess& group) {
  for (const auto& r : group.records) {
    if (r->type == kRecordVolume && r->winCreated) return r.get();
  }
  return nullptr;
}

void SynchronizeWinAndRawLdm(LdmDgAccess& group) {
  ServiceConfig* service = ServiceConfigInstance();
  if (service == nullptr) {
    LdmLog("LdmDgAccess::SynchronizeWinAndRawLdm(): LDM API not available");
    return;
  }
  const Common::ByteView serviceGroup = service->FindDiskGroup(group.name);
  if (serviceGroup.size() == 0) {
    LdmLog("LdmDgAccess::SynchronizeWinAndRawLdm(): Group '%s' is not found in LDM",
           group.name.c_str());
    return;
  }
  LdmComputer& computer = *group.computer;
  service->LockConfig();
  for (auto& r : group.records) {
    r->winReported = false;
    r->winCreated = false;
  }
  ClearLinks(group);
  LdmLog("LdmDgAccess::SynchronizeWinAndRawLdm(): Start records processing");
  for (const ConfigObject& object : service->GroupObjects(serviceGroup)) {
    const std::string objectName = object.Name();
    LdmLog("LdmDgAccess::SynchronizeWinAndRawLdm(): Process element '%s'", objectName.c_str());
    LdmRecord* record = group.FindRecord(object.Id());
    if (record != nullptr) {
      UpdateFromWin(*record, object);
    } else {
      LdmLog("LdmDgAccess::SynchronizeWinAndRawLdm(): Create record, rid = %d, type=%d",
             static_cast<int>(static_cast<std::uint32_t>(object.Id())),
             static_cast<int>(object.Type()));
      std::unique_ptr<LdmRecord> made = RecordFromWin(object);
      record = made.get();
      group.records.push_front(std::move(made));
    }
    record->winReported = true;
    if (object.RecordType() == kRecordDisk) {
      const std::string winName = ViewText(object.detail, kDiskDetailWinNameOffset, 32);
      LdmDisk* disk = winName.empty() ? nullptr : FindDiskByWinName(computer, winName);
      if (disk != nullptr && disk->type == kDiskBasic) {
        disk->type = kDiskDynamic;
        disk->rid = object.Id();
        Common::Guid guid{};
        const std::string text = ViewText(serviceGroup, kGroupObjGuidOffset, 65);
        LdmDgAccess* target =
            Common::GuidFromString(guid, text) ? FindDiskGroupByGuid(computer, guid) : nullptr;
        if (target != nullptr) target->AddMember(disk);
      }
    }
  }
  // Records the service no longer reports go, each with its volume summary.
  std::vector<LdmRecord*> dropped;
  for (auto& r : group.records) {
    if (!r->winReported) dropped.push_back(r.get());
  }
  for (LdmRecord* r : dropped) {
    LdmLog("LdmDgAccess::SynchronizeWinAndRawLdm(): Remove record, rid = %d, type=%d",
           static_cast<int>(static_cast<std::uint32_t>(r->rid)), static_cast<int>(r->type));
    group.RemoveRecord(r);
  }
  LinkRecords(group);
  for (auto& r : group.records) {
    if (r->type == kRecordVolume) group.RefreshVolumeSummary(*r);
  }
  service->UnlockConfig();
  LdmLog("LdmDgAccess::SynchronizeWinAndRawLdm(): Complete");
}

}  // namespace Ldm
