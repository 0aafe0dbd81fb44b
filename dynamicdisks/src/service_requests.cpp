// Requests of Windows' dynamic-disk service: checks, request blocks and the
// group operations that send them.
#include "ldm/service_requests.h"

#include <algorithm>
#include <cstring>

#include "foundation/byteorder.h"
#include "ldm/format.h"
#include "ldm/log.h"
#include "ldm/service_groups.h"

namespace Ldm {

namespace {

constexpr std::uint32_t kCheckLocation = 0x4C445701;
constexpr std::uint32_t kRequestLocation = 0x4C445702;
constexpr std::size_t kMaxRequestDisks = 32;

ServiceRequester* requester = nullptr;

// Where the task descriptor lies and what it holds.
struct TaskLayout {
  std::uint32_t opcode;
  std::size_t bytes;         // plus 40 per disk where the block carries disks
  bool perDisk;
  std::size_t task;          // plus 16 per disk
  bool time;
  bool block;
  std::uint32_t kind;
  enum { kNone, kEvent, kStatusAndEvent } event;
};

constexpr TaskLayout kLayouts[] = {
    {kOpConvertEmptyToBasic, 236, false, 52, true, true, 7, TaskLayout::kNone},
    {kOpAddDisk, 444, false, 92, true, true, 7, TaskLayout::kNone},
    {kOpBasicFirstStep, 236, false, 36, true, true, 5, TaskLayout::kNone},
    {kOpRescan, 104, false, 56, false, true, 0, TaskLayout::kEvent},
    {kOpCreateVolume, 568, true, 136, true, true, 7, TaskLayout::kStatusAndEvent},
    {kOpDeleteVolume, 64, false, 40, true, false, 0, TaskLayout::kNone},
    {kOpAddMirror, 512, true, 88, true, true, 7, TaskLayout::kStatusAndEvent},
    {kOpRemoveMirror, 200, false, 44, true, true, 7, TaskLayout::kStatusAndEvent},
    {kOpReplaceColumn, 144, false, 56, true, true, 7, TaskLayout::kEvent},
    {kOpGrowVolume, 328, true, 88, true, true, 7, TaskLayout::kEvent},
    {kOpQueryEncapsulation, 1088, false, 96, true, true, 3, TaskLayout::kEvent},
    {kOpEncapsulate, 1088, false, 96, true, true, 3, TaskLayout::kEvent},
    {kOpDriveHint, 128, false, 88, false, true, 1, TaskLayout::kNone},
    {kOpReactivateDisk, 272, false, 40, true, true, 7, TaskLayout::kEvent},
};

const TaskLayout* LayoutOf(std::uint32_t opcode) {
  for (const TaskLayout& l : kLayouts) {
    if (l.opcode == opcode) return &l;
  }
  return nullptr;
}

void PutName(const Common::MutableByteView& block, std::size_t at, const std::string& name) {
  const std::size_t n = std::min<std::size_t>(name.size(), 31);
  if (std::uint8_t* to = block.MutableAt(at, 32)) std::memcpy(to, name.data(), n);
}

// n entries of 16 bytes at `at`, with the address of what follows them at
// `pointerAt`.
void PutDisks(const Common::MutableByteView& block, std::uint32_t address, std::size_t at,
              std::size_t pointerAt, const std::vector<RequestDisk>& disks) {
  std::size_t o = at;
  for (const RequestDisk& d : disks) {
    block.PutLe64(o, d.id);
    block.PutLe64(o + 8, d.sectors);
    o += 16;
  }
  block.PutLe32(pointerAt, address + static_cast<std::uint32_t>(at + 16 * disks.size()));
}

Common::Error Fail(std::uint32_t code, const char* text) {
  return MakeLdmError(kRequestLocation, code, text);
}

// The failure of a request: the operation's own code, and a text that says
// so when the service did not answer at all.
Common::Error RequestFailed(std::uint32_t status, std::uint32_t code, const char* text) {
  if (status == kStatusTimedOut) {
    LdmLog("The dynamic-disk service did not complete the request in time");
    return Fail(code, "The dynamic-disk service did not complete the request in time.");
  }
  return Fail(code, text);
}

std::vector<RequestDisk> DisksOf(const std::vector<SpaceRequest>& entries) {
  std::vector<RequestDisk> out;
  for (const SpaceRequest& e : entries) out.push_back({e.disk, e.size});
  return out;
}

// Reconciles the group, clears its new marks and brings the summary of the
// volume up to date, when the volume is still there.
void AfterChange(LdmDgAccess& group, std::uint64_t volumeRid) {
  SynchronizeWinAndRawLdm(group);
  ClearNewMarks(group);
  if (volumeRid == 0) return;
  if (LdmRecord* volume = group.FindRecord(volumeRid)) {
    if (volume->type == kRecordVolume) group.RefreshVolumeSummary(*volume);
  }
}

}  // namespace

ServiceRequester* ServiceRequesterInstance() { return requester; }
void SetServiceRequesterInstance(ServiceRequester* r) { requester = r; }

std::size_t RequestBlockSize(std::uint32_t opcode, std::size_t disks) {
  const TaskLayout* l = LayoutOf(opcode);
  if (l == nullptr) return 0;
  return l->bytes + (l->perDisk ? 40 * disks : 0);
}

void InitStatusRecord(std::uint8_t* record) {
  std::memset(record, 0, kStatusRecordBytes);
  Common::StoreLe32(record + 8, 1);
}

std::uint32_t LayoutCodeFor(Fdisk::LdmVolType type) {
  switch (type) {
    case Fdisk::kLdmVolSimple:
    case Fdisk::kLdmVolSpanned:
      return 4;
    case Fdisk::kLdmVolStriped:
      return 3;
    case Fdisk::kLdmVolMirrored:
      return 1;
    case Fdisk::kLdmVolRaid5:
      return 2;
    default:
      return 0;
  }
}

std::vector<std::uint8_t> BuildRequestBlock(std::uint32_t opcode, const RequestFields& f,
                                            const RequestContext& c) {
  const TaskLayout* l = LayoutOf(opcode);
  if (l == nullptr || f.disks.size() > kMaxRequestDisks) return {};
  const std::size_t n = l->perDisk ? f.disks.size() : 0;
  std::vector<std::uint8_t> bytes(l->bytes + 40 * n, 0);
  const Common::MutableByteView b(bytes.data(), bytes.size());
  const std::uint32_t a = c.blockAddress;
  b.PutLe32(8, opcode);
  b.PutLe32(12, c.completionRoutine);
  const std::size_t task = l->task + 16 * n;
  b.PutLe32(16, a + static_cast<std::uint32_t>(task));
  if (l->time) b.PutLe64(task, c.time);
  if (l->block) b.PutLe32(task + 8, a);
  b.PutLe32(task + 12, l->kind);
  if (l->event == TaskLayout::kEvent) {
    b.PutLe32(task + 24, c.event);
  } else if (l->event == TaskLayout::kStatusAndEvent) {
    b.PutLe32(task + 24, c.statusAddress);
    b.PutLe32(task + 28, c.event);
  }
  switch (opcode) {
    case kOpConvertEmptyToBasic:
      PutName(b, 20, f.diskName);
      b.PutLe64(76, f.secondTime);
      break;
    case kOpAddDisk:
      b.PutLe64(20, f.rootId);
      PutName(b, 28, f.diskName);
      b.PutLe32(128, 0x110004);
      break;
    case kOpBasicFirstStep:
    case kOpReactivateDisk:
      b.PutLe64(20, f.rootId);
      b.PutLe64(28, f.objectId);
      break;
    case kOpRescan:
      break;
    case kOpCreateVolume:
      b.PutLe64(20, f.rootId);
      b.PutLe64(64, f.size);
      b.PutLe32(72, f.layout);
      b.PutLe32(76, 2);
      b.PutLe32(80, static_cast<std::uint32_t>(n));
      b.PutLe32(88, 128);
      b.PutLe32(96, static_cast<std::uint32_t>(n));
      PutDisks(b, a, 104, 100, f.disks);
      break;
    case kOpDeleteVolume:
      b.PutLe64(20, f.rootId);
      b.PutLe64(28, f.objectId);
      b.PutLe32(36, 1);
      break;
    case kOpAddMirror:
      b.PutLe64(20, f.rootId);
      b.PutLe64(28, f.objectId);
      b.PutLe32(40, static_cast<std::uint32_t>(n));
      PutDisks(b, a, 48, 44, f.disks);
      break;
    case kOpRemoveMirror:
      b.PutLe64(20, f.rootId);
      b.PutLe64(28, f.objectId);
      b.PutLe64(36, f.secondId);
      break;
    case kOpReplaceColumn:
      b.PutLe64(20, f.rootId);
      b.PutLe64(28, f.objectId);
      b.PutLe32(36, a + 96);
      b.PutLe64(40, f.secondId);
      b.PutLe64(48, f.thirdId);
      break;
    case kOpGrowVolume:
      b.PutLe64(20, f.rootId);
      b.PutLe64(28, f.objectId);
      b.PutLe64(40, f.size);
      b.PutLe32(48, static_cast<std::uint32_t>(n));
      PutDisks(b, a, 56, 52, f.disks);
      break;
    case kOpQueryEncapsulation:
      b.PutLe32(28, 1);
      PutName(b, 32, f.diskName);
      break;
    case kOpEncapsulate:
      b.PutLe64(20, f.rootId);
      b.PutLe32(28, 1);
      PutName(b, 32, f.diskName);
      break;
    case kOpDriveHint:
      b.PutLe64(20, f.rootId);
      b.PutLe64(28, f.objectId);
      b.PutLe16(36, f.letter1);
      if (f.letter1 != 0) b.PutLe16(38, f.letter2);
      break;
    default:
      break;
  }
  return bytes;
}

// --- checks -----------------------------------------------------------------------------

bool HasGptDisk(const LdmDgAccess& group, const std::vector<SpaceRequest>& entries) {
  for (const SpaceRequest& e : entries) {
    const LdmDisk* d = group.FindDisk(e.disk);
    if (d != nullptr && d->gpt) return true;
  }
  return false;
}

Common::Error WinCheckCreateVolume(const LdmDgAccess& group, Fdisk::LdmVolType type,
                                   std::uint64_t& size, std::uint32_t mirrors,
                                   std::uint32_t stripe, const std::vector<SpaceRequest>& entries,
                                   std::uint32_t flags, bool mayRound) {
  auto refuse = [](std::uint32_t code, const char* text) {
    return MakeLdmError(kCheckLocation, code, text);
  };
  if (!group.rootLike) return refuse(0x109020, "No root disk group is found.");
  if ((flags & 0x20) && size % 2048 != 0) {
    if (!mayRound) return refuse(0x1090B2, "VDS cannot create non-aligned volumes.");
    size -= size % 2048;
  }
  const std::size_t disks = entries.size();
  if (size == 0) return refuse(0x109021, "An invalid volume size.");
  if (disks == 0) return refuse(0x109022, "An invalid parameter for volume creation.");
  if (disks > 32) return refuse(0x109023, "An invalid parameter for volume creation.");
  if (flags == 0) return refuse(0x109024, "An invalid client OS type.");
  if (!(flags & 0x8) && HasGptDisk(group, entries)) {
    return refuse(0x109025, "The GPT disk cannot be found.");
  }
  switch (type) {
    case Fdisk::kLdmVolSimple:
    case Fdisk::kLdmVolSpanned:
      return Common::Error();
    case Fdisk::kLdmVolStriped:
      if (stripe != 128) return refuse(0x109026, "An invalid stripe size.");
      size -= size % (128 * disks);
      if (disks < 2) return refuse(0x109028, "An invalid parameter for stripe volume creation.");
      return Common::Error();
    case Fdisk::kLdmVolMirrored:
      if (flags & 0x1) {
        return refuse(0x109029, "An unsupported mirrored volume type for this client OS.");
      }
      if (mirrors == 0) return refuse(0x10902A, "Invalid mirror numbers.");
      if (mirrors > 2) return refuse(0x10902B, "Invalid mirror numbers.");
      if (disks > 2) return refuse(0x10902C, "An invalid parameter for mirror volume creation.");
      return Common::Error();
    case Fdisk::kLdmVolRaid5:
      if (flags & 0x1) {
        return refuse(0x10902D, "An unsupported RAID-5 volume type for this client OS.");
      }
      if (stripe != 128) return refuse(0x10902E, "An invalid stripe size for RAID-5 volume type.");
      if (disks < 2) return refuse(0x10902F, "An invalid parameter for RAID5 volume creation.");
      if (size % (128 * (disks - 1)) != 0) {
        return refuse(0x109030, "An invalid parameter combination for creating a RAID-5 volume.");
      }
      return Common::Error();
    default:
      return refuse(0x109031, "An invalid volume type.");
  }
}

Common::Error WinCheckGrowVolume(const LdmDgAccess& group, const LdmRecord& volume,
                                 std::size_t disks) {
  const Fdisk::LdmVolType type = group.GetVolumeType(volume);
  if (type != Fdisk::kLdmVolSimple && type != Fdisk::kLdmVolSpanned) {
    return MakeLdmError(kCheckLocation, 0x10903A, "An invalid volume type.");
  }
  if (disks == 0) {
    return MakeLdmError(kCheckLocation, 0x109038, "An invalid parameter for spanned volumes.");
  }
  if (disks > 32) {
    return MakeLdmError(kCheckLocation, 0x109039, "An invalid parameter for spanned volumes.");
  }
  return Common::Error();
}

Common::Error WinCheckRemoveMirror(const LdmDgAccess& group, const LdmRecord& volume,
                                   std::uint32_t flags) {
  if (flags & 0x1) {
    return MakeLdmError(kCheckLocation, 0x10903D,
                        "The mirror cannot be removed by VDS because operations under mirrors "
                        "are not supported by the current operating system.");
  }
  const Fdisk::LdmVolType type = group.GetVolumeType(volume);
  if (type == Fdisk::kLdmVolMirrored) {
    if (volume.children.size() == 2) return Common::Error();
    return MakeLdmError(kCheckLocation, 0x109040, "The mirror volume cannot be removed.");
  }
  if (type == Fdisk::kLdmVolRaid01 && (flags & 0x100)) return Common::Error();
  return MakeLdmError(kCheckLocation, 0x10903F, "An unexpected volume type.");
}

Common::Error WinCheckAddMirror(const LdmDgAccess& group, const LdmRecord& volume,
                                std::size_t disks, std::uint32_t flags) {
  if (flags & 0x1) {
    return MakeLdmError(kCheckLocation, 0x109048,
                        "The client OS does not support add mirror operations.");
  }
  const Fdisk::LdmVolType type = group.GetVolumeType(volume);
  if (type == Fdisk::kLdmVolSimple) {
    if (disks == 1) return Common::Error();
    return MakeLdmError(kCheckLocation, 0x10904A, "An invalid parameter for simple volumes.");
  }
  if (type == Fdisk::kLdmVolSpanned) {
    if (flags & 0x200) return Common::Error();
    return MakeLdmError(kCheckLocation, 0x10904B,
                        "Client OS does not support add mirror operations.");
  }
  return MakeLdmError(kCheckLocation, 0x10904C,
                      "An unexpected volume type for add mirror operations.");
}

// --- operations -------------------------------------------------------------------------

std::string RequestDiskName(const LdmDisk& disk) { return GetWinName(disk); }

Common::Error WinCreateVolume(LdmDgAccess& group, Fdisk::LdmVolType type, std::uint64_t size,
                              const std::vector<SpaceRequest>& entries, std::uint32_t* luid) {
  if (luid != nullptr) *luid = 0;
  if (type < Fdisk::kLdmVolSimple || type > Fdisk::kLdmVolRaid01) {
    return MakeLdmError(kRequestLocation, kErrVolumeType);
  }
  if (type == Fdisk::kLdmVolStripeSetWithParity || type == Fdisk::kLdmVolRaid01) {
    return Fail(0x109032, "Failed to create volume: Unsupported volume type.");
  }
  ServiceRequester* r = ServiceRequesterInstance();
  if (r == nullptr) return Fail(0x109054, "LDM API is not available.");
  RequestFields f;
  f.rootId = r->RootId();
  f.size = size;
  f.layout = LayoutCodeFor(type);
  f.disks = DisksOf(entries);
  const bool waits = type == Fdisk::kLdmVolMirrored || type == Fdisk::kLdmVolRaid5;
  if (waits) r->ClearTaskCompleted();
  std::uint32_t status = r->Submit(kOpCreateVolume, f);
  if (status == 0 && waits && !r->WaitTaskCompletion()) status = kStatusTimedOut;
  if (status != 0) return RequestFailed(status, 0x109055, "Failed to create the volume.");
  SynchronizeWinAndRawLdm(group);
  LdmRecord* made = FindNewVolume(group);
  if (made != nullptr) {
    group.AddVolumeSummary(*made);
    if (luid != nullptr) *luid = made->ModelId();
  }
  ClearNewMarks(group);
  // A request the service took without a volume to show for it is no
  // success: the caller would go on with volume id 0.
  if (made == nullptr) {
    LdmLog("WinCreateVolume: no new volume after the request");
    return Fail(0x109055, "Failed to create the volume.");
  }
  return Common::Error();
}

Common::Error WinDeleteVolume(LdmDgAccess& group, LdmRecord& volume) {
  ServiceRequester* r = ServiceRequesterInstance();
  if (r == nullptr) return Fail(0x109056, "LDM API is not available.");
  RequestFields f;
  f.rootId = r->RootId();
  f.objectId = volume.rid;
  const std::uint32_t status = r->Submit(kOpDeleteVolume, f);
  if (status != 0) return RequestFailed(status, 0x109057, "Failed to delete the volume.");
  group.DeleteVolume(volume);
  AfterChange(group, 0);
  return Common::Error();
}

Common::Error WinGrowVolume(LdmDgAccess& group, LdmRecord& volume, std::uint64_t addSize,
                            const std::vector<SpaceRequest>& entries) {
  ServiceRequester* r = ServiceRequesterInstance();
  if (r == nullptr) return Fail(0x109058, "LDM API is not available.");
  RequestFields f;
  f.rootId = r->RootId();
  f.objectId = volume.rid;
  f.size = addSize;
  f.disks = DisksOf(entries);
  const std::uint32_t status = r->Submit(kOpGrowVolume, f);
  if (status != 0) return RequestFailed(status, 0x109059, "Failed to grow the volume.");
  AfterChange(group, volume.rid);
  return Common::Error();
}

Common::Error WinRemoveMirror(LdmDgAccess& group, LdmRecord& volume, LdmRecord& plex) {
  if (plex.children.empty()) return Fail(0x10907B, "An invalid plex record.");
  ServiceRequester* r = ServiceRequesterInstance();
  if (r == nullptr) return Fail(0x10905A, "LDM API is not available.");
  RequestFields f;
  f.rootId = r->RootId();
  f.objectId = volume.rid;
  f.secondId = plex.rid;
  const std::uint32_t status = r->Submit(kOpRemoveMirror, f);
  if (status != 0) return RequestFailed(status, 0x10905B, "Failed to remove the mirror.");
  AfterChange(group, volume.rid);
  return Common::Error();
}

Common::Error WinAddMirror(LdmDgAccess& group, LdmRecord& volume,
                           const std::vector<SpaceRequest>& entries) {
  ServiceRequester* r = ServiceRequesterInstance();
  if (r == nullptr) return Fail(0x10905E, "LDM API is not available.");
  RequestFields f;
  f.rootId = r->RootId();
  f.objectId = volume.rid;
  f.disks = DisksOf(entries);
  r->ClearTaskCompleted();
  std::uint32_t status = r->Submit(kOpAddMirror, f);
  if (status == 0 && !r->WaitTaskCompletion()) status = kStatusTimedOut;
  if (status != 0) return RequestFailed(status, 0x10905F, "Failed to add the mirror.");
  AfterChange(group, volume.rid);
  return Common::Error();
}

Common::Error WinReplaceRAID5Column(LdmDgAccess& group, LdmRecord& volume, std::uint32_t column,
                                    std::uint64_t newDisk) {
  std::uint64_t replaced = 0;
  if (!volume.children.empty()) {
    for (const LdmRecord* sd : volume.children.front()->children) {
      if (sd->plexIdx == column) replaced = sd->diskRid;
    }
  }
  if (replaced == 0) return Fail(kErrParameter, "invalid stripe index");
  if (replaced == newDisk) return Common::Error();
  ServiceRequester* r = ServiceRequesterInstance();
  if (r == nullptr) return Fail(0x109060, "LDM API is not available.");
  RequestFields f;
  f.rootId = r->RootId();
  f.objectId = volume.rid;
  f.secondId = newDisk;
  f.thirdId = replaced;
  r->ClearTaskCompleted();
  std::uint32_t status = r->Submit(kOpReplaceColumn, f);
  if (status == 0 && !r->WaitTaskCompletion()) status = kStatusTimedOut;
  if (status != 0) return RequestFailed(status, 0x109061, "Cannot replace the RAID-5 column.");
  AfterChange(group, volume.rid);
  return Common::Error();
}

Common::Error WinSetDriveHint(LdmDgAccess& group, LdmRecord& volume, const char* hint) {
  ServiceRequester* r = ServiceRequesterInstance();
  if (r == nullptr) return Fail(0x109062, "LDM API is not available.");
  RequestFields f;
  f.rootId = r->RootId();
  f.objectId = volume.rid;
  if (hint != nullptr) {
    f.letter1 = static_cast<unsigned char>(hint[0]);
    if (hint[0] != 0) f.letter2 = static_cast<unsigned char>(hint[1]);
  }
  const std::uint32_t status = r->Submit(kOpDriveHint, f);
  if (status != 0) return RequestFailed(status, 0x109063, "Cannot assign a drive letter.");
  volume.ntMntName = hint != nullptr ? hint : "";
  AfterChange(group, volume.rid);
  return Common::Error();
}

Common::Error WinReactivateDisk(LdmDgAccess& group, LdmDisk& disk) {
  ServiceRequester* r = ServiceRequesterInstance();
  if (r == nullptr) return Fail(0x109079, "LDM API is not available.");
  RequestFields f;
  f.rootId = r->RootId();
  f.objectId = disk.rid;
  const std::uint32_t status = r->Submit(kOpReactivateDisk, f);
  if (status != 0) return RequestFailed(status, 0x10907A, "Failed to reactivate the disk.");
  AfterChange(group, 0);
  return Common::Error();
}

Common::Error WinConvertDiskToBasic(LdmDgAccess& group, LdmDisk& disk) {
  ServiceRequester* r = ServiceRequesterInstance();
  if (r == nullptr) return Fail(0x109071, "LDM API is not available.");
  RequestFields f;
  f.rootId = r->RootId();
  f.objectId = disk.rid;
  std::uint32_t status = r->Submit(kOpBasicFirstStep, f);
  if (status != 0) return RequestFailed(status, 0x109072, "Error occurred while requesting LDM.");
  AfterChange(group, 0);
  status = r->Submit(kOpRescan, RequestFields());
  if (status != 0) return RequestFailed(status, 0x109073, "Failed to request LDM rescan disk.");
  RequestFields empty;
  empty.diskName = RequestDiskName(disk);
  status = r->Submit(kOpConvertEmptyToBasic, empty);
  if (status != 0) {
    return RequestFailed(status, 0x109074, "Failed to convert an empty dynamic disk to basic.");
  }
  return Common::Error();
}

Common::Error WinConvertDiskToDynamic(LdmDisk& disk, bool encapsulate, std::uint64_t rootId) {
  ServiceRequester* r = ServiceRequesterInstance();
  const std::string name = RequestDiskName(disk);
  if (!encapsulate) {
    LdmLog("WinConvertDiskToDynamic: disk name = '%s'", name.c_str());
    if (r == nullptr) return Fail(0x109067, "LDM API is not available.");
    RequestFields f;
    f.rootId = rootId;
    f.diskName = name;
    const std::uint32_t status = r->Submit(kOpAddDisk, f);
    if (status != 0) return RequestFailed(status, 0x109068, "Failed to request disk addition.");
    return Common::Error();
  }
  LdmLog("WinConvertDiskToDynamic: Query encapsulation, disk = '%s'", name.c_str());
  if (r == nullptr) return Fail(0x109069, "LDM API is not available.");
  RequestFields query;
  query.diskName = name;
  std::uint32_t status = r->Submit(kOpQueryEncapsulation, query);
  if (status == kStatusNoSpaceForDatabase) {
    return MakeLdmError(kRequestLocation, kErrNoDatabaseSpace,
                        "There is no space on the disk for LDM database creation.");
  }
  if (status != 0 && status != kStatusRestartNeeded) {
    return RequestFailed(status, 0x10906A, "Failed to request LDM encapsulation.");
  }
  LdmLog("WinConvertDiskToDynamic: Encapsulate disk = '%s'", name.c_str());
  RequestFields f;
  f.rootId = rootId;
  f.diskName = name;
  status = r->Submit(kOpEncapsulate, f);
  if (status == 0) return Common::Error();
  if (status == kStatusRestartNeeded) return Fail(0x100C0E, "Machine restart is required.");
  return RequestFailed(status, 0x10906B, "Failed to convert the disk to dynamic.");
}

Common::Error WinAddDisk(LdmDgAccess& group, LdmDisk& disk, bool encapsulate) {
  ServiceRequester* r = ServiceRequesterInstance();
  const std::uint64_t root = r != nullptr ? r->RootId() : 0;
  const Common::Error e = WinConvertDiskToDynamic(disk, encapsulate, root);
  AfterChange(group, 0);
  return e;
}

Common::Error WinEncapsulateDisk(LdmDisk& disk) { return WinConvertDiskToDynamic(disk, true, 0); }

}  // namespace Ldm
