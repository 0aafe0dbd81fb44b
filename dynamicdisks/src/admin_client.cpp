// The administrative service's volume client: its records and the
// operations that, without the client's interface, all refuse.
#include "ldm/admin_client.h"

#include <cstring>

#include "ldm/format.h"
#include "ldm/log.h"
#include "ldm/service_groups.h"

namespace Fdisk {

namespace {

std::string Text(const Common::ByteView& d, std::size_t o, std::size_t width) {
  return Ldm::ViewText(d, o, width);
}

// A record without a type takes the one of the service's record first.
bool Prepare(Ldm::LdmRecord* r, std::uint8_t type, std::uint64_t id) {
  if (r == nullptr) return false;
  if (r->type == 0) {
    r->type = type;
    r->version = type == Ldm::kRecordVolume ? 5 : 3;
    r->flags = 0;
    r->rid = id;
  }
  return true;
}

}  // namespace

std::unique_ptr<VolumeRecord> VolumeRecord::FromDetail(const Common::ByteView& whole) {
  auto v = std::make_unique<VolumeRecord>();
  const std::size_t low = whole.U8(0x88) != 0 ? 8 : 0;
  auto at = [low](std::size_t o) { return o - low; };
  v->id = whole.Le64(at(0x188));
  v->name = Text(whole, at(0x90), 32);
  v->volType = Text(whole, at(0x115), 32);
  if (const std::uint8_t* s = whole.At(at(0x106), 14)) std::memcpy(v->state.data(), s, 14);
  v->typeCode = whole.U8(at(0x114));
  v->volNum = whole.Le32(at(0x1B0));
  v->volFlags = whole.Le32(at(0x1AC));
  v->numChild = whole.Le32(at(0x1C0));
  v->logComId = whole.Le64(at(0x198));
  v->volId = whole.Le64(at(0x1A0));
  v->volSize = whole.Le64(at(0x1C8));
  v->partType = whole.Le32(at(0x1F4));
  if (const std::uint8_t* g = whole.At(at(0x1F8), 16)) {
    const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 16; ++i) v->guid[i] = g[order[i]];
  }
  return v;
}

void VolumeRecord::CopyTo(Ldm::LdmRecord* r) const {
  if (!Prepare(r, Ldm::kRecordVolume, id)) return;
  r->rid = id;
  r->name = name;
  r->volType = volType;
  r->volState = state;
  r->volTypeCode = typeCode;
  r->volNum = volNum;
  r->volFlags = volFlags;
  r->numChild = numChild;
  r->logComId = logComId;
  r->id = volId;
  r->volSize = volSize;
  r->partType = partType;
  r->guid = guid;
}

std::unique_ptr<PlexRecord> PlexRecord::FromDetail(const Common::ByteView& d) {
  auto p = std::make_unique<PlexRecord>();
  p->id = d.Le64(0x110);
  p->name = Text(d, 0x68, 32);
  p->state = Text(d, 0xFE, 14);
  p->layout = d.U8(0x138);
  p->plxFlags = d.Le32(0x148);
  p->numChild = d.Le32(0x14C);
  p->logComId = d.Le64(0x128);
  p->parent = d.Le64(0x118);
  p->stripeSiz = d.Le32(0x140);
  p->numCol = d.Le32(0x170);
  return p;
}

void PlexRecord::CopyTo(Ldm::LdmRecord* r) const {
  if (!Prepare(r, Ldm::kRecordPlex, id)) return;
  r->rid = id;
  r->name = name;
  r->plxState = state;
  r->layout = layout;
  r->plxFlags = plxFlags;
  r->numChild = numChild;
  r->logComId = logComId;
  r->parent = parent;
  r->stripeSiz = stripeSiz;
  r->numCol = numCol;
}

std::unique_ptr<SubDiskRecord> SubDiskRecord::FromDetail(const Common::ByteView& d) {
  auto s = std::make_unique<SubDiskRecord>();
  s->id = d.Le64(0x198);
  s->name = Text(d, 0xB0, 32);
  s->flags = d.Le32(0x1B8);
  s->logComId = d.Le64(0x1B0);
  s->start = d.Le64(0x1D0);
  s->volOff = d.Le64(0x1C8);
  s->size = d.Le64(0x1D8);
  s->plexRid = d.Le64(0x1A0);
  s->diskRid = d.Le64(0x1A8);
  s->plexIdx = d.Le32(0x1EC);
  return s;
}

void SubDiskRecord::CopyTo(Ldm::LdmRecord* r) const {
  if (!Prepare(r, Ldm::kRecordSubdisk, id)) return;
  r->rid = id;
  r->name = name;
  r->sdFlags = flags;
  r->logComId = logComId;
  r->start = start;
  r->volOff = volOff;
  r->size = size;
  r->plexRid = plexRid;
  r->diskRid = diskRid;
  r->plexIdx = plexIdx;
}

std::unique_ptr<DiskRecord> DiskRecord::FromDetail(const Common::ByteView& d) {
  auto k = std::make_unique<DiskRecord>();
  k->id = d.Le64(0x2D0);
  k->name = Text(d, 0x1F8, 32);
  k->guidText = Text(d, 0x26E, 64);
  k->flags = d.Le32(0x2E0);
  k->logId = d.Le64(0x2D8);
  return k;
}

void DiskRecord::CopyTo(Ldm::LdmRecord* r) const {
  if (!Prepare(r, Ldm::kRecordDisk, id)) return;
  r->rid = id;
  r->name = name;
  r->guidText = guidText;
  r->diskFlags = flags;
  r->logId = logId;
}

}  // namespace Fdisk

namespace Ldm {

namespace {

constexpr std::uint32_t kDmLocation = 0x4C445801;

Common::Error NotInitialized() {
  return MakeLdmError(kDmLocation, kErrDmNotInitialized,
                      "Volume client of DMADMIN is not initialized.");
}

}  // namespace

DmVolumeClient* DmVolumeClientInstance() { return nullptr; }

// The interface is never obtained: each operation stops at its first step.
Common::Error DmConvertRidToId(std::uint64_t, std::uint64_t* id) {
  if (id != nullptr) *id = 0;
  return NotInitialized();
}
Common::Error DmEnumDisks() { return NotInitialized(); }
Common::Error DmEnumGroupDisks() { return NotInitialized(); }
Common::Error DmEnumDiskGroups(std::vector<DmGroupEntry>& out) {
  out.clear();
  return NotInitialized();
}
DmGroupEntry DmFindDiskGroup(const std::string& name) {
  std::vector<DmGroupEntry> groups;
  if (DmEnumDiskGroups(groups)) return DmGroupEntry();
  for (const DmGroupEntry& g : groups) {
    if (g.name == name) return g;
  }
  return DmGroupEntry();
}
Common::Error DmEncapsulateDisk(const LdmDisk&) { return NotInitialized(); }

Common::Error BindDmDisks(LdmDgAccess&) { return DmEnumGroupDisks(); }

void UpdateFromDmRecord(LdmDgAccess& group, const Fdisk::LdmDmRecord& record) {
  LdmRecord* found = group.FindRecord(record.GetId());
  if (found != nullptr) {
    if (found->type == 0 || found->type == record.GetType()) record.CopyTo(found);
    found->winReported = true;
    return;
  }
  auto made = std::make_unique<LdmRecord>();
  made->winCreated = true;
  record.CopyTo(made.get());
  made->winReported = true;
  group.records.push_front(std::move(made));
}

void SynchronizeDmAndRawLdm(LdmDgAccess& group) {
  LdmLog("LdmDgAccess::SynchronizeDmAndRawLdm(): Start records processing");
  const DmGroupEntry entry = DmFindDiskGroup(group.name);
  if (entry.Empty()) {
    LdmLog("LdmDgAccess::SynchronizeDmAndRawLdm(): Group '%s' is not found in LDM",
           group.name.c_str());
    return;
  }
  if (BindDmDisks(group)) {
    LdmLog("LdmDgAccess::SynchronizeDmAndRawLdm(): Bind disks via dmadmin failed.");
    return;
  }
  // The contents cannot be had without the client; nothing is changed.
  LdmLog("LdmDgAccess::SynchronizeDmAndRawLdm(): Bind disk group objects via dmadmin failed.");
}

Common::Error DmCreateVolume(LdmDgAccess&, Fdisk::LdmVolType type, std::uint64_t,
                             const std::vector<SpaceRequest>&, std::uint32_t* luid) {
  if (luid != nullptr) *luid = 0;
  if (DmVolumeClientInstance() == nullptr) return NotInitialized();
  if (type < Fdisk::kLdmVolSimple || type > Fdisk::kLdmVolRaid01) {
    return MakeLdmError(kDmLocation, kErrVolumeType);
  }
  return MakeLdmError(kDmLocation, kErrWayRestricted);
}

Common::Error DmAddDisk(LdmDgAccess&, LdmDisk& disk) { return DmEncapsulateDisk(disk); }

}  // namespace Ldm
